// A movie file that shrinks on disk while it plays and the reader thread
// fills the read-ahead: decoding stops with the read error, a plain play loop
// ends, the close joins the thread, all within the hostile cases' limits.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/last_error.h"
#include "movie/movie.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

TEST(HostileThreads, FileShrinkingWhileTheReaderThreadRuns) {
  // Records of 20 to 60 KB at 30 frames a second: a read-ahead of about one
  // second (the peak amount) holds a fraction of the movie.
  test::MovieRecipe recipe{.frames = 150, .keyEvery = 5};
  for (uint32_t i = 0; i < recipe.frames; ++i) recipe.videoSizes.push_back(20000 + (i * 7919) % 40000);
  const std::vector<uint8_t> bytes = test::BuildMovie(recipe);
  for (const uint64_t cut : {bytes.size() / 2, bytes.size() / 5, uint64_t(200)}) {
    const std::string path = test::WriteTempFile(bytes, "shrinking.trn");
    test::AllocationMeter meter;
    test::CaseTimer timer;
    uint32_t played = 0;
    {
      test::MoviePtr m(MovieOpen(path.c_str(), 0));
      ASSERT_TRUE(m) << MovieGetError();
      ASSERT_FALSE(m->flags & OPEN_PRELOAD);
      ASSERT_EQ(::truncate(path.c_str(), off_t(cut)), 0);
      // The player's loop: decode, step, until reading fails or the movie wraps.
      for (uint32_t guard = 0; guard < 2 * recipe.frames; ++guard) {
        if (MovieDoFrame(m.get()) != 0) break;
        ++played;
        MovieNextFrame(m.get());
        if (m->currentFrame == 1) break;
      }
      EXPECT_TRUE(m->readFailed) << "cut at " << cut << ", " << played << " frames played";
      EXPECT_LT(played, recipe.frames) << "cut at " << cut;
      EXPECT_EQ(MovieDoFrame(m.get()), 1u);
      EXPECT_EQ(MovieWait(m.get()), 0u);
    }
    std::remove(path.c_str());
    EXPECT_EQ(meter.Live(), 0u);
    EXPECT_LE(meter.Peak(), test::kCaseByteLimit) << "cut at " << cut;
    EXPECT_LE(timer.Seconds(), test::kCaseSecondLimit) << "cut at " << cut;
    test::NoteCaseCost(meter.Peak(), timer.Seconds());
  }
}

}  // namespace
}  // namespace tarn
