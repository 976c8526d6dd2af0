// Encoder speed and quality on 1280 x 720 pictures: frames per second, luma
// PSNR and bytes per frame at three qualities. Synthetic content always; the
// pan clip of scripts/make_clips.sh as well when TARN_CLIPS names its folder.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "encoder/inputs.h"
#include "encoder/video_encoder.h"

namespace {

using tarn::encoder::Picture;

std::vector<Picture> Synthetic(int frames) {
  std::mt19937 rng(42);
  std::vector<Picture> clip;
  const uint32_t w = 1280, h = 720;
  for (int t = 0; t < frames; ++t) {
    Picture p;
    p.width = w;
    p.height = h;
    p.y.resize(size_t(w) * h);
    p.cb.assign(size_t(w / 2) * (h / 2), 120);
    p.cr.assign(size_t(w / 2) * (h / 2), 140);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        double v = 60 + 100 * std::sin((x + 4.0 * t) / 90.0) * std::cos(y / 70.0) + (x * 50.0) / w;
        if (((x + 6 * t) / 40 + y / 40) % 7 == 0) v = 230;
        v += double(rng() % 9) - 4;
        p.y[size_t(y) * w + x] = uint8_t(std::clamp(v, 0.0, 255.0));
      }
    for (uint32_t y = 0; y < h / 2; ++y)
      for (uint32_t x = 0; x < w / 2; ++x) p.cb[size_t(y) * (w / 2) + x] = uint8_t(100 + (x + t) % 60);
    clip.push_back(std::move(p));
  }
  return clip;
}

std::vector<Picture> RealClip(int frames) {
  std::vector<Picture> clip;
  const char* dir = std::getenv("TARN_CLIPS");
  if (!dir) return clip;
  std::string why;
  auto src = tarn::encoder::OpenPngSequence(std::string(dir) + "/pan/frame_%04d.png", &why);
  if (!src) return clip;
  Picture p;
  while (int(clip.size()) < frames && src->Next(p)) clip.push_back(p);
  return clip;
}

void Encode(benchmark::State& state, const std::vector<Picture>& clip) {
  if (clip.empty()) {
    state.SkipWithError("clip unavailable (set TARN_CLIPS to scripts/make_clips.sh output)");
    return;
  }
  const int quality = int(state.range(0));
  double sse = 0, samples = 0, bytes = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    tarn::encoder::VideoEncoder enc({clip[0].width, clip[0].height, 'i', false, false});
    for (size_t f = 0; f < clip.size(); ++f) {
      const Picture& p = clip[f];
      tarn::encoder::SourcePicture sp;
      sp.y = p.y.data();
      sp.yStride = p.width;
      sp.cb = p.cb.data();
      sp.cr = p.cr.data();
      sp.cStride = (p.width + 1) / 2;
      std::vector<uint8_t> out;
      enc.EncodeFrame(sp, f == 0, quality, out);
      bytes += double(out.size());
      const auto& r = enc.Recon(0);
      for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
          const double d = double(r.samples[size_t(y) * r.width + x]) - p.y[size_t(y) * p.width + x];
          sse += d * d;
        }
      samples += double(p.width) * p.height;
      ++frames;
    }
  }
  state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
  state.counters["psnr_db"] = 10 * std::log10(255.0 * 255.0 * samples / std::max(sse, 1.0));
  state.counters["bytes_per_frame"] = bytes / double(std::max<int64_t>(frames, 1));
  state.counters["bits_per_pixel"] = 8 * bytes / std::max(samples, 1.0);
}

void BM_EncodeSynthetic(benchmark::State& state) {
  static const auto clip = Synthetic(6);
  Encode(state, clip);
}
void BM_EncodePan(benchmark::State& state) {
  static const auto clip = RealClip(6);
  Encode(state, clip);
}

BENCHMARK(BM_EncodeSynthetic)->Arg(90)->Arg(75)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodePan)->Arg(90)->Arg(75)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
