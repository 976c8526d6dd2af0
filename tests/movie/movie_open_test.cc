// MovieOpen / MovieClose: failure texts, flags and display modes, the memory
// plan, track selection, the preload rule and hostile records.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/little_endian.h"
#include "common/last_error.h"
#include "movie/movie.h"
#include "movie/movie_testing.h"
#include "platform/fake/fake_clock.h"
#include "movie/track_service.h"
#include "tests/support/movie_builder.h"
#include "tests/support/movie_fake_sound.h"

namespace tarn {
namespace {

using test::BuildMovie;
using test::MovieRecipe;
using test::WriteTempFile;

constexpr uint32_t kQuiet = OPEN_NO_THREAD;

struct TempMovie {
  explicit TempMovie(const std::vector<uint8_t>& bytes, const char* name) : path(WriteTempFile(bytes, name)) {}
  ~TempMovie() { std::remove(path.c_str()); }
  std::string path;
};

struct MovieCloser {
  void operator()(Movie* m) const { MovieClose(m); }
};
using MoviePtr = std::unique_ptr<Movie, MovieCloser>;

TEST(MovieOpen, FailureTexts) {
  ScopedFakeClock clock;
  const auto good = BuildMovie({.frames = 3, .tracks = 1});
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* text;
  };
  std::vector<Case> cases;
  auto patched = [&](size_t at, uint32_t v) {
    auto b = good;
    StoreLe32(&b[at], v);
    return b;
  };
  cases.push_back({"short header", std::vector<uint8_t>(good.begin(), good.begin() + 30), "Not a Tarn file."});
  cases.push_back({"wrong letter", patched(0, 0x6A4E5254), "Not a Tarn file."});
  cases.push_back({"zero frames", patched(8, 0), "The file doesn't contain any compressed frames yet."});
  cases.push_back({"truncated index", std::vector<uint8_t>(good.begin(), good.begin() + 60), "Error reading Tarn header."});
  cases.push_back({"width beyond any allocation", patched(20, 0x40000000), "Out of memory."});
  // A rate of billions of frames per second is held to the history cap and
  // opens, rather than asking for gigabytes of history.
  {
    TempMovie file(patched(28, 0xFFFFFFFF), "fast.trn");
    Movie* m = MovieOpen(file.path.c_str(), kQuiet);
    EXPECT_NE(m, nullptr) << MovieGetError();
    MovieClose(m);
  }
  for (const Case& k : cases) {
    TempMovie file(k.bytes, "fail.trn");
    EXPECT_EQ(MovieOpen(file.path.c_str(), kQuiet), nullptr) << k.what;
    EXPECT_STREQ(MovieGetError(), k.text) << k.what;
    // The same bytes from memory, in an exact-size buffer.
    auto exact = std::make_unique<uint8_t[]>(k.bytes.size());
    std::memcpy(exact.get(), k.bytes.data(), k.bytes.size());
    EXPECT_EQ(MovieOpenMemory(exact.get(), k.bytes.size(), kQuiet), nullptr) << k.what;
    EXPECT_STREQ(MovieGetError(), k.text) << k.what << " (memory)";
  }
  EXPECT_EQ(MovieOpen("/nonexistent/movie.trn", kQuiet), nullptr);
  EXPECT_STREQ(MovieGetError(), "Error opening file.");
}

int RefusingReader(IoReader*, const void*, uint32_t) {
  MovieSetError("Custom reader refused.");
  return 0;
}

TEST(MovieOpen, CustomReaderIsOneShotAndKeepsItsText) {
  ScopedFakeClock clock;
  MovieSetReaderOpen(RefusingReader);
  EXPECT_EQ(MovieOpen("x", kQuiet | OPEN_CUSTOM_READER), nullptr);
  EXPECT_STREQ(MovieGetError(), "Custom reader refused.");
  // Cleared by that open: the next one uses the file reader.
  EXPECT_EQ(MovieOpen("/nonexistent", kQuiet | OPEN_CUSTOM_READER), nullptr);
  EXPECT_STREQ(MovieGetError(), "Error opening file.");
}

TEST(MovieOpen, DisplayModesAndFlags) {
  ScopedFakeClock clock;
  struct Case {
    uint32_t headerMode, openMode, width, height, mode;
  } cases[] = {
      {0, 4, 1280, 960, 4}, {0, 6, 640, 480, 6}, {1, 0, 640, 960, 1},
      {1, 7, 640, 480, 0},  {0, 3, 1280, 480, 3}, {0, 2, 640, 960, 2},
  };
  for (const Case& k : cases) {
    const auto b = BuildMovie({.frames = 1, .width = 640, .height = 480, .headerFlags = k.headerMode << 28});
    MoviePtr m(MovieOpenMemory(b.data(), b.size(), kQuiet | OPEN_NO_VIDEO_BUFFERS | (k.openMode << 28)));
    ASSERT_TRUE(m) << MovieGetError();
    EXPECT_EQ(m->width, k.width);
    EXPECT_EQ(m->height, k.height);
    EXPECT_EQ((m->flags & OPEN_DISPLAY_MASK) >> 28, k.mode);
  }
  // Revision bits, grey from the header, alpha only with the header's bit.
  const auto f = BuildMovie({.frames = 1, .revision = 'f', .headerFlags = HDR_GRAYSCALE});
  MoviePtr m(MovieOpenMemory(f.data(), f.size(), kQuiet | OPEN_ALPHA));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->flags & (OPEN_BEFORE_REV_I | OPEN_BEFORE_REV_H | OPEN_GREY | OPEN_ALPHA),
            OPEN_BEFORE_REV_I | OPEN_BEFORE_REV_H | OPEN_GREY);
  const auto a = BuildMovie({.frames = 1, .revision = 'h', .headerFlags = HDR_ALPHA});
  MoviePtr ma(MovieOpenMemory(a.data(), a.size(), kQuiet | OPEN_ALPHA));
  EXPECT_EQ(ma->flags & (OPEN_BEFORE_REV_I | OPEN_BEFORE_REV_H | OPEN_ALPHA), OPEN_BEFORE_REV_I | OPEN_ALPHA);
  EXPECT_TRUE(MovieInternalsForTesting(ma.get()).planes->planes[0][PLANE_ALPHA].wanted);
}

TEST(MovieOpen, PlaneSetShapeAndPieceAlignment) {
  ScopedFakeClock clock;
  struct Case {
    uint32_t keyEvery, sets;
  } cases[] = {{1, 1}, {0, 2}, {2, 2}};
  for (const Case& k : cases) {
    const auto b = BuildMovie({.frames = 4, .width = 100, .height = 37, .keyEvery = k.keyEvery});
    MoviePtr m(MovieOpenMemory(b.data(), b.size(), kQuiet));
    ASSERT_TRUE(m);
    const PlaneSet* ps = MovieInternalsForTesting(m.get()).planes;
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->setCount, k.sets);
    EXPECT_EQ(ps->lumaWidth, 104u);
    EXPECT_EQ(ps->lumaHeight, 40u);
    EXPECT_EQ(ps->chromaWidth, 56u);
    EXPECT_EQ(ps->chromaHeight, 24u);
    EXPECT_EQ(ps->planes[0][PLANE_CHROMA1].stride, 64u);
    EXPECT_EQ(ps->planes[0][PLANE_ALPHA].data, nullptr);
    EXPECT_EQ(ps->planes[1][PLANE_LUMA].data != nullptr, k.sets == 2);
    for (uint32_t s = 0; s < ps->setCount; ++s) {
      const PlaneEntry& y = ps->planes[s][PLANE_LUMA];
      EXPECT_EQ(reinterpret_cast<uintptr_t>(y.data) % 32, 0u);
      for (uint32_t i = 0; i < y.stride * ps->lumaHeight; ++i) ASSERT_EQ(y.data[i], 0) << "planes start zeroed";
    }
  }
  // The pieces of the main block: 32-byte aligned and at different cache offsets.
  const auto b = BuildMovie({.frames = 2});
  MoviePtr m(MovieOpenMemory(b.data(), b.size(), kQuiet));
  auto s = [&] { return MovieInternalsForTesting(m.get()); };
  const void* pieces[] = {s().changeMap, s().history[0], s().history[1], s().history[2], s().tracks, s().selected};
  for (size_t i = 0; i < std::size(pieces); ++i) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pieces[i]) % 32, 0u);
    if (i) {
      EXPECT_NE(reinterpret_cast<uintptr_t>(pieces[i]) / 32 % 32, reinterpret_cast<uintptr_t>(pieces[i - 1]) / 32 % 32);
    }
  }
  EXPECT_EQ(MovieInternalsForTesting(m.get()).blocksAcross, 4u);
  EXPECT_EQ(MovieInternalsForTesting(m.get()).blockCount, 12u);
}

class TrackSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetFakeSound();
    SoundResetSystemForTesting();
    ASSERT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1);
  }
  void TearDown() override { SoundResetSystemForTesting(); }
  ScopedFakeClock clock;
};

TEST_F(TrackSelection, ByIdWithDefaultsDropsAndRateOverride) {
  const auto b = BuildMovie({.frames = 2, .tracks = 3, .rateWord = 0x7000AC44, .trackIds = {5, 0, 9}});
  struct Case {
    const char* what;
    std::vector<uint32_t> ids;  // empty: no OPEN_SOUND_TRACKS
    uint32_t num, den;          // 0: no override
    size_t opens;
    uint32_t rate;
  } cases[] = {
      {"default id 0", {}, 0, 0, 1, 44100},
      {"missing ids dropped", {7, 9, 8, 5}, 0, 0, 2, 44100},
      {"15/1 on 30/1", {0}, 15, 1, 1, 22050},
      {"60/1 on 30/1", {0}, 60, 1, 1, 88200},
  };
  for (const Case& k : cases) {
    test::ResetFakeSound();
    uint32_t flags = kQuiet;
    if (!k.ids.empty()) {
      MovieSetSoundTracks(uint32_t(k.ids.size()), k.ids.data());
      flags |= OPEN_SOUND_TRACKS;
    }
    if (k.num) {
      MovieSetFrameRate(k.num, k.den);
      flags |= OPEN_FRAME_RATE;
    }
    MoviePtr m(MovieOpenMemory(b.data(), b.size(), flags));
    ASSERT_TRUE(m) << k.what;
    ASSERT_EQ(test::FakeSound().opens.size(), k.opens) << k.what;
    EXPECT_EQ(test::FakeSound().opens[0].sampleRate, k.rate) << k.what;
    EXPECT_EQ(test::FakeSound().opens[0].bits, 16u);
    EXPECT_EQ(test::FakeSound().opens[0].channels, 2u);
    if (k.num) {
      EXPECT_EQ(m->rateNumerator, k.num);
    }
  }
  // Pending settings are one-shot: the next plain open uses id 0 and the header rate.
  test::ResetFakeSound();
  MoviePtr m(MovieOpenMemory(b.data(), b.size(), kQuiet | OPEN_FRAME_RATE));
  EXPECT_EQ(m->rateNumerator, 30u);
  ASSERT_EQ(test::FakeSound().opens.size(), 1u);
  EXPECT_EQ(test::FakeSound().opens[0].sampleRate, 44100u);
}

// Needs the audio decoder: without one every track is dropped after its open.
// The ring holds the largest packet and twice the back-end's minimum chunk,
// which is held to a quarter of that packet; the silence preload is the lead
// frame 1 carries beyond its own 1/30 s.
TEST_F(TrackSelection, OpenedTrackGetsItsRingPreloadAndEndFrame) {
  struct Case {
    uint32_t largest, rateWord, minChunk, ring, wantedChunk, preload;
  } cases[] = {
      {300000, 0x7000AC44, 0, 300032, 0, 294120},         // 44100 Hz stereo, 1.67 s ahead
      {300000, 0x7000AC44, 8960, 317952, 8960, 294120},   // room for two chunks besides
      {7680, 0x7000AC44, 11040, 11520, 1920, 1800},       // no real lead: the chunk shrinks
      {1000, 0x7000AC44, 0, 1024, 0, 0},                  // less than its own share: no lead
      {300000, 0x10005622, 0, 300032, 0, 298528},         // 22050 Hz mono 8-bit
  };
  for (const Case& k : cases) {
    test::ResetFakeSound();
    test::FakeSound().minChunk = k.minChunk;
    const auto b = BuildMovie({.frames = 90, .tracks = 1, .decodedBytes = k.largest, .rateWord = k.rateWord});
    MoviePtr m(MovieOpenMemory(b.data(), b.size(), kQuiet));
    ASSERT_TRUE(m);
    auto s = [&] { return MovieInternalsForTesting(m.get()); };
    if ((*s().selectedCount) == 0) GTEST_SKIP() << "no audio decoder in this build";
    const SoundTrack& t = s().tracks[0];
    EXPECT_EQ(t.ringSize, k.ring);
    EXPECT_EQ(t.minChunk, k.wantedChunk);
    EXPECT_EQ(t.preloadBytes, k.preload);
    ASSERT_EQ(test::FakeSound().movies.size(), 1u);
    EXPECT_EQ(test::FakeSound().movies[0].packetBytes, k.largest);
    EXPECT_EQ(t.endFrame, 90 - 22) << "three quarters of a second before the end";
    EXPECT_EQ(t.output8Bit, (k.rateWord & TRACK_16BIT) ? 0u : 1u);
    EXPECT_EQ(t.lengthMask, 0xFFFFFFFFu);
    EXPECT_EQ(t.speed, 0x10000u);
    EXPECT_EQ(SoundOpenTrackCount(), 1u);
    EXPECT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1);
    m.reset();
    EXPECT_EQ(SoundOpenTrackCount(), 0u);
    EXPECT_EQ(test::FakeSound().devices[0].closeCalls, 1);
  }
}

TEST_F(TrackSelection, UnplayableAndAllNonZeroIdsOpenNothing) {
  const auto ids = BuildMovie({.frames = 1, .tracks = 2, .trackIds = {3, 4}});
  MoviePtr a(MovieOpenMemory(ids.data(), ids.size(), kQuiet));
  EXPECT_TRUE(test::FakeSound().opens.empty());
  const auto pcm = BuildMovie({.frames = 1, .tracks = 1, .rateWord = 0x6000AC44});  // no codec bit
  MoviePtr b(MovieOpenMemory(pcm.data(), pcm.size(), kQuiet));
  EXPECT_TRUE(test::FakeSound().opens.empty());
  EXPECT_EQ((*MovieInternalsForTesting(b.get()).selectedCount), 0u);
}

TEST(MovieOpen, PreloadRuleAndDescriptorSource) {
  ScopedFakeClock clock;
  const auto b = BuildMovie({.frames = 30, .videoBytes = 4000});
  TempMovie file(b, "preload.trn");
  {
    // The default ring (one second of data, rounded to 128 KB) holds the whole
    // small movie, so it is preloaded and the file closed.
    MoviePtr m(MovieOpen(file.path.c_str(), kQuiet));
    ASSERT_TRUE(m) << MovieGetError();
    EXPECT_TRUE(m->flags & OPEN_PRELOAD);
    EXPECT_FALSE(MovieInternalsForTesting(m.get()).readerOpen);
    EXPECT_EQ(m->currentFrame, 1u);
    EXPECT_EQ(LoadLe32(MovieInternalsForTesting(m.get()).frameData + 0), 0u);  // video marker of frame 0
  }
  const auto big = BuildMovie({.frames = 60, .videoBytes = 20000});
  TempMovie bigFile(big, "ring.trn");
  {
    MoviePtr m(MovieOpen(bigFile.path.c_str(), kQuiet));
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->flags & OPEN_PRELOAD);
    EXPECT_TRUE(MovieInternalsForTesting(m.get()).readerOpen);
    EXPECT_GT(MovieInternalsForTesting(m.get()).reader->ringSize, 0u);
  }
  {
    MovieSetReadBufferSize(uint32_t(big.size()));
    MovieSetSimulateRate(4000000);
    MoviePtr m(MovieOpen(bigFile.path.c_str(), kQuiet | OPEN_READ_BUFFER_SIZE | OPEN_SIMULATE_RATE));
    EXPECT_TRUE(m->flags & OPEN_PRELOAD);
    EXPECT_EQ(MovieInternalsForTesting(m.get()).reader->simulatedSpeed, 4000000u);
  }
  {
    // Both settings were consumed: the next open uses the defaults.
    MoviePtr m(MovieOpen(bigFile.path.c_str(), kQuiet | OPEN_READ_BUFFER_SIZE | OPEN_SIMULATE_RATE));
    EXPECT_FALSE(m->flags & OPEN_PRELOAD);
    EXPECT_EQ(MovieInternalsForTesting(m.get()).reader->simulatedSpeed, 0u);
  }
  {
    // A movie after 100 bytes of something else, given as a descriptor.
    std::vector<uint8_t> carrier(100 + big.size(), 0x77);
    std::copy(big.begin(), big.end(), carrier.begin() + 100);
    TempMovie inside(carrier, "inside.bin");
    const int fd = ::open(inside.path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 100, SEEK_SET), 100);
    MoviePtr m(MovieOpen(reinterpret_cast<const void*>(intptr_t(fd)), kQuiet | OPEN_FILE_HANDLE));
    ASSERT_TRUE(m) << MovieGetError();
    EXPECT_EQ(m->frameCount, 60u);
    m.reset();
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the descriptor stays open";
    ::close(fd);
  }
}

// Any prefix of a valid movie, and any single corrupted index entry, must
// fail cleanly or play what it holds.
TEST(MovieOpen, HostileImagesFailCleanly) {
  ScopedFakeClock clock;
  const auto full = BuildMovie({.frames = 3, .tracks = 2, .keyEvery = 0});
  for (size_t n = 0; n < full.size(); ++n) {
    auto bytes = std::make_unique<uint8_t[]>(n + 1);
    std::memcpy(bytes.get(), full.data(), n);
    MoviePtr m(MovieOpenMemory(bytes.get(), n, kQuiet));
    if (!m) continue;
    for (int f = 0; f < 4; ++f) {
      MovieDoFrame(m.get());
      MovieNextFrame(m.get());
    }
  }
  // Prefixes of a larger movie read from a file: too big to preload with the
  // smallest read-ahead, so every frame comes through ReadBuffered.
  const auto large = BuildMovie({.frames = 3, .tracks = 1, .videoBytes = 3000});
  for (size_t n = 0; n < large.size(); n += 97) {
    TempMovie file(std::vector<uint8_t>(large.begin(), large.begin() + n), "prefix.trn");
    MovieSetReadBufferSize(0);
    MoviePtr m(MovieOpen(file.path.c_str(), kQuiet | OPEN_READ_BUFFER_SIZE));
    if (!m) {
      EXPECT_NE(MovieGetError()[0], 0) << n;
      continue;
    }
    for (int f = 0; f < 4; ++f) {
      MovieDoFrame(m.get());
      MovieNextFrame(m.get());
    }
    EXPECT_FALSE(m->flags & OPEN_PRELOAD);
    EXPECT_TRUE(m->readFailed) << "a prefix of " << n << " bytes lacks frame data";
  }
  MovieContainer c;
  ASSERT_EQ(ReadContainer(full.data(), full.size(), c), ContainerStatus::Ok);
  const size_t indexAt = FrameIndexOffset(c.header);
  for (uint32_t e = 0; e <= 3; ++e) {
    for (uint32_t v : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFEu, uint32_t(full.size() + 2)}) {
      auto b = full;
      StoreLe32(&b[indexAt + 4 * e], v);
      MoviePtr m(MovieOpenMemory(b.data(), b.size(), kQuiet));
      if (!m) continue;
      for (int f = 0; f < 4; ++f) {
        MovieDoFrame(m.get());
        MovieNextFrame(m.get());
      }
    }
  }
}

TEST(MovieOpen, OversizedRecordIsAReadErrorAtThatFrame) {
  ScopedFakeClock clock;
  struct Case {
    const char* what;
    bool fromFile;
  } cases[] = {{"memory", false}, {"file", true}};
  for (const Case& k : cases) {
    auto b = BuildMovie({.frames = 3, .videoSizes = {16, 200, 16}});
    StoreLe32(&b[12], 16);  // largest frame claims 16 bytes; frame 2 has 200
    TempMovie file(b, "oversized.trn");
    MovieSetReadBufferSize(0);
    MoviePtr m(k.fromFile ? MovieOpen(file.path.c_str(), kQuiet | OPEN_READ_BUFFER_SIZE)
                          : MovieOpenMemory(b.data(), b.size(), kQuiet));
    ASSERT_TRUE(m) << k.what << ": " << MovieGetError();
    EXPECT_EQ(MovieDoFrame(m.get()), 0u) << k.what;
    MovieNextFrame(m.get());
    EXPECT_TRUE(m->readFailed) << k.what;
    EXPECT_EQ(MovieDoFrame(m.get()), 1u) << k.what;
    EXPECT_EQ(MovieWait(m.get()), 0u) << k.what;
    MovieNextFrame(m.get());
    EXPECT_EQ(MovieDoFrame(m.get()), 1u) << "reading stays failed";
  }
}

}  // namespace
}  // namespace tarn
