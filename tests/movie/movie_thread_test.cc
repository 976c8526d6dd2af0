// Movies read with the process-wide reader thread: records arrive intact while
// the thread fills the ring, also across jumps, and the thread lives exactly
// as long as a movie needs it.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "common/little_endian.h"
#include "common/last_error.h"
#include "io/service_thread.h"
#include "movie/movie.h"
#include "movie/movie_testing.h"
#include "common/clock.h"
#include "movie/track_service.h"
#include "tests/support/movie_builder.h"
#include "tests/support/movie_fake_sound.h"

namespace tarn {
namespace {

struct MovieCloser {
  void operator()(Movie* m) const { MovieClose(m); }
};
using MoviePtr = std::unique_ptr<Movie, MovieCloser>;

// Frames of uneven sizes, so records straddle the 128 KB ring slots.
std::vector<uint8_t> LargeMovie(uint32_t frames) {
  test::MovieRecipe r{.frames = frames, .rateNumerator = 0, .keyEvery = 5};
  for (uint32_t i = 0; i < frames; ++i) r.videoSizes.push_back(20000 + (i * 7919) % 40000);
  return test::BuildMovie(r);
}

void CheckRecord(const Movie* m) {
  auto s = [&] { return MovieInternalsForTesting(m); };
  ASSERT_NE(s().frameData, nullptr);
  const uint32_t i = m->currentFrame - 1;
  ASSERT_EQ(s().frameSize, s().index.Offset(i + 1) - s().index.Offset(i));
  // The video data starts with the frame number, then bytes i * 7 + b.
  ASSERT_EQ(LoadLe32(s().frameData), i) << "frame " << m->currentFrame;
  for (uint32_t b = 4; b < s().frameSize - 1; b += 997) ASSERT_EQ(s().frameData[b], uint8_t(i * 7 + b)) << b;
}

TEST(MovieThreads, RecordsArriveIntactWhileTheReaderThreadFillsAndJumps) {
  const auto bytes = LargeMovie(120);
  const std::string path = test::WriteTempFile(bytes, "threaded.trn");
  for (uint32_t extra : {0u, OPEN_NO_INITIAL_FILL}) {
    MovieSetReadBufferSize(0x60000);
    MoviePtr m(MovieOpen(path.c_str(), OPEN_READ_BUFFER_SIZE | OPEN_NO_VIDEO_BUFFERS | extra));
    ASSERT_TRUE(m) << MovieGetError();
    ASSERT_FALSE(m->flags & OPEN_PRELOAD);
    for (uint32_t f = 0; f < 2 * m->frameCount + 3; ++f) {
      CheckRecord(m.get());
      ASSERT_EQ(MovieDoFrame(m.get()), 0u);
      MovieWait(m.get());
      MovieNextFrame(m.get());
      // Now and then a jump, back or ahead, in the middle of the read-ahead.
      if (f % 17 == 5) {
        ASSERT_EQ(MovieGoto(m.get(), 1 + (f * 7919) % m->frameCount), 1u);
        CheckRecord(m.get());
      }
    }
    EXPECT_FALSE(m->readFailed);
  }
  std::remove(path.c_str());
}

TEST(MovieThreads, ReaderThreadEndsWithTheLastMovie) {
  const auto bytes = LargeMovie(60);
  const std::string path = test::WriteTempFile(bytes, "two.trn");
  ServiceThread* reader = nullptr;
  MovieServiceThreadsForTesting(&reader, nullptr);
  ASSERT_EQ(reader, nullptr);
  MovieSetReadBufferSize(0x40000);
  Movie* a = MovieOpen(path.c_str(), OPEN_READ_BUFFER_SIZE | OPEN_NO_VIDEO_BUFFERS);
  MovieSetReadBufferSize(0x40000);
  Movie* b = MovieOpen(path.c_str(), OPEN_READ_BUFFER_SIZE | OPEN_NO_VIDEO_BUFFERS);
  ASSERT_TRUE(a && b) << MovieGetError();
  MovieServiceThreadsForTesting(&reader, nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(ServiceThreadNodeCount(reader), 2u);
  for (int f = 0; f < 30; ++f) {
    for (Movie* m : {a, b}) {
      ASSERT_EQ(MovieDoFrame(m), 0u);
      MovieNextFrame(m);
    }
  }
  MovieClose(a);
  ServiceThread* still = nullptr;
  MovieServiceThreadsForTesting(&still, nullptr);
  EXPECT_EQ(still, reader) << "closing one of two movies keeps the thread";
  EXPECT_EQ(ServiceThreadNodeCount(still), 1u);
  CheckRecord(b);
  MovieClose(b);
  MovieServiceThreadsForTesting(&still, nullptr);
  EXPECT_EQ(still, nullptr) << "closing the last movie ends it";
  // A movie opened without the thread never creates one.
  MovieSetReadBufferSize(0x40000);
  MoviePtr quiet(MovieOpen(path.c_str(), OPEN_READ_BUFFER_SIZE | OPEN_NO_THREAD | OPEN_NO_VIDEO_BUFFERS));
  MovieServiceThreadsForTesting(&still, nullptr);
  EXPECT_EQ(still, nullptr);
  std::remove(path.c_str());
}

// Real-time playback while the sound thread drains the rings into a fake
// device. Needs the audio decoder; without one the track is dropped.
TEST(MovieThreads, SoundThreadDrainsTheRingsWhilePlaying) {
  test::ResetFakeSound();
  SoundResetSystemForTesting();
  ASSERT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1);
  const auto bytes = test::BuildMovie({.frames = 30, .tracks = 1, .rateNumerator = 60, .decodedBytes = 8192});
  const std::string path = test::WriteTempFile(bytes, "sound.trn");
  Movie* m = MovieOpen(path.c_str(), OPEN_NO_VIDEO_BUFFERS);
  ASSERT_TRUE(m) << MovieGetError();
  if ((*MovieInternalsForTesting(m).selectedCount) == 0) {
    MovieClose(m);
    SoundResetSystemForTesting();
    GTEST_SKIP() << "no audio decoder in this build";
  }
  ServiceThread* sound = nullptr;
  MovieServiceThreadsForTesting(nullptr, &sound);
  EXPECT_NE(sound, nullptr);
  MovieSoundSwitch(m, 1);
  for (uint32_t f = 0; f < m->frameCount; ++f) {
    while (MovieWait(m)) SleepMs(1);
    ASSERT_EQ(MovieDoFrame(m), 0u);
    MovieNextFrame(m);
  }
  SleepMs(200);  // two sound passes
  MovieClose(m);
  MovieServiceThreadsForTesting(nullptr, &sound);
  EXPECT_EQ(sound, nullptr) << "the last movie with sound ended the thread";
  EXPECT_GT(test::FakeSound().devices[0].played.size(), 0u);
  EXPECT_EQ(test::FakeSound().devices[0].closeCalls, 1);
  SoundResetSystemForTesting();
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarn
