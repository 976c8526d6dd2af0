// Frame decode speed against a memcpy of the same plane bytes, in frames per
// second: a deterministic mix of block types (heavy and light), and encoder
// output at the default quality, on one thread and on two: a pan over the
// photographs of scripts/make_clips.sh when TARN_CLIPS names its folder,
// else a synthetic pan.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/worker_pool.h"
#include "encoder/inputs.h"
#include "encoder/video_encoder.h"
#include "tests/support/video_parallel_buffers.h"
#include "tests/support/video_stream_builder.h"
#include "video/video.h"

namespace {

using tarn::encoder::Picture;

constexpr int kClipFrames = 16;  // the first is the only key frame
constexpr int kDefaultQuality = 75;

struct Movie {
  tarn::PlaneSet ps{};
  std::vector<uint8_t> mem[2][3];
  std::vector<uint8_t> map;
  std::vector<uint8_t> work[tarn::kVideoBundleCount];
  tarn::VideoWork vw{};
  uint32_t blocksAcross;

  Movie(uint32_t w, uint32_t h) {
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
    blocksAcross = (w + 15) / 16;
    map.assign(blocksAcross * ((h + 15) / 16), 0);
    tarn::VideoWorkSizes((w + 15) & ~15u, vw.sizes);
    for (int k = 0; k < tarn::kVideoBundleCount; ++k) {
      work[k].assign(vw.sizes[k], 0);
      vw.buffers[k] = work[k].data();
    }
  }

  // Frames decode on a pool of threads from here on, as a movie's do.
  void UseThreads(int threads) {
    pool = std::make_unique<tarn::WorkerPool>(threads);
    parallel = std::make_unique<tarn::test::VideoParallelBuffers>(
        pool.get(), vw, uint32_t(map.size()), tarn::VideoShareBytes(ps.lumaWidth, ps.lumaHeight));
  }

  tarn::VideoFrameResult Decode(const std::vector<uint8_t>& data) {
    std::memset(map.data(), 0, map.size());
    return tarn::VideoDecodeFrame(&ps, data.data(), data.data() + data.size(), 0, 0, map.data(), blocksAcross,
                                  vw, parallel ? &parallel->parallel : nullptr);
  }

  const std::vector<uint8_t>& Luma() const { return mem[ps.current][0]; }

  std::unique_ptr<tarn::WorkerPool> pool;
  std::unique_ptr<tarn::test::VideoParallelBuffers> parallel;
};

std::vector<uint8_t> MixedFrame(const Movie& m, tarn::test::VideoMix mix) {
  const uint32_t w = m.ps.lumaWidth, cw = m.ps.chromaWidth, ch = m.ps.chromaHeight;
  return tarn::test::VideoFrameBytes(tarn::test::MixedPlane(w, m.ps.lumaHeight, w, 1, false, mix),
                                     tarn::test::MixedPlane(cw, ch, w, 2, false, mix),
                                     tarn::test::MixedPlane(cw, ch, w, 3, false, mix), true);
}

// A w x h window of a picture at (x, y).
Picture Crop(const Picture& src, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  Picture p;
  p.width = w, p.height = h;
  p.y.resize(size_t(w) * h);
  p.cb.resize(size_t(w / 2) * (h / 2));
  p.cr.resize(p.cb.size());
  for (uint32_t r = 0; r < h; ++r) std::memcpy(&p.y[size_t(r) * w], &src.y[size_t(y + r) * src.width + x], w);
  const uint32_t scw = (src.width + 1) / 2;
  for (uint32_t r = 0; r < h / 2; ++r) {
    const size_t from = size_t(y / 2 + r) * scw + x / 2;
    std::memcpy(&p.cb[size_t(r) * (w / 2)], &src.cb[from], w / 2);
    std::memcpy(&p.cr[size_t(r) * (w / 2)], &src.cr[from], w / 2);
  }
  return p;
}

// Photographs as the pan clip of scripts/make_clips.sh has them, centre
// cropped to w x h; empty when TARN_CLIPS is unset or the clip is missing.
std::vector<Picture> PhotoPan(uint32_t w, uint32_t h) {
  std::vector<Picture> clip;
  const char* dir = std::getenv("TARN_CLIPS");
  if (!dir) return clip;
  std::string why;
  auto src = tarn::encoder::OpenPngSequence(std::string(dir) + "/pan/frame_%04d.png", &why);
  if (!src || src->width() < w || src->height() < h) return clip;
  Picture p;
  while (int(clip.size()) < kClipFrames && src->Next(p))
    clip.push_back(Crop(p, (p.width - w) / 2 & ~1u, (p.height - h) / 2 & ~1u, w, h));
  return clip;
}

// Smooth shading, hard-edged bars and a little noise, moving 3 pixels right
// and 1 down per frame.
std::vector<Picture> SyntheticPan(uint32_t w, uint32_t h) {
  std::vector<Picture> clip;
  uint32_t noise = 12345;
  for (int t = 0; t < kClipFrames; ++t) {
    Picture p;
    p.width = w, p.height = h;
    p.y.resize(size_t(w) * h);
    p.cb.resize(size_t(w / 2) * (h / 2));
    p.cr.resize(p.cb.size());
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        const double u = x + 3.0 * t, v = y + 1.0 * t;
        double s = 110 + 70 * std::sin(u / 85.0) * std::cos(v / 60.0) + 30 * std::sin((u + v) / 23.0);
        if ((int(u) / 48 + int(v) / 36) % 9 == 0) s = 225;
        noise = noise * 1103515245u + 12345u;
        s += double((noise >> 16) % 5) - 2;
        p.y[size_t(y) * w + x] = uint8_t(std::clamp(s, 0.0, 255.0));
      }
    }
    for (uint32_t y = 0; y < h / 2; ++y) {
      for (uint32_t x = 0; x < w / 2; ++x) {
        const double u = 2 * x + 3.0 * t, v = 2 * y + 1.0 * t;
        p.cb[size_t(y) * (w / 2) + x] = uint8_t(128 + 40 * std::sin(u / 150.0));
        p.cr[size_t(y) * (w / 2) + x] = uint8_t(128 + 40 * std::cos(v / 110.0));
      }
    }
    clip.push_back(std::move(p));
  }
  return clip;
}

struct EncodedClip {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint8_t> lastLuma;  // the encoder's picture after the last frame
  bool photo = false;
};

EncodedClip Encode(uint32_t w, uint32_t h) {
  EncodedClip out;
  std::vector<Picture> clip = PhotoPan(w, h);
  out.photo = !clip.empty();
  if (clip.empty()) clip = SyntheticPan(w, h);
  tarn::encoder::VideoEncoder enc({w, h, 'i', false, false});
  for (size_t f = 0; f < clip.size(); ++f) {
    tarn::encoder::SourcePicture sp;
    sp.y = clip[f].y.data();
    sp.yStride = w;
    sp.cb = clip[f].cb.data();
    sp.cr = clip[f].cr.data();
    sp.cStride = w / 2;
    out.frames.emplace_back();
    enc.EncodeFrame(sp, f == 0, kDefaultQuality, out.frames.back());
  }
  out.lastLuma = enc.Recon(0).samples;
  return out;
}

void BM_VideoDecodeFrame(benchmark::State& state) {
  Movie m(uint32_t(state.range(0)), uint32_t(state.range(1)));
  const auto data = MixedFrame(m, state.range(2) ? tarn::test::VideoMix::kLight : tarn::test::VideoMix::kHeavy);
  for (auto _ : state) {
    const tarn::VideoFrameResult r = m.Decode(data);
    if (r.corrupt) state.SkipWithError("corrupt frame");
    benchmark::DoNotOptimize(r);
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["bytes"] = double(data.size());
}

// Decodes the clip in order, again and again, on state.range(2) threads;
// every pass starts at its key frame.
void BM_VideoDecodeEncoded(benchmark::State& state) {
  const uint32_t w = uint32_t(state.range(0)), h = uint32_t(state.range(1));
  const int threads = int(state.range(2));
  static std::map<std::pair<uint32_t, uint32_t>, EncodedClip> clips;  // encoded once per size
  auto it = clips.find({w, h});
  if (it == clips.end()) it = clips.emplace(std::make_pair(w, h), Encode(w, h)).first;
  const EncodedClip& clip = it->second;
  Movie m(w, h);
  if (threads > 1) m.UseThreads(threads);
  for (const auto& f : clip.frames) {
    if (m.Decode(f).corrupt) return state.SkipWithError("corrupt frame");
  }
  if (m.Luma() != clip.lastLuma) return state.SkipWithError("decoded picture differs from the encoder's");
  size_t bytes = 0;
  for (const auto& f : clip.frames) bytes += f.size();
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.Decode(clip.frames[next]));
    next = next + 1 == clip.frames.size() ? 0 : next + 1;
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["bytes"] = double(bytes) / double(clip.frames.size());
  state.SetLabel(std::string(clip.photo ? "photo pan, " : "synthetic pan, ") + std::to_string(threads) +
                 (threads > 1 ? " threads" : " thread"));
}

void BM_PlaneMemcpy(benchmark::State& state) {
  Movie m(uint32_t(state.range(0)), uint32_t(state.range(1)));
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
// Third argument: decode threads.
BENCHMARK(BM_VideoDecodeEncoded)
    ->Args({1280, 720, 1})
    ->Args({1280, 720, 2})
    ->Args({640, 480, 1})
    ->Args({640, 480, 2})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_PlaneMemcpy)->Args({1280, 720})->Args({640, 480})->Unit(benchmark::kMicrosecond);

}  // namespace
