// Plane and frame decoding, and the plane's block count, on arbitrary bytes.
// The first byte picks the plane geometry, kind and flags (and whether the
// frame is also decoded on threads, to match the serial decode); the rest is
// the video data, copied to an exact-size buffer so that any overread traps.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/cpu_features.h"
#include "common/worker_pool.h"
#include "video/video_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  if (size < 2) return 0;
  const uint8_t mode = data[0], shape = data[1];
  data += 2, size -= 2;
  const uint32_t width = 8u * (1 + (shape & 15)), height = 8u * (1 + (shape >> 4));
  auto bytes = std::make_unique<uint8_t[]>(size ? size : 1);
  if (size) std::memcpy(bytes.get(), data, size);

  uint32_t sizes[kVideoBundleCount];
  VideoWorkSizes((width + 15) & ~15u, sizes);
  std::vector<uint8_t> work[kVideoBundleCount];
  VideoWork vw{};
  for (int k = 0; k < kVideoBundleCount; ++k) {
    work[k].resize(sizes[k]);
    vw.sizes[k] = sizes[k];
    vw.buffers[k] = work[k].data();
  }
  const uint32_t blocksAcross = (width + 15) / 16;
  std::vector<uint8_t> map(blocksAcross * ((height + 15) / 16));

  if (mode & 1) {  // one plane, in place or from a reference; the packed and
                   // scalar transforms must give the same bytes
    const std::vector<uint8_t> ref(width * height, 0x55);
    const int kind = (mode & 2) ? 2 : 1;
    const uint32_t w = kind == 2 ? ((width / 2 + 7) & ~7u) : width;
    const uint32_t h = kind == 2 ? ((height / 2 + 7) & ~7u) : height;
    std::vector<uint8_t> dst[2];
    PlaneResult result[2];
    for (int scalar = 0; scalar < 2; ++scalar) {
      dst[scalar] = (mode & 4) ? ref : std::vector<uint8_t>(width * height);
      std::memset(map.data(), 0, map.size());
      CpuFeaturesSetMask(scalar ? 0u : ~0u);
      uint8_t* out = dst[scalar].data();
      const uint8_t* in = (mode & 4) ? out : ref.data();
      result[scalar] = VideoDecodePlane(bytes.get(), size, 0, out, in, w, h, w, map.data(), blocksAcross, kind,
                                        vw, (mode & 8) ? 0x8000u : 0u);
    }
    CpuFeaturesSetMask(~0u);
    if (dst[0] != dst[1] || result[0].next != result[1].next || result[0].corrupt != result[1].corrupt)
      __builtin_trap();
    // The block count walks the same plane without samples: where the decoder
    // found no broken rule, it must end where the decoder did and find none.
    std::array<uint64_t, 16> types{}, scaledAs{};
    bool corrupt = false;
    const uint64_t next =
        VideoCountPlaneBlocks(bytes.get(), size, 0, w, h, vw, (mode & 8) != 0, types, scaledAs, &corrupt);
    if (!result[0].corrupt && (corrupt || next != result[0].next)) __builtin_trap();
    return 0;
  }
  PlaneSet ps{};
  ps.setCount = (mode & 2) ? 2 : 1;
  ps.lumaWidth = width, ps.lumaHeight = height;
  ps.chromaWidth = ((width + 1) / 2 + 7) & ~7u, ps.chromaHeight = ((height + 1) / 2 + 7) & ~7u;
  std::vector<uint8_t> mem[2][4];
  for (uint32_t s = 0; s < ps.setCount; ++s) {
    for (uint32_t p = 0; p < 4; ++p) {
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      const uint32_t stride = chroma ? (ps.chromaWidth + 15) & ~15u : width;
      mem[s][p].resize(size_t(stride) * (chroma ? ps.chromaHeight : height));
      ps.planes[s][p] = {1, mem[s][p].data(), stride};
    }
  }
  const uint32_t header = (mode & 4) ? 0x100000u : 0u;
  const uint32_t flags = ((mode & 8) ? 0x100000u : 0u) | ((mode & 16) ? 0x20000u : 0u) | ((mode & 32) ? 0x8000u : 0u);
  if (!(mode & 64)) {
    VideoDecodeFrame(&ps, bytes.get(), bytes.get() + size, header, flags, map.data(), blocksAcross, vw);
    return 0;
  }
  // The same frame on two threads must give the serial decode's planes,
  // change map, skip count and corrupt flag.
  static WorkerPool pool(2);
  PlaneSet threaded = ps;
  std::vector<uint8_t> copies[2][4];
  for (uint32_t s = 0; s < ps.setCount; ++s) {
    for (uint32_t p = 0; p < 4; ++p) {
      copies[s][p] = mem[s][p];
      threaded.planes[s][p].data = copies[s][p].data();
    }
  }
  VideoParallel par{};
  par.pool = &pool;
  par.mapBytes = uint32_t(map.size());
  // Each plane parsed and rebuilt on two threads, or the luma rebuild dealt
  // out to both (heavy frames fill the store, and the parse does the rest).
  par.split = (mode & 128) ? VIDEO_SPLIT_WARM : VIDEO_SPLIT_ALWAYS;
  std::vector<uint8_t> share(VideoShareBytes(ps.lumaWidth, ps.lumaHeight));
  par.share = share.data();
  par.shareBytes = uint32_t(share.size());
  std::vector<uint8_t> extra[kVideoMaxJobs - 1][kVideoBundleCount], maps[kVideoMaxJobs], rings[kVideoMaxJobs];
  for (int j = 0; j < kVideoMaxJobs - 1; ++j) {
    par.work[j] = vw;
    for (int k = 0; k < kVideoBundleCount; ++k) par.work[j].buffers[k] = (extra[j][k] = work[k]).data();
  }
  for (int j = 0; j < kVideoMaxJobs; ++j) {
    par.maps[j] = (maps[j] = map).data();
    par.rings[j] = (rings[j] = std::vector<uint8_t>(kVideoRingBytes)).data();
  }
  std::vector<uint8_t> threadedMap = map;
  std::vector<uint8_t> tally(map.size());
  par.tally = tally.data();
  const uint8_t* end = bytes.get() + size;
  const VideoFrameResult a = VideoDecodeFrame(&ps, bytes.get(), end, header, flags, map.data(), blocksAcross, vw);
  const VideoFrameResult b = VideoDecodeFrame(&threaded, bytes.get(), end, header, flags, threadedMap.data(),
                                              blocksAcross, vw, &par);
  if (a.skipCount != b.skipCount || a.corrupt != b.corrupt || map != threadedMap) __builtin_trap();
  for (uint32_t s = 0; s < ps.setCount; ++s)
    for (uint32_t p = 0; p < 4; ++p)
      if (mem[s][p] != copies[s][p]) __builtin_trap();
  return 0;
}
