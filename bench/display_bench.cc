// Lock + convert + unlock + blit of a 1280 x 720 frame in every blit style, in
// frames per second, against the conversion alone. Runs on the
// window system in DISPLAY (e.g. under Xvfb), else on SDL's dummy driver.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "display/display_buffer.h"
#include "common/cpu_features.h"
#include "convert/convert_internal.h"
#include "display/display_internal.h"
#include "platform/sdl/sdl_video.h"
#include "video/video.h"

namespace tarn {
namespace {

constexpr int kWidth = 1280, kHeight = 720;

VideoWindow* BenchWindow() {
  static std::unique_ptr<VideoWindow> window = [] {
    if (!std::getenv("DISPLAY")) setenv("SDL_VIDEODRIVER", "dummy", 0);
    return SdlVideoWindowCreate("display bench", kWidth, kHeight, 0);
  }();
  return window.get();
}

// A decoded 1280 x 720 frame of seeded noise, as the copy stage reads it.
struct BenchFrame {
  std::vector<uint8_t> y, cr, cb;
  CopySource source{};
  BenchFrame() : y(size_t(kWidth) * kHeight), cr(size_t(kWidth / 2) * (kHeight / 2)), cb(cr.size()) {
    uint32_t seed = 12345;
    const auto next = [&] { return uint8_t((seed = seed * 1664525u + 1013904223u) >> 24); };
    for (auto& v : y) v = next();
    for (auto& v : cr) v = next();
    for (auto& v : cb) v = next();
    source.plane[PLANE_LUMA] = y.data();
    source.plane[PLANE_CHROMA1] = cr.data();
    source.plane[PLANE_CHROMA2] = cb.data();
    source.stride[PLANE_LUMA] = kWidth;
    source.stride[PLANE_CHROMA1] = source.stride[PLANE_CHROMA2] = kWidth / 2;
    source.width = kWidth;
    source.height = kHeight;
  }
  void CopyTo(uint8_t* data, int32_t pitch, uint32_t format) const {
    const CopyDestination d{data, pitch, uint32_t(kHeight), 0, 0};
    if (!CopyPlanes(source, d, CopyRect{0, 0, kWidth, kHeight}, format, false, CpuFeatures())) {
      std::abort();
    }
  }
};

const BenchFrame& Frame() {
  static const BenchFrame frame;
  return frame;
}

void BM_StyleFrame(benchmark::State& state) {
  const uint32_t style = uint32_t(state.range(0));
  VideoWindow* window = BenchWindow();
  if (!window) {
    state.SkipWithError("no window");
    return;
  }
  DisplayBuffer* b = DisplayBufferOpen(window, kWidth, kHeight, style);
  if (!b) {
    state.SkipWithError(DisplayBufferGetError());
    return;
  }
  state.SetLabel(DisplayBufferStyleName(b));
  const BenchFrame& frame = Frame();
  for (auto _ : state) {
    if (!DisplayBufferLock(b)) {
      state.SkipWithError("lock failed");
      break;
    }
    frame.CopyTo(b->surface, b->pitch, b->copyFlags & COPY_FORMAT_MASK);
    DisplayBufferUnlock(b);
    if (!(b->copyFlags & COPY_NO_RECTS)) DisplayBufferBlit(b, nullptr, 1);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  DisplayBufferClose(b);
}
BENCHMARK(BM_StyleFrame)->DenseRange(1, 10)->Unit(benchmark::kMillisecond)->UseRealTime();

// The conversion alone into memory, 32-bit and YUY2: what a style adds to it
// is its own cost.
void BM_ConvertOnly(benchmark::State& state) {
  const uint32_t format = uint32_t(state.range(0));
  const int32_t pitch = kWidth * int32_t(CopyFormatBytesPerPixel(format));
  std::vector<uint8_t> dst(size_t(pitch) * kHeight);
  const BenchFrame& frame = Frame();
  for (auto _ : state) {
    frame.CopyTo(dst.data(), pitch, format);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertOnly)->Arg(COPY_FORMAT_32_XRGB)->Arg(COPY_FORMAT_YUY2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarn
