// The movie core's per-frame costs: stepping through an in-memory movie
// (record lookup, audio walk, timing and statistics, without decoders) and
// turning a 1280 x 720 change map into dirty rectangles.
#include <benchmark/benchmark.h>

#include <random>

#include "movie/movie.h"
#include "movie/movie_testing.h"
#include "movie/movie_writer.h"

namespace tarn {
namespace {

// frames records of 64 video bytes behind empty packets of `tracks` tracks.
std::vector<uint8_t> BuildImage(uint32_t width, uint32_t height, uint32_t frames, uint32_t tracks) {
  MovieWriterInfo info{.width = width, .height = height};
  for (uint32_t t = 0; t < tracks; ++t) info.tracks.push_back({.rateWord = 0x7000AC44, .id = t});
  MovieWriter w(info);
  const std::vector<uint8_t> video(64, 0x5A);
  for (uint32_t i = 0; i < frames; ++i) w.AddFrame(i % 30 == 0, {}, video);
  std::vector<uint8_t> out;
  if (!w.Finish(out)) out.clear();
  return out;
}

void BM_FrameStep(benchmark::State& state) {
  const auto image = BuildImage(64, 48, 300, 2);
  Movie* m = MovieOpenMemory(image.data(), image.size(), OPEN_NO_THREAD | OPEN_NO_VIDEO_BUFFERS);
  for (auto _ : state) {
    MovieDoFrame(m);
    benchmark::DoNotOptimize(MovieWait(m));
    MovieNextFrame(m);
  }
  state.SetItemsProcessed(state.iterations());
  MovieClose(m);
}
BENCHMARK(BM_FrameStep);

void BM_DirtyRects(benchmark::State& state) {
  const auto image = BuildImage(1280, 720, 2, 0);
  Movie* m = MovieOpenMemory(image.data(), image.size(), OPEN_NO_THREAD);
  const MovieInternals in = MovieInternalsForTesting(m);
  std::mt19937 rng(1234);
  const uint32_t changed = uint32_t(state.range(0));
  for (uint32_t i = 0; i < changed; ++i) in.changeMap[rng() % in.blockCount] = 1;
  for (auto _ : state) {
    m->dirtyRectCount = -1;
    benchmark::DoNotOptimize(MovieGetRects(0, m));
  }
  state.SetItemsProcessed(state.iterations());
  MovieClose(m);
}
BENCHMARK(BM_DirtyRects)->Arg(1)->Arg(40)->Arg(400);

}  // namespace
}  // namespace tarn
