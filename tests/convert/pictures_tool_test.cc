// `tarn pictures` end to end: the buffer geometry of each format, display
// options leaving their lines 0, PNG output and argument errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert/copy.h"
#include "movie/movie.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

int Tool(const std::string& args) {
  const char* tool = std::getenv("TARN_TOOL");
  if (!tool) return -1;
  const std::string cmd = std::string(tool) + " " + args + " 2>/dev/null";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

TEST(PicturesTool, FrameBuffersAppendedPerFormat) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL not set";
  const std::string movie = test::WriteTempFile(test::BuildMovie({.frames = 3, .width = 21, .height = 10}),
                                                "pictures.trn");
  const std::string out = movie + ".raw";
  struct Case {
    uint32_t format, display;
    size_t frameBytes;
  };
  const Case cases[] = {
      {COPY_FORMAT_32_XRGB, 0, 21 * 10 * 4},
      {COPY_FORMAT_24_RGB, 0, 21 * 10 * 3},
      {COPY_FORMAT_16_565, 4, 42 * 20 * 2},
      {COPY_FORMAT_YV12, 0, 22 * 10 + 2 * 11 * 5},  // pitch rounded up to 2
      {COPY_FORMAT_YV12, 3, 42 * 10 + 2 * 21 * 5},
      {COPY_FORMAT_32_XBGR, 2, 21 * 20 * 4},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Tool("pictures " + movie + " " + out + " --format " + std::to_string(c.format) +
                   " --display " + std::to_string(c.display)),
              0)
        << c.format;
    const std::vector<uint8_t> bytes = ReadAll(out);
    ASSERT_EQ(bytes.size(), 3 * c.frameBytes) << "format " << c.format << " display " << c.display;
    if (c.display == DISPLAY_HEIGHT_INTERLACED) {  // odd lines are never written
      for (size_t line = 1; line < 20; line += 2)
        for (size_t b = 0; b < 21 * 4; ++b) ASSERT_EQ(bytes[line * 21 * 4 + b], 0) << line;
    }
  }
  std::remove(out.c_str());
  std::remove(movie.c_str());
}

TEST(PicturesTool, PngAndErrors) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL not set";
  const std::string movie = test::WriteTempFile(test::BuildMovie({.frames = 2, .width = 16, .height = 8}),
                                                "pictures_png.trn");
  const std::string dir = movie + ".d";
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  EXPECT_EQ(Tool("pictures " + movie + " unused --png " + dir), 0);
  for (const char* name : {"/frame00001.png", "/frame00002.png"}) {
    const std::vector<uint8_t> png = ReadAll(dir + name);
    ASSERT_GT(png.size(), 8u) << name;
    EXPECT_EQ(png[1], 'P');
    EXPECT_EQ(png[2], 'N');
  }
  EXPECT_NE(Tool("pictures " + movie + " " + dir + "/x.raw"), 0);                  // no format
  EXPECT_NE(Tool("pictures " + movie + " " + dir + "/x.raw --format 16"), 0);      // no such format
  EXPECT_NE(Tool("pictures /nonexistent.trn " + dir + "/x.raw --format 3"), 0);    // no movie
  EXPECT_NE(Tool("pictures " + movie + " " + dir + "/x.raw --format 3 --frobnicate"), 0);
  EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
  std::remove(movie.c_str());
}

}  // namespace
}  // namespace tarn

namespace tarn {
namespace {

// --start and --frames: every range of `tarn pictures` and `tarn planes` is
// byte for byte the same frames of a full dump, reached by a jump from the
// nearest key frame; a count past the end stops there.
TEST(FrameRangeTools, RangesEqualTheSameFramesOfAFullDump) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL not set";
  const std::string base = test::WriteTempFile({}, "range");
  ASSERT_EQ(Tool("synth video " + base + ".y4m --size 48x32 --frames 24"), 0);
  ASSERT_EQ(Tool("encode -o " + base + ".trn " + base + ".y4m --keyint 5 --quiet"), 0);
  const std::string movie = base + ".trn";
  const struct {
    const char* command;
    size_t frameBytes;
  } tools[] = {{"pictures --format 3", 48 * 32 * 4}, {"planes", 48 * 32 + 2 * 24 * 16}};
  for (const auto& t : tools) {
    SCOPED_TRACE(t.command);
    const std::string cmd = std::string(t.command) + " " + movie + " " + base + ".out";
    ASSERT_EQ(Tool(cmd), 0);
    const std::vector<uint8_t> full = ReadAll(base + ".out");
    ASSERT_EQ(full.size(), 24 * t.frameBytes);
    const struct {
      const char* args;
      size_t first, count;
    } ranges[] = {{"--frames 5", 1, 5}, {"--start 9 --frames 6", 9, 6}, {"--start 20", 20, 5}, {"--start 23 --frames 9", 23, 2}};
    for (const auto& r : ranges) {
      ASSERT_EQ(Tool(cmd + " " + r.args), 0) << r.args;
      const std::vector<uint8_t> part = ReadAll(base + ".out");
      const auto from = full.begin() + long((r.first - 1) * t.frameBytes);
      EXPECT_TRUE(part.size() == r.count * t.frameBytes && std::equal(part.begin(), part.end(), from)) << r.args;
    }
    for (const char* bad : {"--start 0", "--start 25", "--frames 0", "--start x", "--frames"}) {
      EXPECT_EQ(Tool(cmd + " " + bad), 1) << bad;
    }
  }
}

}  // namespace
}  // namespace tarn
