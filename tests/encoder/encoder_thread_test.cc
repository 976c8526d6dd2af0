// The encoder on several threads: rows of blocks are chosen at once, yet the
// movie must not depend on how many threads there were.
#include <gtest/gtest.h>

#include "encoder/movie_encoder.h"
#include "tests/encoder/decode_helper.h"

namespace tarn::test {
namespace {

// The output does not depend on how many threads choose the rows.
TEST(MovieEncoder, SameBytesForAnyThreadCount) {
  const auto clip = SyntheticClip(200, 120, 6, true, 17);
  std::vector<uint8_t> first;
  for (int threads : {1, 2, 3, 7}) {
    encoder::EncodeOptions o;
    o.alpha = true;
    o.keyInterval = 4;
    o.threads = threads;
    std::vector<uint8_t> movie;
    std::string why;
    ASSERT_TRUE(encoder::EncodeMovieMemory(clip, {}, o, movie, &why)) << why;
    if (first.empty()) first = movie;
    EXPECT_EQ(first, movie) << threads << " threads";
  }
}

}  // namespace
}  // namespace tarn::test
