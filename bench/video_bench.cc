// Frame decode speed on a deterministic mix of block types, against a memcpy
// of the same plane bytes. Reported as frames per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "tests/support/video_stream_builder.h"
#include "video/video.h"

namespace {

struct Movie {
  tarn::PlaneSet ps{};
  std::vector<uint8_t> mem[2][3];
  std::vector<uint8_t> map, data;
  std::vector<uint8_t> work[tarn::kVideoBundleCount];
  tarn::VideoWork vw{};
  uint32_t blocksAcross;
  size_t planeBytes = 0;

  Movie(uint32_t w, uint32_t h, tarn::test::VideoMix mix) {
    ps.setCount = 2;
    ps.lumaWidth = w, ps.lumaHeight = h;
    ps.chromaWidth = (w / 2 + 7) & ~7u, ps.chromaHeight = (h / 2 + 7) & ~7u;
    for (int s = 0; s < 2; ++s) {
      for (uint32_t p = 0; p < 3; ++p) {
        const uint32_t stride = p ? (ps.chromaWidth + 15) & ~15u : w;
        mem[s][p].assign(size_t(stride) * (p ? ps.chromaHeight : h), 0);
        ps.planes[s][p] = {1, mem[s][p].data(), stride};
      }
    }
    planeBytes = size_t(w) * h + 2 * size_t(ps.chromaWidth) * ps.chromaHeight;
    blocksAcross = (w + 15) / 16;
    map.assign(blocksAcross * ((h + 15) / 16), 0);
    tarn::VideoWorkSizes((w + 15) & ~15u, vw.sizes);
    for (int k = 0; k < tarn::kVideoBundleCount; ++k) {
      work[k].assign(vw.sizes[k], 0);
      vw.buffers[k] = work[k].data();
    }
    data = tarn::test::VideoFrameBytes(tarn::test::MixedPlane(w, h, w, 1, false, mix),
                                       tarn::test::MixedPlane(ps.chromaWidth, ps.chromaHeight, w, 2, false, mix),
                                       tarn::test::MixedPlane(ps.chromaWidth, ps.chromaHeight, w, 3, false, mix), true);
  }
};

void BM_VideoDecodeFrame(benchmark::State& state) {
  Movie m(uint32_t(state.range(0)), uint32_t(state.range(1)),
          state.range(2) ? tarn::test::VideoMix::kLight : tarn::test::VideoMix::kHeavy);
  for (auto _ : state) {
    std::memset(m.map.data(), 0, m.map.size());
    const tarn::VideoFrameResult r = tarn::VideoDecodeFrame(&m.ps, m.data.data(), m.data.data() + m.data.size(), 0,
                                                            0, m.map.data(), m.blocksAcross, m.vw);
    if (r.corrupt) state.SkipWithError("corrupt frame");
    benchmark::DoNotOptimize(r);
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["bytes"] = double(m.data.size());
}

void BM_PlaneMemcpy(benchmark::State& state) {
  Movie m(uint32_t(state.range(0)), uint32_t(state.range(1)), tarn::test::VideoMix::kLight);
  for (auto _ : state) {
    for (int p = 0; p < 3; ++p) std::memcpy(m.mem[1][p].data(), m.mem[0][p].data(), m.mem[0][p].size());
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Third argument: 0 heavy mix (a quarter transform blocks), 1 light mix.
BENCHMARK(BM_VideoDecodeFrame)
    ->Args({1280, 720, 0})
    ->Args({1280, 720, 1})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlaneMemcpy)->Args({1280, 720})->Args({640, 480})->Unit(benchmark::kMicrosecond);

}  // namespace
