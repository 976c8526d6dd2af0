#include "movie/container.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "common/little_endian.h"
#include "movie/movie.h"
#include "movie/movie_writer.h"
#include "platform/file.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

using test::BuildMovie;
using test::MovieRecipe;

TEST(MovieWriter, OneFrameWithoutTracksHasItsIndexAt44) {
  MovieWriter w({.revision = 'i', .width = 224, .height = 252, .rateNumerator = 10, .rateDenominator = 1});
  std::vector<uint8_t> video(0x3A00 - 52, 0x11);
  w.AddFrame(true, {}, video);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(w.Finish(bytes));
  ASSERT_EQ(bytes.size(), 0x3A00u);
  EXPECT_EQ(LoadLe32(&bytes[0]), kMagicRevI);
  EXPECT_EQ(LoadLe32(&bytes[4]), 0x3A00u - 8);
  EXPECT_EQ(LoadLe32(&bytes[8]), 1u);
  EXPECT_EQ(LoadLe32(&bytes[12]), 0x3A00u - 52);  // largest frame
  EXPECT_EQ(LoadLe32(&bytes[16]), 1u);            // index frame count
  EXPECT_EQ(LoadLe32(&bytes[44]), 0x35u);
  EXPECT_EQ(LoadLe32(&bytes[48]), 0x3A00u);

  MovieContainer c;
  ASSERT_EQ(ReadContainer(bytes.data(), bytes.size(), c), ContainerStatus::Ok);
  EXPECT_EQ(c.Index().Offset(0), 52u);
  EXPECT_TRUE(c.Index().IsKey(0));
  EXPECT_TRUE(c.facts.allKeyFrames);
  // One frame at 10/s: fewer frames than R, so the amount is scaled to a second.
  EXPECT_EQ(c.facts.roundedRate, 10u);
  EXPECT_EQ(c.facts.peakAmount, (0x3A00u - 0x35u) * 10u);
}

TEST(MovieWriter, TrackTableAndPacketsAreLaidOutInOrder) {
  MovieWriterInfo info{.width = 16, .height = 16};
  info.tracks = {{.rateWord = 0x7000AC44, .id = 7}, {.rateWord = 0x5622, .id = 9}};
  MovieWriter w(info);
  std::vector<MovieAudioPacket> audio(2);
  audio[0] = {true, 4096, {1, 2, 3}};
  audio[1] = {};  // no packet for the second track: length 0 and nothing else
  const uint8_t video[] = {0xAB, 0xCD};
  w.AddFrame(true, audio, video);
  w.AddFrame(false, {}, video);
  std::vector<uint8_t> b;
  ASSERT_TRUE(w.Finish(b));

  MovieContainer c;
  ASSERT_EQ(ReadContainer(b.data(), b.size(), c), ContainerStatus::Ok);
  EXPECT_EQ(c.largestPacket, (std::vector<uint32_t>{4096, 0}));
  EXPECT_EQ(c.rateWord, (std::vector<uint32_t>{0x7000AC44, 0x5622}));
  EXPECT_EQ(c.trackId, (std::vector<uint32_t>{7, 9}));
  const uint32_t first = 44 + 24 + 4 * 3;
  EXPECT_EQ(c.Index().Raw(0), first | 1);
  EXPECT_FALSE(c.Index().IsKey(1));
  EXPECT_FALSE(c.facts.allKeyFrames);
  EXPECT_EQ(c.facts.keyFrameCount, 1u);
  // Frame 0: L=7, D, 3 bytes; L=0; video 2 bytes; padded to even: 4+4+3+4+2 = 17 -> 18.
  const uint8_t* r = &b[first];
  EXPECT_EQ(LoadLe32(r), 7u);
  EXPECT_EQ(LoadLe32(r + 4), 4096u);
  EXPECT_EQ(LoadLe32(r + 11), 0u);
  EXPECT_EQ(r[15], 0xAB);
  EXPECT_EQ(c.Index().Offset(1) - c.Index().Offset(0), 18u);
  EXPECT_EQ(LoadLe32(&b[12]), 18u);  // largest frame
  EXPECT_EQ(c.Index().Offset(2), b.size());
}

TEST(MovieContainer, OneStereoTrackPutsTheIndexAt56) {
  const auto b = BuildMovie({.frames = 5, .tracks = 1});
  MovieContainer c;
  ASSERT_EQ(ReadContainer(b.data(), b.size(), c), ContainerStatus::Ok);
  EXPECT_EQ(FrameIndexOffset(c.header), 56u);
  EXPECT_EQ(c.Index().Raw(0), (56u + 4 * 6) | 1);
  EXPECT_EQ(c.rateWord[0], 0x7000AC44u);
}

TEST(MovieContainer, RevisionLettersAndMagicWords) {
  struct Case {
    const char magic[5];
    bool ok;
    uint32_t flags;
  } cases[] = {
      {"TRNf", true, OPEN_BEFORE_REV_I | OPEN_BEFORE_REV_H},
      {"TRNg", true, OPEN_BEFORE_REV_I | OPEN_BEFORE_REV_H},
      {"TRNh", true, OPEN_BEFORE_REV_I},
      {"TRNi", true, 0},
      {"TRNj", false, 0},
      {"TRNe", false, 0},
      {"trni", false, 0},
      {"iNRT", false, 0},  // byte-swapped word
  };
  auto b = BuildMovie({.frames = 1});
  for (const Case& k : cases) {
    std::copy_n(k.magic, 4, b.begin());
    MovieContainer c;
    const ContainerStatus s = ReadContainer(b.data(), b.size(), c);
    EXPECT_EQ(s == ContainerStatus::Ok, k.ok) << k.magic;
    if (k.ok) {
      EXPECT_EQ(MovieRevisionFlags(c.header.magic), k.flags) << k.magic;
    } else {
      EXPECT_STREQ(ContainerStatusText(s), "Not a Tarn file.") << k.magic;
    }
  }
}

TEST(MovieContainer, BadInputGivesTheExactTexts) {
  const auto good = BuildMovie({.frames = 4, .tracks = 2});
  struct Case {
    const char* what;
    size_t keep;                 // bytes of the image given
    size_t patchAt;              // 0: no patch
    uint32_t value;
    const char* text;
  } cases[] = {
      {"empty", 0, 0, 0, "Not a Tarn file."},
      {"truncated header", 43, 0, 0, "Not a Tarn file."},
      {"zero frames", SIZE_MAX, 8, 0, "The file doesn't contain any compressed frames yet."},
      {"truncated track table", 44 + 20, 0, 0, "Error reading Tarn header."},
      {"truncated index", 44 + 24 + 12, 0, 0, "Error reading Tarn header."},
      {"huge track count", SIZE_MAX, 40, 0xFFFFFFFF, "Error reading Tarn header."},
      {"huge index count", SIZE_MAX, 16, 0xFFFFFFFF, "Error reading Tarn header."},
      {"index shorter than the frames", SIZE_MAX, 16, 2, "Error reading Tarn header."},
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> b(good.begin(), good.begin() + std::min(k.keep, good.size()));
    if (k.patchAt) StoreLe32(&b[k.patchAt], k.value);
    // Exact-size copy so any overread traps under the address sanitizer.
    auto exact = std::make_unique<uint8_t[]>(b.size() + 1);
    std::copy(b.begin(), b.end(), exact.get());
    MovieContainer c;
    EXPECT_STREQ(ContainerStatusText(ReadContainer(exact.get(), b.size(), c)), k.text) << k.what;
  }
}

TEST(MovieContainer, PeakSecondAndItsWindow) {
  // 30/1 with 40 frames: frames 20..29 are large, so the heaviest 30-frame
  // window is the first that holds all of them.
  MovieRecipe recipe{.frames = 40, .videoBytes = 100};
  recipe.videoSizes.assign(40, 100);
  for (int i = 20; i < 30; ++i) recipe.videoSizes[i] = 1000;
  const auto b = BuildMovie(recipe);
  MovieContainer c;
  ASSERT_EQ(ReadContainer(b.data(), b.size(), c), ContainerStatus::Ok);
  EXPECT_EQ(c.facts.roundedRate, 30u);
  EXPECT_EQ(c.facts.peakAmount, 20u * 100 + 10u * 1000);
  EXPECT_EQ(c.facts.peakStart, 0u);

  struct RateCase {
    uint32_t num, den, r;
  } rates[] = {{30, 1, 30}, {2997, 100, 30}, {15, 2, 8}, {1, 3, 1}, {0, 1, 1}, {5, 0, 1},
               {0xFFFFFFFF, 1, kMaxRoundedFrameRate}};
  for (const RateCase& k : rates) EXPECT_EQ(RoundedFrameRate(k.num, k.den), k.r) << k.num << "/" << k.den;
}

TEST(MovieContainer, MovieInsideAnotherFile) {
  const auto movie = BuildMovie({.frames = 3, .tracks = 1});
  std::vector<uint8_t> carrier(1000 + movie.size() + 50, 0xEE);
  std::copy(movie.begin(), movie.end(), carrier.begin() + 1000);
  const std::string path = test::WriteTempFile(carrier, "carrier.bin");
  File f;
  ASSERT_TRUE(f.Open(path.c_str()));
  MovieContainer c;
  ASSERT_EQ(ReadContainer(f, 1000, c), ContainerStatus::Ok);
  EXPECT_EQ(c.header.frameCount, 3u);
  EXPECT_EQ(c.Index().Offset(3), movie.size());
  EXPECT_EQ(ReadContainer(f, 999, c), ContainerStatus::NotTarn);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarn
