// The movie library's public interface: the Movie record's public head, the
// open, header and track flags, and the playback operations. Every operation
// accepts a null Movie and then does nothing and returns 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/plane_order.h"
#include "convert/copy.h"
#include "convert/display_option.h"
#include "io/io_reader.h"
#include "sound/sound_track.h"

namespace tarn {

// MovieOpen flags; after the open's adjustments the same word is the movie flags.
inline constexpr uint32_t OPEN_NO_VIDEO_BUFFERS = 0x00000400;  // read and decode audio, no video
inline constexpr uint32_t OPEN_FRAME_RATE = 0x00001000;        // use MovieSetFrameRate's rate
inline constexpr uint32_t OPEN_PRELOAD = 0x00002000;           // whole movie in memory
inline constexpr uint32_t OPEN_SOUND_TRACKS = 0x00004000;      // use MovieSetSoundTracks' ids
inline constexpr uint32_t OPEN_BEFORE_REV_I = 0x00008000;      // set by the open
inline constexpr uint32_t OPEN_BEFORE_REV_H = 0x00010000;      // set by the open
inline constexpr uint32_t OPEN_GREY = 0x00020000;              // no chroma
inline constexpr uint32_t OPEN_SERIAL_DECODE = 0x00040000;     // decode the planes one after another
inline constexpr uint32_t OPEN_NEVER_SKIP = 0x00080000;        // never drop a late copy
inline constexpr uint32_t OPEN_ALPHA = 0x00100000;             // decode alpha (kept with HDR_ALPHA)
inline constexpr uint32_t OPEN_NO_INITIAL_FILL = 0x00200000;   // do not fill the ring at open
inline constexpr uint32_t OPEN_SIMULATE_RATE = 0x00400000;     // use MovieSetSimulateRate's speed
inline constexpr uint32_t OPEN_FILE_HANDLE = 0x00800000;       // source is a file descriptor
inline constexpr uint32_t OPEN_READ_BUFFER_SIZE = 0x01000000;  // use MovieSetReadBufferSize's size
inline constexpr uint32_t OPEN_CUSTOM_READER = 0x02000000;     // open with MovieSetReaderOpen's routine
inline constexpr uint32_t OPEN_FROM_MEMORY = 0x04000000;       // source is a complete movie image
inline constexpr uint32_t OPEN_NO_THREAD = 0x08000000;         // read on the caller's thread only
inline constexpr uint32_t OPEN_DISPLAY_MASK = DISPLAY_OPTION_MASK;  // display option field (DISPLAY_*)
inline constexpr uint32_t OPEN_DISPLAY_SHIFT = DISPLAY_OPTION_SHIFT;

// Header flags, as stored in the file. Their values never change.
inline constexpr uint32_t HDR_GRAYSCALE = 0x00020000;
inline constexpr uint32_t HDR_ALPHA = 0x00100000;
inline constexpr uint32_t HDR_DISPLAY_MODE = 0x70000000;

// Track flags in the high half of a track's rate word.
inline constexpr uint32_t TRACK_CODEC_A = 0x80000000;  // compressed; RDFT variant
inline constexpr uint32_t TRACK_16BIT = 0x40000000;
inline constexpr uint32_t TRACK_STEREO = 0x20000000;
inline constexpr uint32_t TRACK_CODEC_B = 0x10000000;  // compressed; DCT variant when alone
// Whether a track's rate word names the DCT variant of the compressed audio.
constexpr bool TrackUsesDct(uint32_t rateWord) { return (rateWord & TRACK_CODEC_B) && !(rateWord & TRACK_CODEC_A); }

struct MovieRect {
  int32_t x, y, width, height;
};

inline constexpr int kMaxDirtyRects = 8;

// The public head of an open movie. The library allocates a larger private
// record that begins with this one; callers read these fields only.
struct Movie {
  uint32_t width;          // output width (doubled for display modes 3, 4, 5)
  uint32_t height;         // output height (doubled for display modes 1, 2, 4, 5)
  uint32_t frameCount;
  uint32_t currentFrame;   // frame whose data is loaded (1-based)
  uint32_t previousFrame;  // after a decode: the frame just decoded
  uint32_t rateNumerator;  // the rate in force
  uint32_t rateDenominator;
  uint32_t readFailed;     // a read error was seen; decoding has stopped
  uint32_t flags;          // movie flags
  uint32_t headerFlags;
  uint32_t sizeMinus8;
  MovieRect dirtyRects[kMaxDirtyRects];
  int32_t dirtyRectCount;  // -1: not computed for this frame
};

// Totals since playback started (all fields unsigned 32-bit, times in ms).
struct PlaybackSummary {
  uint32_t width, height;
  uint32_t playbackTime;
  uint32_t fileRateNumerator, fileRateDenominator;
  uint32_t playedRateNumerator, playedRateDenominator;
  uint32_t openTime;
  uint32_t frameCount;
  uint32_t framesPlayed;
  uint32_t skippedFrames;  // always 0: decoding is never skipped
  uint32_t skippedCopies;
  uint32_t soundSkips;
  uint32_t copyTime;
  uint32_t readTime;  // time inside frame reads
  uint32_t videoTime;
  uint32_t audioTime;
  uint32_t idleReadTime;
  uint32_t backgroundReadTime;
  uint32_t readSpeed;  // bytes per second
  uint32_t slowestFrameTime, secondSlowestFrameTime;
  uint32_t slowestFrame, secondSlowestFrame;
  uint32_t averageDataRate;   // bytes per second
  uint32_t averageFrameSize;  // bytes
  uint32_t memoryUsed;
  uint32_t ringSize;
  uint32_t ringHighWater;
  uint32_t peakSecondAmount;
  uint32_t peakWindowFrame;  // counted from 1
};

// Figures over the last few decoded frames.
struct RealtimeStats {
  uint32_t frame;
  uint32_t rateNumerator, rateDenominator;
  uint32_t framesInWindow;
  uint32_t windowTime;  // at least 1
  uint32_t videoTime, audioTime, readTime, idleReadTime, backgroundReadTime, copyTime;
  uint32_t bufferTarget, bufferHeld;
  uint32_t dataRate;  // bytes per second
};

// Opens a movie. source is a file name, a file descriptor cast through
// intptr_t (OPEN_FILE_HANDLE, positioned at the movie's first byte) or the
// address of a complete movie image (OPEN_FROM_MEMORY, trusted to hold the
// number of bytes its header states). On failure returns nullptr and
// MovieGetError() holds the reason.
[[nodiscard]] Movie* MovieOpen(const void* source, uint32_t flags);
// Opens a movie image of exactly size bytes (OPEN_FROM_MEMORY implied); no
// byte outside [image, image + size) is read, whatever the header says. The
// image must stay valid until MovieClose.
[[nodiscard]] Movie* MovieOpenMemory(const void* image, size_t size, uint32_t flags);
void MovieClose(Movie* movie);

// Pre-open settings, consumed by the next MovieOpen carrying the matching flag.
inline constexpr uint32_t kMovieUnset = 0xFFFFFFFFu;  // "-1": no pending value
void MovieSetFrameRate(uint32_t numerator, uint32_t denominator);  // OPEN_FRAME_RATE
void MovieSetSoundTracks(uint32_t count, const uint32_t* ids);      // OPEN_SOUND_TRACKS, at most 64 ids
void MovieSetReadBufferSize(uint32_t bytes);                        // OPEN_READ_BUFFER_SIZE
void MovieSetSimulateRate(uint32_t bytesPerSecond);                 // OPEN_SIMULATE_RATE
void MovieSetReaderOpen(IoReaderOpenFn open);                       // OPEN_CUSTOM_READER
// Installs the sound back-end; 1 when an open routine is installed afterwards.
int MovieSetSoundSystem(SoundProvider provider, void* parameter);

// Playback, in the caller's order: wait until not due, do frame, copy, rects, next.
uint32_t MovieDoFrame(Movie* movie);  // 0 decoded (or nothing to do), 1 reading has failed
void MovieNextFrame(Movie* movie);    // loads the next frame, frame 1 after the last
uint32_t MovieWait(Movie* movie);     // 1: the next frame is not due yet
uint32_t MovieGetRects(uint32_t copyFlags, Movie* movie);  // 0..8 rectangles in dirtyRects
uint32_t MoviePause(Movie* movie, uint32_t pause);          // the paused flag afterwards
uint32_t MovieSoundSwitch(Movie* movie, uint32_t on);       // 1: a track is playing
// The decoded sound not yet heard, in ms (the longest over the tracks): what
// the rings and the devices still hold. Services the tracks first, so calling
// it until it reaches 0 plays the sound out. 0 without sound.
uint32_t MovieSoundPendingMs(Movie* movie);
// How far the sound can run ahead of the pictures, in ms: the playing time of
// the largest packet (and the back-end's start margin of 100 ms when that is
// shorter). Bounds the wait for MovieSoundPendingMs to reach 0.
uint32_t MovieSoundLeadMs(const Movie* movie);

// Moves playback to frame, counted from 1; a number beyond the movie is the
// last frame. Afterwards the next MovieDoFrame decodes and shows exactly the
// picture that playing the movie from its start shows at that frame: the
// frames from the nearest key frame at or before it up to the one before it
// are decoded here (they do not count as played in the summary, their time
// counts as video time). The change map then covers the whole picture, so the
// next copy and its rectangles draw all of it.
// Sound: every selected track is switched off, its ring emptied, and restarted
// at the frame's time with the lead the movie's first frame brings at a fresh
// start (decoded again from the records just before the frame), then switched
// on. The clock restarts so that the frame is due at once.
// A paused movie stays paused, its tracks too: the frame is loaded but not
// shown (MovieWait keeps answering 1), and a caller that wants to see it calls
// MovieDoFrame, as for a single step.
// Returns 1; 0 for frame 0 or when the movie cannot be read there (nothing
// decodes afterwards), with the reason in MovieGetError().
uint32_t MovieGoto(Movie* movie, uint32_t frame);
// The nearest key frame at or before frame (a number beyond the movie is the
// last frame); 0 for frame 0 or a null movie. Frame 1 always counts as one.
uint32_t MovieKeyFrame(const Movie* movie, uint32_t frame);
// Sets the volume of the movie's sound tracks through their back-end, on the
// back-end's own scale (the looping buffer: 0 .. 0x7FFF, the buffer queue:
// 0 .. 0x10000; both open at their full volume). Only the movie's own voices
// change, never the system's mixer. 1 when a track took it.
uint32_t MovieSetVolume(Movie* movie, uint32_t volume);
void MovieGetSummary(Movie* movie, PlaybackSummary* summary);
void MovieGetRealtime(uint32_t framesWanted, Movie* movie, RealtimeStats* stats);

// Converts the rectangle (sourceX, sourceY, sourceWidth, sourceHeight), in the
// movie's display pixels, of the current frame into destination, whose lines
// are pitch bytes apart (negative: bottom-up, destination points at the top
// line of the buffer) and destinationHeight lines tall, starting at
// (destinationX, destinationY). flags: a CopyFormat code plus COPY_ bits.
// Returns 0 when copied or when there was nothing to do, 1 when the copy was
// skipped because playback is late, or was late but skipping is not allowed.
// Nothing is written outside the destinationHeight lines of |pitch| bytes.
int MovieCopyToBuffer(Movie* movie, void* destination, int32_t pitch, uint32_t destinationHeight,
                      uint32_t destinationX, uint32_t destinationY, uint32_t sourceX,
                      uint32_t sourceY, uint32_t sourceWidth, uint32_t sourceHeight,
                      uint32_t flags);


// The current picture as the decoder left it, for callers that read the
// planes themselves. Each plane is width[p] x height[p] samples (the decoded
// area rounded up to 8) with lines stride[p] bytes apart; the picture itself
// is pictureWidth x pictureHeight in luma, (n + 1) / 2 in chroma. The
// pointers stay valid until the next MovieDoFrame or MovieClose.
struct MoviePlanes {
  const uint8_t* plane[kPlaneCount];  // by PLANE_*: luma, Cr, Cb, alpha (null without alpha)
  uint32_t stride[kPlaneCount];
  uint32_t width[kPlaneCount];
  uint32_t height[kPlaneCount];
  uint32_t pictureWidth, pictureHeight;
  bool alpha;          // the movie's alpha plane is decoded
  bool grey;           // the chroma planes carry no colour (OPEN_GREY)
  bool chromaSwapped;  // revisions f and g store Cb where Cr belongs
};
// False (and *planes untouched) for a movie without picture buffers
// (OPEN_NO_VIDEO_BUFFERS).
bool MovieGetPlanes(const Movie* movie, MoviePlanes* planes);

// Frames whose video data the decoder reported as corrupt, and whether the
// last decoded one was.
uint32_t MovieCorruptFrameCount(const Movie* movie);
bool MovieLastFrameCorrupt(const Movie* movie);

// The container's facts, for programs that look at a movie's contents: the
// file's audio tracks in table order (played or not) and the key-frame bits
// of the index.
struct MovieTrackInfo {
  uint32_t id;
  uint32_t rateWord;       // sample rate in the low 16 bits, TRACK_* flags above
  uint32_t largestPacket;  // largest decoded packet, bytes
};
uint32_t MovieTrackCount(const Movie* movie);
// False (and *info untouched) when position is not below MovieTrackCount.
bool MovieGetTrack(const Movie* movie, uint32_t position, MovieTrackInfo* info);
// The container revision: 'f', 'g', 'h' or 'i'.
char MovieRevision(const Movie* movie);
// Frame numbers from 1; false outside 1..frameCount.
bool MovieIsKeyFrame(const Movie* movie, uint32_t frame);

// The audio packet that the loaded frame's record holds for the table track
// at position: its decoded byte count (4 bytes) then the compressed blocks,
// *length bytes in all, which lie inside the record. False when the record
// is not loaded, has no packet for the track (*length 0) or is malformed
// before it. The bytes stay valid until the next frame is read.
bool MovieGetFramePacket(const Movie* movie, uint32_t position, const uint8_t** packet, uint32_t* length);

}  // namespace tarn
