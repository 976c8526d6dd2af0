// The buffers a VideoParallel points at, owned, for decoder tests and
// benchmarks that decode frames on a pool: bundle buffers like the frame's,
// a change map and a ring per job, the skip tally and a luma store of
// shareBytes (VideoShareBytes for the frame size is what a movie has).
#pragma once

#include <cstdint>
#include <vector>

#include "video/video.h"

namespace tarn::test {

struct VideoParallelBuffers {
  VideoParallel parallel{};

  VideoParallelBuffers(WorkerPool* pool, const VideoWork& work, uint32_t mapBytes, uint32_t shareBytes) {
    parallel.pool = pool;
    parallel.mapBytes = mapBytes;
    for (VideoWork& set : parallel.work) {
      set = work;
      for (int k = 0; k < kVideoBundleCount; ++k) set.buffers[k] = Buffer(work.sizes[k]);
    }
    for (uint8_t*& map : parallel.maps) map = Buffer(mapBytes);
    for (uint8_t*& ring : parallel.rings) ring = Buffer(kVideoRingBytes);
    parallel.tally = Buffer(mapBytes);
    parallel.shareBytes = shareBytes;
    parallel.share = Buffer(shareBytes);
  }

 private:
  // Moving a vector keeps its bytes where they are.
  uint8_t* Buffer(size_t bytes) { return storage_.emplace_back(bytes).data(); }
  std::vector<std::vector<uint8_t>> storage_;
};

}  // namespace tarn::test
