// MovieCopyToBuffer on opened movies: display rectangles to plane pixels, the
// movie flags it carries in, the skip rule, and the changed-block choice.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "convert/convert_internal.h"
#include "convert/copy.h"
#include "movie/movie.h"
#include "movie/movie_testing.h"
#include "platform/fake/fake_clock.h"
#include "movie/track_service.h"
#include "tests/support/convert_test_planes.h"
#include "tests/support/movie_builder.h"
#include "tests/support/movie_fake_sound.h"

namespace tarn {
namespace {

struct MovieCloser {
  void operator()(Movie* m) const { MovieClose(m); }
};
using MoviePtr = std::unique_ptr<Movie, MovieCloser>;

// Fills the current plane set with seeded samples and returns a copy of it as
// test planes (same strides), for reference copies.
test::TestPlanes RandomisePlanes(Movie* movie, uint32_t seed) {
  auto m = [&] { return MovieInternalsForTesting(movie); };
  PlaneSet& ps = *m().planes;
  std::mt19937 rng(seed);
  test::TestPlanes t(m().pictureWidth, m().pictureHeight, ps.alphaPresent);
  for (int p = 0; p < 4; ++p) {
    PlaneEntry& e = ps.planes[ps.current][p];
    if (!e.data) continue;
    const uint32_t rows = (p == PLANE_CHROMA1 || p == PLANE_CHROMA2) ? ps.chromaHeight : ps.lumaHeight;
    for (size_t i = 0; i < size_t(e.stride) * rows; ++i) e.data[i] = uint8_t(rng());
  }
  t.lumaStride = ps.planes[ps.current][PLANE_LUMA].stride;
  t.chromaStride = ps.planes[ps.current][PLANE_CHROMA1].stride;
  auto grab = [&](int p, std::vector<uint8_t>& v, uint32_t rows) {
    const PlaneEntry& e = ps.planes[ps.current][p];
    v.assign(e.data, e.data + size_t(e.stride) * rows);
  };
  grab(PLANE_LUMA, t.y, ps.lumaHeight);
  grab(PLANE_CHROMA1, t.cr, ps.chromaHeight);
  grab(PLANE_CHROMA2, t.cb, ps.chromaHeight);
  if (ps.alphaPresent) grab(PLANE_ALPHA, t.a, ps.lumaHeight);
  return t;
}

// What CopyPlanes writes for the whole picture with these flags.
std::vector<uint8_t> Expected(const test::TestPlanes& t, uint32_t flags, int32_t pitch, uint32_t lines) {
  std::vector<uint8_t> out(size_t(pitch) * lines, 0);
  EXPECT_TRUE(CopyPlanes(t.Source(), {out.data(), pitch, lines, 0, 0}, {0, 0, t.width, t.height}, flags,
                         false, CpuFeatures()));
  return out;
}

TEST(MovieCopyToBuffer, DisplayRectangleAndMovieFlags) {
  ScopedFakeClock clock;
  struct Case {
    const char* what;
    char revision;
    uint32_t openFlags;
    uint32_t copyFlags;
    uint32_t expectFlags;  // what the copy must behave as
  };
  const Case cases[] = {
      {"plain", 'i', 0, COPY_FORMAT_32_XRGB, COPY_FORMAT_32_XRGB},
      {"height doubled: 2x the lines", 'i', DISPLAY_HEIGHT_DOUBLED << OPEN_DISPLAY_SHIFT, COPY_FORMAT_16_565,
       COPY_FORMAT_16_565 | DISPLAY_HEIGHT_DOUBLED << COPY_DISPLAY_SHIFT},
      {"both doubled", 'i', DISPLAY_BOTH_DOUBLED << OPEN_DISPLAY_SHIFT, COPY_FORMAT_YUY2,
       COPY_FORMAT_YUY2 | DISPLAY_BOTH_DOUBLED << COPY_DISPLAY_SHIFT},
      {"old revision swaps chroma", 'g', 0, COPY_FORMAT_32_XBGR, COPY_FORMAT_32_XBGR | COPY_SWAP_CHROMA},
      {"grey movie", 'i', OPEN_GREY, COPY_FORMAT_32_XRGB, COPY_FORMAT_32_XRGB | COPY_GREY},
      {"show alpha without alpha is ignored", 'i', 0, COPY_FORMAT_32_ARGB | COPY_SHOW_ALPHA, COPY_FORMAT_32_ARGB},
  };
  for (const Case& c : cases) {
    const auto bytes = test::BuildMovie({.frames = 2, .width = 40, .height = 24, .revision = c.revision});
    MoviePtr movie(MovieOpenMemory(bytes.data(), bytes.size(), OPEN_NO_THREAD | c.openFlags));
    ASSERT_TRUE(movie) << c.what;
    const test::TestPlanes t = RandomisePlanes(movie.get(), 7);
    const uint32_t bpp = CopyFormatBytesPerPixel(c.copyFlags & COPY_FORMAT_MASK) *
                         (movie->width / 40);
    const int32_t pitch = int32_t(40 * bpp);
    std::vector<uint8_t> got(size_t(pitch) * movie->height, 0);
    EXPECT_EQ(MovieCopyToBuffer(movie.get(), got.data(), pitch, movie->height, 0, 0, 0, 0, movie->width,
                                movie->height, c.copyFlags | COPY_FULL),
              0)
        << c.what;
    EXPECT_EQ(got, Expected(t, c.expectFlags, pitch, movie->height)) << c.what;
    EXPECT_EQ((*MovieInternalsForTesting(movie.get()).inUse), 0u);
  }
}

TEST(MovieCopyToBuffer, NothingToDo) {
  ScopedFakeClock clock;
  const auto bytes = test::BuildMovie({.frames = 1, .width = 32, .height = 16});
  MoviePtr movie(MovieOpenMemory(bytes.data(), bytes.size(), OPEN_NO_THREAD));
  ASSERT_TRUE(movie);
  std::vector<uint8_t> out(32 * 16 * 4, 0x5A);
  const std::vector<uint8_t> before = out;
  EXPECT_EQ(MovieCopyToBuffer(nullptr, out.data(), 128, 16, 0, 0, 0, 0, 32, 16, 3), 0);
  EXPECT_EQ(MovieCopyToBuffer(movie.get(), nullptr, 128, 16, 0, 0, 0, 0, 32, 16, 3), 0);
  EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 128, 16, 0, 0, 40, 0, 8, 16, 3), 0);  // right of it
  EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 128, 16, 0, 0, 0, 0, 32, 0, 3), 0);
  EXPECT_EQ(out, before);
  MoviePtr noVideo(MovieOpenMemory(bytes.data(), bytes.size(), OPEN_NO_THREAD | OPEN_NO_VIDEO_BUFFERS));
  ASSERT_TRUE(noVideo);
  EXPECT_EQ(MovieCopyToBuffer(noVideo.get(), out.data(), 128, 16, 0, 0, 0, 0, 32, 16, 3), 0);
  EXPECT_EQ(out, before);
}

// After one full copy the next copy converts only changed blocks; COPY_FULL
// converts everything even when nothing changed.
TEST(MovieCopyToBuffer, ChangedBlocksOnlyWhenDestinationIsCurrent) {
  ScopedFakeClock clock;
  const auto bytes = test::BuildMovie({.frames = 3, .width = 48, .height = 32});
  MoviePtr movie(MovieOpenMemory(bytes.data(), bytes.size(), OPEN_NO_THREAD));
  ASSERT_TRUE(movie);
  auto m = [&] { return MovieInternalsForTesting(movie.get()); };
  ASSERT_EQ(MovieDoFrame(movie.get()), 0u);
  RandomisePlanes(movie.get(), 3);
  std::vector<uint8_t> out(48 * 32 * 4, 0);
  EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 192, 32, 0, 0, 0, 0, 48, 32, COPY_FORMAT_32_XRGB), 0);
  MovieNextFrame(movie.get());
  ASSERT_EQ(MovieDoFrame(movie.get()), 0u);
  // The decode marked nothing; new samples in the planes stay unconverted.
  std::fill_n(m().changeMap, m().blockCount, uint8_t(0));
  RandomisePlanes(movie.get(), 4);
  const std::vector<uint8_t> first = out;
  EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 192, 32, 0, 0, 0, 0, 48, 32, COPY_FORMAT_32_XRGB), 0);
  EXPECT_EQ(out, first);
  EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 192, 32, 0, 0, 0, 0, 48, 32,
                              COPY_FORMAT_32_XRGB | COPY_FULL),
            0);
  EXPECT_NE(out, first);
}

class CopyWhenLate : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetFakeSound();
    SoundResetSystemForTesting();
    ASSERT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1);
  }
  void TearDown() override { SoundResetSystemForTesting(); }
  ScopedFakeClock clock;
};

TEST_F(CopyWhenLate, SkipsUnlessNeverSkip) {
  const auto bytes = test::BuildMovie({.frames = 4, .tracks = 1, .width = 32, .height = 16});
  for (bool neverSkip : {false, true}) {
    MoviePtr movie(MovieOpenMemory(bytes.data(), bytes.size(), OPEN_NO_THREAD));
    ASSERT_TRUE(movie);
    const uint32_t flags = COPY_FORMAT_32_XRGB | COPY_FULL | (neverSkip ? COPY_NEVER_SKIP : 0);
    std::vector<uint8_t> out(32 * 16 * 4, 0x5A);
    ASSERT_EQ(MovieDoFrame(movie.get()), 0u);
    EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 128, 16, 0, 0, 0, 0, 32, 16, flags), 0);
    MovieNextFrame(movie.get());
    ASSERT_EQ(MovieDoFrame(movie.get()), 0u);
    clock.clock.Advance(2000);  // far behind a 30 fps schedule
    // The rule applies to movies playing sound; count the track as selected
    // even where no audio decoder could be opened for it.
    auto m = [&] { return MovieInternalsForTesting(movie.get()); };
    const uint32_t selected = (*m().selectedCount);
    (*m().selectedCount) = selected ? selected : 1;
    std::fill(out.begin(), out.end(), 0x5A);
    const std::vector<uint8_t> before = out;
    EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 128, 16, 0, 0, 0, 0, 32, 16, flags), 1);
    EXPECT_EQ(out != before, neverSkip) << "never skip " << neverSkip;
    if (!neverSkip) {  // the frame stays skipped for further copies
      EXPECT_EQ(MovieCopyToBuffer(movie.get(), out.data(), 128, 16, 0, 0, 0, 0, 32, 16, flags), 1);
      EXPECT_EQ(out, before);
    }
    (*m().selectedCount) = selected;
  }
}

}  // namespace
}  // namespace tarn
