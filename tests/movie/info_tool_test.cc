// `tarn info` and `tarn write-sample` as a user runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/little_endian.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

struct ToolRun {
  int status;
  std::string out;  // standard output and error together
};

ToolRun Tool(const std::string& args) {
  const char* tool = std::getenv("TARN_TOOL");
  if (!tool) return {-1, "TARN_TOOL is not set"};
  const std::string cmd = std::string("'") + tool + "' " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return {-1, "popen failed"};
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, out};
}

TEST(InfoTool, DescribesSampleAndMoviesInsideFiles) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL is not set";
  const std::string sample = test::WriteTempFile({}, "sample.trn");
  ToolRun w = Tool("write-sample '" + sample + "'");
  ASSERT_EQ(w.status, 0) << w.out;
  ToolRun text = Tool("info '" + sample + "'");
  ASSERT_EQ(text.status, 0) << text.out;
  EXPECT_NE(text.out.find("frames:            30"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("id 0, 44100 Hz, 16-bit, stereo, dct"), std::string::npos) << text.out;

  auto movie = test::BuildMovie({.frames = 4, .tracks = 2, .headerFlags = 0x20020000, .trackIds = {7, 8}});
  std::vector<uint8_t> carrier(333 + movie.size(), 0xAA);
  std::copy(movie.begin(), movie.end(), carrier.begin() + 333);
  const std::string inside = test::WriteTempFile(carrier, "inside.bin");
  ToolRun json = Tool("info '" + inside + "|333' --json");
  ASSERT_EQ(json.status, 0) << json.out;
  for (const char* want : {"\"frames\": 4", "\"key_frames\": 4", "\"all_key_frames\": true", "\"id\": 8",
                           "\"flag_names\": \"grayscale height-interlaced\"", "\"offset\": 333"}) {
    EXPECT_NE(json.out.find(want), std::string::npos) << want << "\n" << json.out;
  }
  std::remove(sample.c_str());
  std::remove(inside.c_str());
}

TEST(InfoTool, CheckReportsTheFrameOfAReadError) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL is not set";
  auto b = test::BuildMovie({.frames = 3, .videoSizes = {16, 200, 16}});
  StoreLe32(&b[12], 16);  // largest frame: frame 2 does not fit
  std::vector<uint8_t> carrier(10 + b.size(), 0);
  std::copy(b.begin(), b.end(), carrier.begin() + 10);
  const std::string path = test::WriteTempFile(carrier, "check.bin");
  ToolRun r = Tool("info '" + path + "|10' --check");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("checked frames:    1,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("read error at frame 2"), std::string::npos) << r.out;
  std::remove(path.c_str());
}

TEST(InfoTool, ErrorsPrintTheLibraryTextAndExit1) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL is not set";
  auto zero = test::BuildMovie({.frames = 1});
  StoreLe32(&zero[8], 0);
  const std::string zeroPath = test::WriteTempFile(zero, "zero.trn");
  const std::string junk = test::WriteTempFile(std::vector<uint8_t>(100, 'x'), "junk.trn");
  struct Case {
    std::string args, text;
  } cases[] = {
      {"info /nonexistent/movie.trn", "Error opening file."},
      {"info '" + junk + "'", "Not a Tarn file."},
      {"info '" + zeroPath + "'", "The file doesn't contain any compressed frames yet."},
      {"info '" + zeroPath + "|x'", "bad offset"},
      {"info", "usage"},
  };
  for (const Case& k : cases) {
    ToolRun r = Tool(k.args);
    EXPECT_EQ(r.status, 1) << k.args;
    EXPECT_NE(r.out.find(k.text), std::string::npos) << k.args << ": " << r.out;
  }
  std::remove(zeroPath.c_str());
  std::remove(junk.c_str());
}

}  // namespace
}  // namespace tarn
