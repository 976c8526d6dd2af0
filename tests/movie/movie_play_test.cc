// Frame stepping on a driven clock: due times, clock restarts, the copy skip
// rule, pause, wrapping, dirty rectangles and the statistics windows.
#include <gtest/gtest.h>

#include <memory>

#include "common/little_endian.h"
#include "common/last_error.h"
#include "common/movie_time.h"
#include "movie/movie.h"
#include "movie/movie_testing.h"
#include "platform/fake/fake_clock.h"
#include "movie/track_service.h"
#include "tests/support/movie_builder.h"
#include "tests/support/movie_fake_sound.h"

namespace tarn {
namespace {

using test::BuildMovie;

struct MovieCloser {
  void operator()(Movie* m) const { MovieClose(m); }
};
using MoviePtr = std::unique_ptr<Movie, MovieCloser>;

class MoviePlay : public ::testing::Test {
 protected:
  MoviePtr Open(const test::MovieRecipe& recipe, uint32_t flags = 0) {
    image_ = BuildMovie(recipe);
    Movie* m = MovieOpenMemory(image_.data(), image_.size(), OPEN_NO_THREAD | flags);
    EXPECT_NE(m, nullptr) << MovieGetError();
    return MoviePtr(m);
  }
  // Decodes the loaded frame at the present time and loads the next one.
  void Step(Movie* m) {
    ASSERT_EQ(MovieDoFrame(m), 0u);
    MovieNextFrame(m);
  }
  uint32_t Now() { return MovieTimeMs(); }
  void AdvanceTo(uint32_t t) { clock_.clock.Advance(t - MovieTimeMs()); }

  ScopedFakeClock clock_;
  std::vector<uint8_t> image_;
};

TEST_F(MoviePlay, DueTimesAreComputedAfreshFromTheClockBase) {
  MoviePtr m = Open({.frames = 10});
  EXPECT_EQ(MovieWait(m.get()), 0u) << "nothing decoded yet: go on";
  AdvanceTo(1000);
  Step(m.get());  // the clock starts at 1000 with this decode
  for (uint32_t due : {33u, 66u, 100u, 133u}) {
    AdvanceTo(1000 + due - 1);
    EXPECT_EQ(MovieWait(m.get()), 1u) << due;
    AdvanceTo(1000 + due);
    EXPECT_EQ(MovieWait(m.get()), 0u) << due;
    Step(m.get());
  }
}

// A one-frame movie's every loop decodes its frame again and waits for it:
// a still (or the player's end card) loops at its rate, not in a busy loop.
TEST_F(MoviePlay, AOneFrameMovieLoopsAtItsRate) {
  MoviePtr m = Open({.frames = 1, .tracks = 1});
  AdvanceTo(1000);
  Step(m.get());
  for (uint32_t due : {33u, 66u, 100u}) {
    AdvanceTo(1000 + due - 1);
    EXPECT_EQ(MovieWait(m.get()), 1u) << due;
    AdvanceTo(1000 + due);
    EXPECT_EQ(MovieWait(m.get()), 0u) << due;
    Step(m.get());
  }
  EXPECT_EQ(*MovieInternalsForTesting(m.get()).framesDecoded, 4u);
}

TEST_F(MoviePlay, WithoutSoundALateFrameRestartsTheClock) {
  struct Case {
    uint32_t late;
    uint32_t nextDue;  // when the frame after the late one is due
  } cases[] = {{100, 1133 + 66}, {50, 1066}};
  for (const Case& k : cases) {
    MovieTimeReset();
    clock_.clock.counterUs = 0;
    clock_.clock.tickMs = 0;
    MoviePtr m = Open({.frames = 10});
    AdvanceTo(1000);
    Step(m.get());
    AdvanceTo(1033 + k.late);
    EXPECT_EQ(MovieWait(m.get()), 0u);
    Step(m.get());
    if (k.nextDue > Now()) {
      AdvanceTo(k.nextDue - 1);
      EXPECT_EQ(MovieWait(m.get()), 1u) << k.late;
    }
    AdvanceTo(std::max(k.nextDue, Now()));
    EXPECT_EQ(MovieWait(m.get()), 0u) << k.late;
  }
}

TEST_F(MoviePlay, RateNumeratorZeroPlaysAsFastAsItCan) {
  MoviePtr m = Open({.frames = 5, .rateNumerator = 0});
  for (int i = 0; i < 8; ++i) {
    Step(m.get());
    EXPECT_EQ(MovieWait(m.get()), 0u);
  }
  MovieGetSummary(m.get(), nullptr);  // a null record is ignored
}

TEST_F(MoviePlay, SecondDecodeAndWrapToFrameOne) {
  MoviePtr m = Open({.frames = 3});
  auto s = [&] { return MovieInternalsForTesting(m.get()); };
  EXPECT_EQ(MovieDoFrame(m.get()), 0u);
  EXPECT_EQ(MovieDoFrame(m.get()), 0u);
  EXPECT_EQ((*s().framesDecoded), 1u) << "the same frame is decoded once";
  for (uint32_t expect : {2u, 3u, 1u, 2u}) {
    MovieNextFrame(m.get());
    EXPECT_EQ(m->currentFrame, expect);
    EXPECT_EQ(LoadLe32(s().frameData + s().frameSize - 16), expect - 1) << "video marker of the loaded record";
  }
  EXPECT_EQ(MovieDoFrame(nullptr), 0u);
  EXPECT_EQ(MovieWait(nullptr), 0u);
  EXPECT_EQ(MoviePause(nullptr, 1), 0u);
  MovieNextFrame(nullptr);
}

TEST_F(MoviePlay, PauseKeepsTheClockWhereItStopped) {
  MoviePtr m = Open({.frames = 10});
  AdvanceTo(1000);
  Step(m.get());
  AdvanceTo(6000);
  EXPECT_EQ(MoviePause(m.get(), 1), 1u);
  AdvanceTo(7000);
  EXPECT_EQ(MoviePause(m.get(), 1), 1u) << "pausing twice keeps the first offset";
  AdvanceTo(9000);
  EXPECT_EQ(MoviePause(m.get(), 0), 0u);
  auto s = [&] { return MovieInternalsForTesting(m.get()); };
  EXPECT_EQ(Now() - (*s().clockStart), 5000u);

  // A movie whose clock never started starts it at the resume.
  MoviePtr fresh = Open({.frames = 2});
  MoviePause(fresh.get(), 1);
  AdvanceTo(12000);
  MoviePause(fresh.get(), 0);
  EXPECT_EQ((*MovieInternalsForTesting(fresh.get()).clockStart), 12000u);
}

// The copy skip rule applies to movies with sound; the track here is a bare
// record that the service ignores (no ready slot), with sound playing.
TEST_F(MoviePlay, ThreeLateCopiesAreSkippedThenOneIsMade) {
  struct Case {
    uint32_t openFlags, copyFlags;
    const char* expect;  // s = skipped, c = copied
  } cases[] = {
      {0, 0, "ssscsssc"},
      {OPEN_NEVER_SKIP, 0, "cccccccc"},
      {0, OPEN_NEVER_SKIP, "cccccccc"},
  };
  for (const Case& k : cases) {
    MoviePtr m = Open({.frames = 20}, k.openFlags);
    auto s = [&] { return MovieInternalsForTesting(m.get()); };
    (*s().selectedCount) = 1;
    (*s().soundPlaying) = 1;
    AdvanceTo(Now() + 1000);
    std::string got;
    for (int i = 0; i < 8; ++i) {
      ASSERT_EQ(MovieDoFrame(m.get()), 0u);
      AdvanceTo(Now() + 200);  // ever later
      const bool skip = MovieShouldSkipCopyForTesting(m.get(), k.copyFlags);
      got += skip ? 's' : 'c';
      EXPECT_EQ(MovieGetRects(k.copyFlags, m.get()) == 0 || !skip, true);
      MovieNextFrame(m.get());
    }
    EXPECT_EQ(got, k.expect);
    PlaybackSummary sum;
    MovieGetSummary(m.get(), &sum);
    EXPECT_EQ(sum.skippedCopies, uint32_t(std::count(got.begin(), got.end(), 's')));
    EXPECT_EQ(sum.skippedFrames, 0u);
    (*s().selectedCount) = 0;
  }
}

TEST_F(MoviePlay, SoundSwitchEmptiesRingsAndAddsSilenceAfterTheStart) {
  MoviePtr m = Open({.frames = 5});
  auto s = [&] { return MovieInternalsForTesting(m.get()); };
  test::FakeSoundDevice dev;
  std::vector<uint8_t> ring(1024, 0x11);
  SoundTrack* t = &s().tracks[0];
  test::AttachFakeDriver(t, &dev);
  dev.ready = false;  // keep the service out of the way
  t->ringSize = 1024;
  t->ringStart = ring.data();
  t->ringEnd = ring.data() + ring.size();
  t->writePos = t->readPos = ring.data() + 100;
  t->fillCount = 300;
  t->preloadBytes = 200;
  t->speed = 0x10000;
  (*s().selectedCount) = 1;

  EXPECT_EQ(MovieWait(m.get()), 0u);
  EXPECT_EQ(MovieSoundSwitch(m.get(), 1), 1u);
  EXPECT_TRUE((*s().soundPlaying));
  dev.enabled = false;
  EXPECT_EQ(MovieSoundSwitch(m.get(), 0), 0u);
  EXPECT_EQ(t->fillCount, 0u) << "at frame 1 before its decode: emptied, no silence";
  EXPECT_EQ(t->readPos, ring.data());

  dev.enabled = true;
  MovieSoundSwitch(m.get(), 1);
  ASSERT_EQ(MovieDoFrame(m.get()), 0u);
  dev.enabled = false;
  MovieSoundSwitch(m.get(), 0);
  EXPECT_EQ(t->fillCount, 200u);
  EXPECT_EQ(t->readPos, ring.data() + 1024 - 200) << "silence goes in front, across the ring start";
  for (int i = 1024 - 200; i < 1024; ++i) ASSERT_EQ(ring[i], 0);
  EXPECT_EQ(dev.enableCalls, 4);

  MoviePause(m.get(), 1);
  EXPECT_EQ(dev.lastPause, 1);
  (*s().selectedCount) = 0;
  EXPECT_EQ(MovieSoundSwitch(m.get(), 1), 0u) << "no tracks: nothing to switch";
}

TEST_F(MoviePlay, StarvedTrackRestartsSoundAndClock) {
  MoviePtr m = Open({.frames = 40});
  auto s = [&] { return MovieInternalsForTesting(m.get()); };
  test::FakeSoundDevice dev;
  dev.ready = false;
  std::vector<uint8_t> ring(512);
  SoundTrack* t = &s().tracks[0];
  test::AttachFakeDriver(t, &dev);
  t->ringSize = 512;
  t->ringStart = t->readPos = t->writePos = ring.data();
  t->ringEnd = ring.data() + 512;
  t->endFrame = 30;
  t->speed = 0x10000;
  (*s().selectedCount) = 1;
  MovieSoundSwitch(m.get(), 1);
  Step(m.get());
  t->starved = 1;  // frame 2 is loaded, before the end frame
  AdvanceTo(Now() + 500);
  Step(m.get());
  EXPECT_EQ((*s().soundSkips), 1u);
  EXPECT_EQ(t->starved, 0u);
  EXPECT_TRUE((*s().soundPlaying));
  EXPECT_EQ(dev.enableCalls, 3) << "on, then off and on again";
  // Past the end frame a starvation is only cleared.
  while (m->currentFrame <= 31) Step(m.get());
  t->starved = 1;
  Step(m.get());
  EXPECT_EQ((*s().soundSkips), 1u);
  (*s().selectedCount) = 0;
}

TEST_F(MoviePlay, DirtyRectangles) {
  struct Case {
    const char* what;
    uint32_t mode;
    std::vector<std::pair<int, int>> blocks;  // (x, y) in blocks of a 7 x 3 map
    uint32_t copyFlags;
    std::vector<MovieRect> expect;
    bool setLater = false;  // the caller sets the option after the open, as the player's doubling does
  };
  const std::vector<Case> cases = {
      {"none", 0, {}, 0, {}},
      {"one block", 0, {{1, 1}}, 0, {{16, 16, 16, 16}}},
      {"clipped at the edge", 0, {{6, 2}}, 0, {{96, 32, 4, 8}}},
      {"both doubled", 4, {{1, 0}}, 0, {{32, 0, 32, 32}}},
      {"height doubled", 1, {{1, 0}}, 0, {{16, 0, 16, 32}}},
      {"width doubled", 3, {{1, 0}}, 0, {{32, 0, 32, 16}}},
      {"both doubled after the open", 4, {{1, 1}}, 0, {{32, 32, 32, 32}}, true},
      {"two corners, sorted", 0, {{6, 2}, {0, 0}}, 0, {{0, 0, 16, 16}, {96, 32, 4, 8}}},
      {"one rectangle only", 0, {{6, 2}, {0, 0}}, 0x8000000, {{0, 0, 100, 40}}},
      {"no rectangles", 0, {{1, 1}}, 0x4000000, {}},
  };
  for (const Case& k : cases) {
    MoviePtr m = Open({.frames = 2, .width = 100, .height = 40}, k.setLater ? 0 : k.mode << 28);
    auto s = [&] { return MovieInternalsForTesting(m.get()); };
    if (k.setLater) {
      m->flags |= k.mode << 28;
      m->width *= 2;
      m->height *= 2;
    }
    ASSERT_EQ(MovieDoFrame(m.get()), 0u);
    std::fill_n(s().changeMap, s().blockCount, 0);
    for (auto [x, y] : k.blocks) s().changeMap[y * 7 + x] = 1;
    m->dirtyRectCount = -1;
    ASSERT_EQ(MovieGetRects(k.copyFlags, m.get()), k.expect.size()) << k.what;
    for (size_t i = 0; i < k.expect.size(); ++i) {
      const MovieRect& r = m->dirtyRects[i];
      const MovieRect& e = k.expect[i];
      EXPECT_TRUE(r.x == e.x && r.y == e.y && r.width == e.width && r.height == e.height)
          << k.what << " #" << i << ": " << r.x << "," << r.y << " " << r.width << "x" << r.height;
    }
  }
  // Scattered changes refine to at most 8 rectangles, which cover every change.
  MoviePtr m = Open({.frames = 2, .width = 320, .height = 320});
  auto s = [&] { return MovieInternalsForTesting(m.get()); };
  ASSERT_EQ(MovieDoFrame(m.get()), 0u);
  const std::pair<int, int> spots[] = {{0, 0}, {19, 0}, {0, 19}, {19, 19}, {10, 10},
                                       {5, 15}, {15, 5}, {3, 8}, {12, 17}, {17, 12}};
  for (auto [x, y] : spots) s().changeMap[y * 20 + x] = 1;
  m->dirtyRectCount = -1;
  ASSERT_EQ(MovieGetRects(0, m.get()), 8u);
  for (auto [bx, by] : spots) {
    const int x = bx * 16, y = by * 16;
    bool covered = false;
    for (int r = 0; r < 8; ++r) {
      const MovieRect& d = m->dirtyRects[r];
      covered |= x >= d.x && x < d.x + d.width && y >= d.y && y < d.y + d.height;
    }
    EXPECT_TRUE(covered) << bx << "," << by;
  }
  for (int r = 1; r < 8; ++r) {
    const MovieRect& a = m->dirtyRects[r - 1];
    const MovieRect& b = m->dirtyRects[r];
    EXPECT_LE(a.y * 65536 + a.x, b.y * 65536 + b.x) << "sorted";
  }
}

TEST_F(MoviePlay, LoopingPastFiveMinutesRestartsTheClock) {
  MoviePtr m = Open({.frames = 2});
  auto s = [&] { return MovieInternalsForTesting(m.get()); };
  Step(m.get());
  Step(m.get());  // back at frame 1: the restart time was noted at open
  EXPECT_FALSE((*s().restartRequest));
  AdvanceTo(Now() + 300001);
  Step(m.get());
  Step(m.get());  // frame 1 again, more than five minutes later
  ASSERT_TRUE((*s().restartRequest));
  ASSERT_EQ(MovieDoFrame(m.get()), 0u);
  EXPECT_FALSE((*s().restartRequest));
  EXPECT_EQ((*s().clockStart), Now()) << "the clock restarted with this decode";
}

TEST_F(MoviePlay, PacketRunningPastItsRecordMarksTheFrameCorrupt) {
  auto b = BuildMovie({.frames = 2, .tracks = 1});
  MovieContainer c;
  ASSERT_EQ(ReadContainer(b.data(), b.size(), c), ContainerStatus::Ok);
  StoreLe32(&b[c.Index().Offset(0)], 0x7FFFFFF0);  // frame 1's packet length
  MoviePtr m(MovieOpenMemory(b.data(), b.size(), OPEN_NO_THREAD | OPEN_NO_VIDEO_BUFFERS));
  ASSERT_TRUE(m);
  EXPECT_EQ(MovieDoFrame(m.get()), 0u);
  EXPECT_TRUE(MovieLastFrameCorrupt(m.get()));
  MovieNextFrame(m.get());
  EXPECT_EQ(MovieDoFrame(m.get()), 0u);
  EXPECT_FALSE(MovieLastFrameCorrupt(m.get()));
  EXPECT_EQ(MovieCorruptFrameCount(m.get()), 1u);
  EXPECT_FALSE(m->readFailed);
}

TEST_F(MoviePlay, RealtimeWindows) {
  MoviePtr m = Open({.frames = 60});
  AdvanceTo(1000);
  ASSERT_EQ(MovieDoFrame(m.get()), 0u);
  RealtimeStats st;
  MovieGetRealtime(0, m.get(), &st);
  EXPECT_EQ(st.framesInWindow, 1u);
  EXPECT_GE(st.windowTime, 1u);
  EXPECT_EQ(st.frame, 1u);
  MovieNextFrame(m.get());
  for (int i = 0; i < 40; ++i) {
    AdvanceTo(Now() + 33);
    Step(m.get());
  }
  struct Case {
    uint32_t wanted, used;
  } cases[] = {{100, 29}, {0, 29}, {30, 29}, {10, 10}, {1, 1}};
  for (const Case& k : cases) {
    MovieGetRealtime(k.wanted, m.get(), &st);
    EXPECT_EQ(st.framesInWindow, k.used) << k.wanted;
    EXPECT_EQ(st.windowTime, k.used * 33) << k.wanted;
    // Every record is 16 bytes of video: 30 frames/s give 480 bytes/s.
    EXPECT_EQ(st.dataRate, 480u) << k.wanted;
  }
  PlaybackSummary sum;
  MovieGetSummary(m.get(), &sum);
  EXPECT_EQ(sum.framesPlayed, 41u);
  EXPECT_EQ(sum.frameCount, 60u);
  // The averages use the size field (movie length - 8) as the end of the data.
  EXPECT_EQ(sum.averageFrameSize, (60u * 16 - 8) / 60);
  EXPECT_EQ(sum.averageDataRate, (60u * 16 - 8) * 30 / 60);
  EXPECT_EQ(sum.peakSecondAmount, 480u);
  EXPECT_EQ(sum.peakWindowFrame, 1u);
  EXPECT_EQ(sum.playbackTime, 40u * 33);
}

}  // namespace
}  // namespace tarn
