// The planes of a frame decoded at once must give exactly what decoding them
// one after another gives: planes, change map, skip count and corrupt flag,
// for every layout, for corrupt frames, and with a map that carries marks
// from earlier frames. Also which movies get decode threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "common/last_error.h"
#include "common/worker_pool.h"
#include "encoder/movie_encoder.h"
#include "movie/movie.h"
#include "movie/movie_testing.h"
#include "tests/encoder/decode_helper.h"
#include "tests/support/video_parallel_buffers.h"
#include "tests/support/video_stream_builder.h"

namespace tarn::test {
namespace {

// With one buffer set every frame decodes in place, as a movie of key frames does.
void UseOneSet(DecoderPlanes& d) {
  d.set.setCount = 1;
  for (PlaneEntry& e : d.set.planes[1]) e = {};
}

// A decoder that owns what VideoParallel points at, with room in the luma
// store for eight times what a movie has.
struct ParallelPlanes : DecoderPlanes {
  WorkerPool pool;
  VideoParallelBuffers buffers;
  VideoParallel& parallel = buffers.parallel;

  ParallelPlanes(uint32_t w, uint32_t h, bool alpha, int threads)
      : DecoderPlanes(w, h, alpha),
        pool(threads),
        buffers(&pool, work, uint32_t(changeMap.size()), 8 * VideoShareBytes(set.lumaWidth, set.lumaHeight)) {}
};

struct Layout {
  char revision;
  bool alpha, grey;
};

// Small planes, and planes whose records pass through the ring several
// times a frame, so that the parse also waits for room; two threads (each
// job's parse and rebuild at once, the jobs one after another) and more.
// On two threads the luma rebuild is also dealt out, from a store that
// holds every frame's records, or from the usual one, which heavy frames
// fill (the parse then rebuilds the rest itself).
struct Decoders {
  uint32_t width, height;
  int threads;
  bool inPlace;
  uint32_t split;
  uint32_t shareQuarters = 4;  // of VideoShareBytes
};

template <class A, size_t N, class B, size_t M>
std::vector<std::pair<A, B>> Combinations(const A (&a)[N], const B (&b)[M]) {
  std::vector<std::pair<A, B>> out;
  for (const A& x : a)
    for (const B& y : b) out.emplace_back(x, y);
  return out;
}

TEST(ParallelDecode, SameAsOneAfterAnotherForEveryLayout) {
  const Decoders setups[] = {{96, 72, 3, false, VIDEO_SPLIT_ALWAYS},     {96, 72, 2, true, VIDEO_SPLIT_NEVER},
                             {328, 240, 2, false, VIDEO_SPLIT_ALWAYS},    {328, 240, 5, true, VIDEO_SPLIT_ALWAYS},
                             {328, 240, 2, false, VIDEO_SPLIT_WARM, 32},  {328, 240, 2, false, VIDEO_SPLIT_WARM, 4}};
  const Layout layouts[] = {{'i', false, false}, {'i', true, false}, {'h', false, false},
                            {'g', true, false},  {'i', true, true},  {'f', false, true}};
  std::mt19937 rng(2024);
  for (const auto& [S, L] : Combinations(setups, layouts)) {
    const uint32_t kW = S.width, kH = S.height;
    SCOPED_TRACE(testing::Message() << kW << "x" << kH << " threads " << S.threads << " in place " << S.inPlace
                                    << " share " << S.shareQuarters << " split " << S.split << " " << L.revision
                                    << " alpha " << L.alpha << " grey " << L.grey);
    const bool revI = L.revision == 'i', old = L.revision != 'i';
    uint32_t flags = (old ? OPEN_BEFORE_REV_I : 0) | (L.revision < 'h' ? OPEN_BEFORE_REV_H : 0) |
                     (L.grey ? OPEN_GREY : 0) | (L.alpha ? OPEN_ALPHA : 0);
    const uint32_t header = L.alpha ? HDR_ALPHA : 0;
    DecoderPlanes serial(kW, kH, L.alpha);
    ParallelPlanes parallel(kW, kH, L.alpha, S.threads);
    parallel.parallel.split = S.split;
    parallel.parallel.shareBytes = VideoShareBytes(parallel.set.lumaWidth, parallel.set.lumaHeight) *
                                   S.shareQuarters / 4;
    if (S.inPlace) {
      UseOneSet(serial);
      UseOneSet(parallel);
    }
    const uint32_t cw = serial.set.chromaWidth, ch = serial.set.chromaHeight;
    for (uint32_t f = 0; f < 12; ++f) {
      // Mixed frames with skips, light and heavy, every third one corrupted.
      const VideoMix mix = f % 2 ? VideoMix::kLight : VideoMix::kHeavy;
      const auto alphaPlane = MixedPlane(kW, kH, kW, f + 50, old, mix);
      std::vector<uint8_t> data =
          VideoFrameBytes(MixedPlane(kW, kH, kW, f, old, mix), MixedPlane(cw, ch, kW, f + 10, old, mix),
                          MixedPlane(cw, ch, kW, f + 20, old, mix), revI, L.alpha ? &alphaPlane : nullptr);
      if (f % 3 == 2)
        for (int k = 0; k < 6; ++k) data[rng() % data.size()] ^= uint8_t(1 + rng() % 255);
      // Every other frame keeps the marks of the one before, as after a skipped copy.
      if (f % 2 == 0) {
        std::fill(serial.changeMap.begin(), serial.changeMap.end(), 0);
        std::fill(parallel.changeMap.begin(), parallel.changeMap.end(), 0);
      }
      std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size()]);
      std::memcpy(exact.get(), data.data(), data.size());
      const uint8_t* end = exact.get() + data.size();
      const VideoFrameResult a = VideoDecodeFrame(&serial.set, exact.get(), end, header, flags,
                                                  serial.changeMap.data(), serial.blocksAcross, serial.work);
      const VideoFrameResult b =
          VideoDecodeFrame(&parallel.set, exact.get(), end, header, flags, parallel.changeMap.data(),
                           parallel.blocksAcross, parallel.work, &parallel.parallel);
      ASSERT_EQ(a.skipCount, b.skipCount) << "frame " << f;
      ASSERT_EQ(a.corrupt, b.corrupt) << "frame " << f;
      ASSERT_EQ(serial.changeMap, parallel.changeMap) << "frame " << f;
      for (int p = 0; p < 4; ++p) {
        const uint32_t rows = (p == 1 || p == 2) ? ch : serial.set.lumaHeight;
        ASSERT_EQ(0, std::memcmp(serial.Plane(p), parallel.Plane(p), size_t(serial.Stride(p)) * rows))
            << "frame " << f << " plane " << p;
      }
    }
  }
}

// Movies decode at once, two threads to a job, unless the open flag or
// TARN_THREADS=1 says not to; a grey movie of an old revision is one job.
TEST(ParallelDecode, MoviesChooseTheirThreads) {
  std::vector<encoder::Picture> clip(3);
  for (uint32_t t = 0; t < 3; ++t) {
    clip[t].Resize(64, 48, true);
    for (size_t i = 0; i < clip[t].y.size(); ++i) clip[t].y[i] = clip[t].a[i] = uint8_t(i * 3 + t * 5);
  }
  auto threadsOf = [&](char revision, bool grey, uint32_t flags) {
    encoder::EncodeOptions o;
    o.revision = revision;
    o.grey = grey;
    o.alpha = !grey;
    std::vector<uint8_t> movie;
    std::string why;
    EXPECT_TRUE(encoder::EncodeMovieMemory(clip, {}, o, movie, &why)) << why;
    Movie* m = MovieOpenMemory(movie.data(), movie.size(), flags);
    EXPECT_TRUE(m) << MovieGetError();
    if (!m) return 0u;
    const uint32_t threads = MovieInternalsForTesting(m).decodeThreads;
    MovieClose(m);
    return threads;
  };
  ThreadsSetOverride(8);
  EXPECT_EQ(6u, threadsOf('i', false, OPEN_ALPHA));
  EXPECT_EQ(4u, threadsOf('i', false, 0));
  EXPECT_EQ(4u, threadsOf('h', false, OPEN_ALPHA));
  EXPECT_EQ(2u, threadsOf('h', true, 0));
  EXPECT_EQ(0u, threadsOf('i', false, OPEN_ALPHA | OPEN_SERIAL_DECODE));
  ThreadsSetOverride(0);
  setenv("TARN_THREADS", "1", 1);
  EXPECT_EQ(0u, threadsOf('i', false, OPEN_ALPHA));
  setenv("TARN_THREADS", "2", 1);
  EXPECT_EQ(2u, threadsOf('i', false, OPEN_ALPHA));
  unsetenv("TARN_THREADS");
}

}  // namespace
}  // namespace tarn::test
