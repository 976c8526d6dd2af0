// The video decoder's interface to the movie: one frame's video data into the
// plane set. The movie open allocates the plane set and the nine bundle
// buffers; the frame step calls VideoDecodeFrame once per decoded frame.
// Tools count a plane's block types without decoding it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/plane_order.h"

namespace tarn {

inline constexpr int kVideoBundleCount = 9;  // block type, sub-block type, colour, pattern,
                                             // x offset, y offset, intra DC, inter DC, run


struct PlaneEntry {
  uint32_t wanted;
  uint8_t* data;
  uint32_t stride;
};

// Luma and alpha planes are lumaWidth x lumaHeight with stride lumaWidth; the
// chroma planes are chromaWidth x chromaHeight with stride chromaWidth rounded
// up to 16. Entries of an absent second set are zero.
struct PlaneSet {
  uint32_t setCount;      // 1 when every frame is a key frame, else 2
  uint32_t lumaWidth;     // header width rounded up to 8
  uint32_t lumaHeight;    // header height rounded up to 8
  uint32_t chromaWidth;   // ((width + 1) / 2) rounded up to 8
  uint32_t chromaHeight;  // ((height + 1) / 2) rounded up to 8
  uint32_t alphaPresent;  // the movie has OPEN_ALPHA
  uint32_t current;       // 0 or 1: the set holding the last decoded frame
  PlaneEntry planes[2][4];
};

struct VideoWork {
  uint32_t sizes[kVideoBundleCount];
  uint8_t* buffers[kVideoBundleCount];
};

// Capacities of the nine bundle buffers for a width rounded up to 16.
void VideoWorkSizes(uint32_t width, uint32_t sizes[kVideoBundleCount]);

struct VideoFrameResult {
  uint32_t skipCount;  // unchanged areas as the format defines the count
  bool corrupt;        // the data broke a rule; the planes hold a defined result
};

class WorkerPool;

// The planes of a frame that can start at once: alpha, luma, and the chroma
// pair (the second chroma plane starts where the first ends).
inline constexpr int kVideoMaxJobs = 3;

// Bytes of a ring that carries a plane's decoded blocks from the thread that
// reads its bits to the thread that writes its samples.
inline constexpr uint32_t kVideoRingBytes = 67584;

// Bytes that hold the block records of most luma planes of a frame of this
// size, dealt out so that a second thread can rebuild part of the plane.
uint32_t VideoShareBytes(uint32_t lumaWidth, uint32_t lumaHeight);

// What lets a frame decode its planes on several threads: the pool, bundle
// buffers for every job beyond the first, and per job a change map of
// mapBytes and a ring of kVideoRingBytes (4-byte aligned), with one skip
// tally of mapBytes. Each job can be two parts, one reading the bits and one
// writing the samples, so the pool wants two threads per job. mapBytes must
// cover blocksAcross * ((lumaHeight + 15) / 16) bytes, else the frame is
// decoded serially.
// split chooses when a job's two parts run apart: VIDEO_SPLIT_WARM when the
// pool has more threads than the frame has jobs and its last job ended just
// before (frames decoded back to back; else each job runs on one thread), or
// always, or never. With share (shareBytes, 8-byte aligned; VideoShareBytes
// for the frame size hold most frames), a frame of luma and chroma on a pool
// of two threads deals the luma rebuild out to both threads, unless split
// is VIDEO_SPLIT_ALWAYS or VIDEO_SPLIT_NEVER.
enum : uint32_t { VIDEO_SPLIT_WARM, VIDEO_SPLIT_ALWAYS, VIDEO_SPLIT_NEVER };
struct VideoParallel {
  WorkerPool* pool;
  VideoWork work[kVideoMaxJobs - 1];
  uint8_t* maps[kVideoMaxJobs];
  uint8_t* rings[kVideoMaxJobs];
  uint8_t* tally;
  uint32_t mapBytes;
  uint32_t split;
  uint8_t* share = nullptr;
  uint32_t shareBytes = 0;
};

// Decodes the frame whose video data is [data, end). Bits past end read as 0.
// Writes only inside the planes, the change map and the bundle buffers (and
// the parallel maps). With parallel (and a pool of more than one thread) the
// planes are decoded at once, with the same result as one after another.
VideoFrameResult VideoDecodeFrame(PlaneSet* planes, const uint8_t* data, const uint8_t* end,
                                  uint32_t headerFlags, uint32_t movieFlags, uint8_t* changeMap,
                                  uint32_t blocksAcross, const VideoWork& work,
                                  const VideoParallel* parallel = nullptr);

// Reads the plane whose bits start at offset start of the frame data
// [data, data + size) as the decoder does, but writes no samples and stops
// before the first block row that begins past the end of the data. Adds each
// block type taken to types (a scaled area once, on its first row) and each
// scaled area's sub-block type to scaledAs, both by value 0..15. Returns the
// offset after the plane; sets *corrupt when the plane broke a rule.
uint64_t VideoCountPlaneBlocks(const uint8_t* data, size_t size, uint64_t start, uint32_t width,
                               uint32_t height, const VideoWork& work, bool oldColorRule,
                               std::array<uint64_t, 16>& types, std::array<uint64_t, 16>& scaledAs,
                               bool* corrupt);

}  // namespace tarn
