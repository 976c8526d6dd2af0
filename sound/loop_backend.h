// The looping-buffer sound back-end: each track plays through its own looping
// buffer of about 600 ms that the track service writes just behind the play
// cursor. Playback starts when the first fill is complete; a device that has
// read past the data gets 100 ms of silence to play until sound comes, and is
// reported as starved. The cursors are followed as unwrapped byte counts, so a play
// cursor that has overtaken the data is told from one far behind it, and
// silence is kept ahead of the data so that a device that runs dry never
// replays what it played one buffer earlier.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/audio_device.h"
#include "sound/sound_track.h"

namespace tarn {

inline constexpr uint32_t kSoundLoopGap = 1024;     // bytes kept free in front of the play cursor
inline constexpr uint32_t kSoundLoopMeasureMs = 12;  // cursors are re-read at most this often
inline constexpr uint32_t kSoundLoopRecheckMs = 540;
inline constexpr int kSoundLoopSpeakers = 8;

// The back-end area of a loop track (SoundTrack::backend).
struct SoundLoopState {
  std::unique_ptr<AudioLoopVoice> soundBuffer;  // null after close
  uint32_t bufferBytes = 0;      // 600 ms rounded up to 1024 bytes
  uint32_t writeChunk = 0;       // 50 ms rounded up to 256 bytes
  int32_t volume = 0;            // 0 .. 0x7FFF
  int32_t pan = 0;               // 0 .. 0x10000, 0x8000 centre
  uint32_t playing = 0;          // from the start of playback until enable(0) re-arms the preroll
  uint32_t stopped = 0;          // paused or closed
  uint32_t writePos = 0;         // buffer offset of the next byte
  uint32_t pendingBytes = 0;     // preroll: rest of the first fill; playing: the free space found
  uint32_t initialFill = 0;
  uint32_t lastWriteCursor = 0;
  uint32_t lastPlayCursor = 0;
  // Bytes since playback started, without wrapping: written (sound and repair
  // silence), where the sound written ends, played by the device and taken by
  // it. played <= taken; taken > written means the device read past the data.
  uint64_t written = 0;
  uint64_t soundEnd = 0;
  uint64_t played = 0;
  uint64_t taken = 0;
  uint32_t lastCheckTime = 0;    // MovieTimeMs of the last cursor measurement
  uint32_t recheckMs = 0;
  uint32_t lockLength1 = 0;      // the regions of the lock taken by getBuffer
  uint8_t* lockRegion1 = nullptr;
  uint32_t lockLength2 = 0;
  uint8_t* lockRegion2 = nullptr;
  uint32_t speakerCount = 0;
  uint32_t speakerVolumeCount = 0;
  uint32_t speakers[kSoundLoopSpeakers] = {};
  uint32_t speakerVolumeList[kSoundLoopSpeakers] = {};
  int32_t speakerVolumes[kSoundLoopSpeakers] = {};  // hundredths of a decibel
};

// The open routine (SoundOpenRoutine). Ignores movieFlags; reads from movie
// only its frame count and rate.
int SoundLoopOpen(SoundTrack* track, uint32_t sampleRate, uint32_t bits, uint32_t channels,
                  uint32_t movieFlags, const SoundMovieInfo* movie);

// The provider for MovieSetSoundSystem. parameter is a caller's AudioDevice
// (never released by this back-end; it must outlive the tracks) or null for
// the shared device. Null when no device can be initialised, or when the
// device would change while loop tracks are open.
SoundOpenRoutine SoundLoopProvider(void* parameter);

// Volume 0 .. 0x7FFF (larger counts as 0x7FFF) to hundredths of a decibel:
// 0x7FFF -> 0, 16384 -> -1003, 1 and 0 -> -10000.
int32_t SoundLoopVolumeCentibels(uint32_t volume);
// Pan 0 .. 0x10000 (larger counts as 0x10000) to -10000 .. 10000.
int32_t SoundLoopPanCentibels(uint32_t pan);
// A speaker volume (0 .. 0x7FFF) to hundredths of a decibel, 20 dB per decade.
int32_t SoundLoopSpeakerCentibels(int32_t volume);

// Open loop tracks and users of the device (tests).
int SoundLoopOpenTrackCount();
int SoundLoopDeviceUsers();

inline SoundLoopState* SoundLoopStateOf(const SoundTrack* track) {
  return static_cast<SoundLoopState*>(track->backend);
}

}  // namespace tarn
