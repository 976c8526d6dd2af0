// Jumps to random frames of a 1280 x 720 movie made as `tarn encode` makes
// it, with its default key-frame interval (ten seconds) and with --keyint 30:
// MovieGoto, then the frame decoded and converted for the screen, as the
// player does after a jump key. The movie comes from the pan and zoom clips
// of scripts/make_clips.sh when TARN_CLIPS names their folder (made with 300
// frames each: `scripts/make_clips.sh build/clips 300`), played one after the
// other: 600 frames, 24 s at 25 frames a second. The encoded movies are kept
// in that folder. Reports the median, 90th percentile and longest jump in ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "convert/copy.h"
#include "encoder/movie_encoder.h"
#include "movie/movie.h"

namespace {

namespace fs = std::filesystem;

constexpr int kClipFrames = 300;  // of each clip
constexpr int kJumps = 60;

// The movie for a key-frame interval (0: the encoder's default), made once.
std::string SeekMovie(uint32_t keyInterval, std::string* why) {
  const char* dir = std::getenv("TARN_CLIPS");
  if (!dir) {
    *why = "set TARN_CLIPS to the output of scripts/make_clips.sh build/clips 300";
    return {};
  }
  const fs::path clips(dir);
  const fs::path movie = clips / ("seek_keyint" + std::to_string(keyInterval) + ".trn");
  if (fs::exists(movie)) return movie.string();
  char name[32];
  std::snprintf(name, sizeof name, "frame_%04d.png", kClipFrames - 1);
  if (!fs::exists(clips / "pan" / name) || !fs::exists(clips / "zoom" / name)) {
    *why = "the clips need 300 frames: scripts/make_clips.sh " + clips.string() + " 300";
    return {};
  }
  const fs::path both = clips / "seek_frames";
  fs::create_directories(both);
  for (int i = 0; i < 2 * kClipFrames; ++i) {
    char from[32], to[32];
    std::snprintf(from, sizeof from, "frame_%04d.png", i % kClipFrames);
    std::snprintf(to, sizeof to, "frame_%04d.png", i);
    const fs::path link = both / to;
    if (!fs::exists(link)) fs::create_symlink(fs::absolute(clips / (i < kClipFrames ? "pan" : "zoom") / from), link);
  }
  tarn::encoder::EncodeOptions opts;
  opts.video = (both / "frame_%04d.png").string();
  opts.output = (clips / "seek_encoding.trn").string();
  opts.keyInterval = keyInterval;
  if (!tarn::encoder::EncodeMovieFile(opts, nullptr, why)) return {};
  fs::rename(opts.output, movie);
  return movie.string();
}

void BM_Jump(benchmark::State& state) {
  std::string why;
  const std::string path = SeekMovie(uint32_t(state.range(0)), &why);
  if (path.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  // Opened as the player opens it: from the file, through the read-ahead
  // ring and the reader thread.
  tarn::Movie* m = tarn::MovieOpen(path.c_str(), 0);
  if (!m) {
    state.SkipWithError("cannot open the movie");
    return;
  }
  std::vector<uint32_t> screen(size_t(m->width) * m->height);
  std::mt19937 rng(20261109);
  std::vector<double> ms;
  for (auto _ : state) {
    ms.clear();
    for (int j = 0; j < kJumps; ++j) {
      const uint32_t target = 1 + rng() % m->frameCount;
      const auto t0 = std::chrono::steady_clock::now();
      tarn::MovieGoto(m, target);
      tarn::MovieDoFrame(m);
      tarn::MovieCopyToBuffer(m, screen.data(), int32_t(m->width * 4), m->height, 0, 0, 0, 0, m->width, m->height,
                              tarn::COPY_FORMAT_32_XRGB);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      tarn::MovieNextFrame(m);
    }
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
  state.counters["max_ms"] = ms.back();
  tarn::MovieClose(m);
}
BENCHMARK(BM_Jump)->ArgName("keyint")->Arg(0)->Arg(30)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
