// The movie's sound: the tracks selected by id, each opened through the
// installed back-end with its audio decoder and ring, the sound node whose
// mutex guards the rings, and the sound switch. Owned by movie_sound.cc.
#pragma once

#include <cstdint>

#include "io/service_thread.h"
#include "sound/sound_track.h"

namespace tarn {

struct MovieState;

inline constexpr uint32_t kMaxPendingTracks = 64;

struct MovieSound {
  SoundTrack* tracks;        // one record per pending id (at least one)
  uint32_t trackRecords;
  uint32_t* selected;        // positions in the track table, selectedCount of them
  uint32_t selectedCount;
  uint8_t* rings[kMaxPendingTracks];  // ring memory per selected track
  uint32_t playing;
  uint32_t leadBytes[kMaxPendingTracks];  // per selected track: the sound it holds ahead of the picture
  uint32_t leadFrames;       // records before a frame that hold the lead, plus one (0: no lead)
  uint32_t decodedAhead;     // the current record's packets are in the rings already
  uint32_t joined;           // the sound node is on the sound thread
  ServiceNode node;          // its mutex guards the track rings
};

// Takes the track records (pieces of the movie's block).
void SoundInit(MovieState* m, SoundTrack* tracks, uint32_t trackRecords, uint32_t* selected);
// Selects the table's tracks whose ids are listed, in list order, and opens
// each through the installed back-end; a track that cannot open is dropped.
// Frame 1's record is loaded: its packets tell each track's sound lead.
void SoundOpenTracks(MovieState* m, const uint32_t* ids, uint32_t idCount);
void SoundCloseTracks(MovieState* m);

// Walks every file track's packet at the head of the frame record [p, end)
// and decodes the selected ones into their rings. Returns where the video data
// starts; *malformed when a length field runs past the record.
const uint8_t* SoundDecodeFrame(MovieState* m, const uint8_t* p, const uint8_t* end, bool* malformed);

// At a wrap from the last frame to the first: decodes the loaded record's
// packets at once, a frame before its decode, and SoundDecodeFrame then only
// finds its video data. The last sound before a wrap ends with the last
// picture, so frame 1's sound waiting for frame 1's time would leave the
// devices nothing to play for a moment.
void SoundDecodeAhead(MovieState* m);

// Moves ring bytes to each selected track's device. Takes the sound lock
// without waiting and returns at once when it is busy. Does nothing for a
// movie without selected tracks.
void MovieServiceSound(MovieState* m);

// Switches every track's device on or off: 1 when a track is playing.
uint32_t SoundSwitch(MovieState* m, uint32_t on);
void SoundPauseTracks(MovieState* m, bool pause);
// After a jump to frame: every device off and its ring emptied, each track's
// lead decoded again from the records before frame (loading them as the
// current record) as frame 1's packet brings it at the start, devices on. The
// decoders go on from where they were: the first block after the jump is
// cross-faded with the last one before it, inside the records decoded for
// the lead when there is one.
// A paused movie keeps its tracks paused.
void SoundRestartAt(MovieState* m, uint32_t frame);
// Hands volume to every track's back-end; 1 when one took it.
uint32_t SoundSetVolume(MovieState* m, uint32_t volume);
// Clears each track's starvation flag; true when a track starved before the
// end of its sound.
bool SoundTakeUnderrun(MovieState* m);
// The decoded sound the tracks still hold (rings and devices), in ms of
// playing time, the longest over the tracks; services them first.
uint32_t SoundPendingMs(MovieState* m);
// How far a track's sound can run ahead of the pictures: the playing time of
// its largest packet, and the back-end's start margin besides when the
// packets carry no lead. The longest over the tracks.
uint32_t SoundLeadMs(const MovieState* m);
// The first track's speed (16.16), which scales the movie's due times.
uint32_t SoundSpeed(const MovieState* m);

// Sound-node callbacks for the sound thread: each node once per pass.
uint32_t SoundNodeUrgency(ServiceNode* node, uint32_t pass);
void SoundNodeService(ServiceNode* node, uint32_t pass);

}  // namespace tarn
