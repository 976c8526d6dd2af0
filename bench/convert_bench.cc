// Whole-frame conversion of a 1280 x 720 picture to 32-bit, 565 and YUY2, on
// the table-driven and the SIMD path, next to a memcpy of the same number of
// destination bytes. Reports frames per second (fps) and pixels per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "convert/convert_internal.h"
#include "tests/support/convert_test_planes.h"

namespace {

using namespace tarn;

constexpr uint32_t kWidth = 1280, kHeight = 720;

const test::TestPlanes& Planes() {
  static const test::TestPlanes planes = [] {
    test::TestPlanes p(kWidth, kHeight, false);
    std::mt19937 rng(1);
    p.Randomise(rng, false);
    return p;
  }();
  return planes;
}

void Report(benchmark::State& state) {
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * kHeight);
}

// range(0): format code; range(1): 1 for the SIMD path, 0 for table-driven.
void BM_Convert(benchmark::State& state) {
  const uint32_t format = uint32_t(state.range(0));
  const CpuFlags cpu = state.range(1) ? CpuFlagsDetect() : 0;
  if (state.range(1) && !(cpu & CPU_SSE2)) {
    state.SkipWithError("no SIMD path on this machine");
    return;
  }
  const uint32_t bpp = CopyFormatBytesPerPixel(format);
  std::vector<uint8_t> out(size_t(kWidth) * kHeight * bpp);
  const CopyDestination dst{out.data(), int32_t(kWidth * bpp), kHeight, 0, 0};
  const CopySource src = Planes().Source();
  for (auto _ : state) {
    (void)CopyPlanes(src, dst, {0, 0, kWidth, kHeight}, format, false, cpu);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Report(state);
}

void BM_Memcpy(benchmark::State& state) {
  const size_t bytes = size_t(kWidth) * kHeight * size_t(state.range(0));
  std::vector<uint8_t> from(bytes, 7), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  Report(state);
}

void Args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"format", "simd"});
  for (int format : {COPY_FORMAT_32_XRGB, COPY_FORMAT_16_565, COPY_FORMAT_YUY2})
    for (int simd : {0, 1}) b->Args({format, simd});
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Convert)->Apply(Args);
BENCHMARK(BM_Memcpy)->ArgName("bytes_per_pixel")->Arg(4)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
