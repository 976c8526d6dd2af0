// The movie's picture: the plane set the decoder fills (one set, or two used
// alternately), the block-change map, the decoder's work buffers and results,
// the changed rectangles and what the copy's destination already shows.
// Owned by movie_picture.cc; the copy (movie_copy.cc) reads it.
#pragma once

#include <cstdint>

#include "movie/container.h"
#include "video/video.h"

namespace tarn {

struct MovieState;
struct PictureThreads;

struct MoviePicture {
  PlaneSet* planes;        // null with OPEN_NO_VIDEO_BUFFERS; planes->current is the shown set
  uint8_t* changeMap;      // blockCount + 16 bytes; non-zero = block changed since map start
  uint32_t blocksAcross;   // (width + 15) / 16: bytes per map row
  uint32_t blockCount;     // blocksAcross * ((output height + 15) / 16)
  uint32_t width;          // plane size: the decoded picture, not doubled
  uint32_t height;
  VideoWork work;
  PictureThreads* threads;     // the planes' decode threads; null: planes one after another
  VideoFrameResult lastVideo;  // result of the last VideoDecodeFrame
  uint32_t corruptFrames;      // frames the decoder reported corrupt
  uint32_t lastFrameCorrupt;
  uint32_t inUse;              // set by the copy while it reads the planes
  // Change-map validity: the map holds every change made by decodes numbered
  // mapStartDecode .. framesDecoded (decodes count from 1). The copy stores in
  // copiedDecode the decode its destination now shows (0: none yet); the
  // changed-block copy is valid exactly when PictureMapCoversDestination().
  uint32_t mapStartDecode;
  uint32_t copiedDecode;
  uint32_t keepMap;            // the next decode adds to the map instead of starting it again
  uint32_t heldFrame;          // the frame the current set holds (0: none yet)
};

// Sizes the change map and the work buffers for the picture: the pieces of
// the movie's block the open must plan.
struct PicturePlan {
  uint32_t blocksAcross = 0;
  uint64_t blockCount = 0;
  VideoWork work{};
};
PicturePlan PicturePlanFor(const MovieHeader& h, uint32_t outputHeight);
void PictureInit(MovieState* m, const MovieHeader& h, const PicturePlan& plan,
                 uint8_t* changeMap, uint8_t* const workBuffers[kVideoBundleCount]);

// Allocates the plane set, zero-filled so that the first frame's references
// are deterministic, and, unless the movie flags ask for OPEN_SERIAL_DECODE
// or one thread is wanted (ThreadsWanted), the threads that decode a
// frame's planes at once; without them the planes are decoded one after
// another, with the same result. False when out of memory for the planes.
bool PictureBuildPlaneSet(MovieState* m, bool allKeyFrames);
void PictureRelease(MovieState* m);
// Threads decoding a frame's planes at once; 0 when they are decoded one after another.
uint32_t PictureDecodeThreads(const MovieState* m);

// The decode threads, which the copy also converts on; null without them.
WorkerPool* PicturePool(MovieState* m);
// A frame's decode is about to begin: the decode threads get ready for it.
void PictureWakeThreads(MovieState* m);
// A decode starts: unless a skipped copy still owes the destination its
// changes, the change map starts again with this decode.
void PictureBeginDecode(MovieState* m);
// Decodes the video data [video, end) of the current frame; malformed: the
// record's audio part was already broken.
void PictureDecode(MovieState* m, const uint8_t* video, const uint8_t* end, bool malformed);

// After a jump: the destination shows some other picture, so the next copy
// draws the whole frame and the next frame's rectangles cover all of it.
void PictureNoteSeek(MovieState* m);

// True when the change map holds every change since the frame the copy's
// destination shows, so that copying only changed blocks is enough.
bool PictureMapCoversDestination(const MovieState* m);
// The copy calls this after it has drawn the current frame.
void PictureNoteCopied(MovieState* m);

}  // namespace tarn
