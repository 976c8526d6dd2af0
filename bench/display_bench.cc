// Lock + copy + unlock + blit of a 1280 x 720 frame in every blit style, in
// frames per second, against a plain copy of the same bytes. Runs on the
// window system in DISPLAY (e.g. under Xvfb), else on SDL's dummy driver.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "display/display_buffer.h"
#include "display/display_internal.h"
#include "platform/sdl/sdl_video.h"

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

// Bytes of one frame row and the rows of one frame (YV12: Y rows, then the
// two chroma planes as rows of half the pitch).
struct FrameShape {
  size_t rowBytes;
  int rows;
};

FrameShape ShapeOf(int format) {
  return FrameShape{size_t(kWidth) * kFormatBytes[format], kHeight};
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
  const int format = int(b->copyFlags & COPY_FORMAT_MASK);
  const FrameShape shape = ShapeOf(format);
  std::vector<uint8_t> frame(shape.rowBytes * shape.rows, 0x5A);
  const bool planar = format == kFormatYv12;
  for (auto _ : state) {
    if (!DisplayBufferLock(b)) {
      state.SkipWithError("lock failed");
      break;
    }
    for (int y = 0; y < shape.rows; ++y) {
      std::memcpy(b->surface + size_t(y) * b->pitch, &frame[y * shape.rowBytes], shape.rowBytes);
    }
    if (planar) {  // V and U planes after the Y plane, pitch / 2 apart
      uint8_t* chroma = b->surface + size_t(b->pitch) * kHeight;
      for (int y = 0; y < kHeight; ++y) {
        std::memcpy(chroma + size_t(y) * (b->pitch / 2), frame.data(), kWidth / 2);
      }
    }
    DisplayBufferUnlock(b);
    if (!(b->copyFlags & COPY_NO_RECTS)) DisplayBufferBlit(b, nullptr, 1);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  DisplayBufferClose(b);
}
BENCHMARK(BM_StyleFrame)->DenseRange(1, 10)->Unit(benchmark::kMillisecond)->UseRealTime();

// The copy alone: what the styles add to it is their cost.
void BM_CopyOnly(benchmark::State& state) {
  std::vector<uint8_t> src(size_t(kWidth) * kHeight * 4, 0x5A), dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CopyOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarn
