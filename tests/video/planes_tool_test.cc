// `tarn planes` end to end: a written movie of mixed frames, dumped by the
// tool, must equal the frames decoded here with alternating buffer sets.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "movie/movie.h"
#include "movie/movie_writer.h"
#include "tests/support/movie_builder.h"
#include "tests/support/video_stream_builder.h"
#include "video/video.h"

namespace tarn {
namespace {

constexpr uint32_t kW = 40, kH = 24, kLw = 40, kLh = 24, kCw = 24, kCh = 16;

std::vector<uint8_t> FrameData(uint32_t seed, bool alpha) {
  const auto luma = test::MixedPlane(kLw, kLh, 48, seed);
  const auto a = test::MixedPlane(kLw, kLh, 48, seed + 100);
  return test::VideoFrameBytes(luma, test::MixedPlane(kCw, kCh, 48, seed + 1), test::MixedPlane(kCw, kCh, 48, seed + 2),
                               true, alpha ? &a : nullptr);
}

// Decodes the frames in order into zeroed planes and returns what the tool
// should write.
std::vector<uint8_t> Expected(const std::vector<std::vector<uint8_t>>& frames, bool alpha) {
  PlaneSet ps{};
  ps.setCount = 2, ps.lumaWidth = kLw, ps.lumaHeight = kLh, ps.chromaWidth = kCw, ps.chromaHeight = kCh;
  std::vector<uint8_t> mem[2][4];
  for (int s = 0; s < 2; ++s) {
    for (uint32_t p = 0; p < 4; ++p) {
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      const uint32_t stride = chroma ? 32 : kLw;
      mem[s][p].assign(size_t(stride) * (chroma ? kCh : kLh), 0);
      ps.planes[s][p] = {1, mem[s][p].data(), stride};
    }
  }
  uint32_t sizes[kVideoBundleCount];
  VideoWorkSizes(48, sizes);
  std::vector<uint8_t> work[kVideoBundleCount];
  VideoWork vw{};
  for (int k = 0; k < kVideoBundleCount; ++k) {
    work[k].assign(sizes[k], 0);
    vw.sizes[k] = sizes[k];
    vw.buffers[k] = work[k].data();
  }
  std::vector<uint8_t> map(3 * 2), out;
  for (const auto& f : frames) {
    const VideoFrameResult r = VideoDecodeFrame(&ps, f.data(), f.data() + f.size(), alpha ? HDR_ALPHA : 0,
                                                alpha ? OPEN_ALPHA : 0, map.data(), 3, vw);
    EXPECT_FALSE(r.corrupt);
    const PlaneEntry* set = ps.planes[ps.current];
    auto append = [&](uint32_t p, uint32_t w, uint32_t h) {
      for (uint32_t y = 0; y < h; ++y) out.insert(out.end(), set[p].data + y * set[p].stride, set[p].data + y * set[p].stride + w);
    };
    append(PLANE_LUMA, kLw, kLh);
    append(PLANE_CHROMA1, kCw, kCh);
    append(PLANE_CHROMA2, kCw, kCh);
    if (alpha) append(PLANE_ALPHA, kLw, kLh);
  }
  return out;
}

std::string WriteMovie(const std::vector<std::vector<uint8_t>>& frames, uint32_t headerFlags, const std::string& name) {
  MovieWriterInfo info;
  info.width = kW, info.height = kH, info.headerFlags = headerFlags;
  MovieWriter w(info);
  for (size_t i = 0; i < frames.size(); ++i) w.AddFrame(i == 0, {}, frames[i]);
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(w.Finish(bytes));
  return test::WriteTempFile(bytes, name);
}

int RunTool(const std::string& args) {
  const char* tool = std::getenv("TARN_TOOL");
  const int status = std::system((std::string("\"") + tool + "\" planes " + args).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TEST(PlanesTool, DumpsWhatTheDecoderProduces) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL is not set";
  for (bool alpha : {false, true}) {
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t i = 0; i < 3; ++i) frames.push_back(FrameData(10 * i + 1, alpha));
    const std::string movie = WriteMovie(frames, alpha ? HDR_ALPHA : 0, alpha ? "planes_a.trn" : "planes.trn");
    const std::string out = movie + ".planes";
    ASSERT_EQ(RunTool(movie + " " + out + (alpha ? " --alpha" : "") + " --strict"), 0);
    EXPECT_EQ(ReadFile(out), Expected(frames, alpha)) << "alpha " << alpha;
    const std::string dir = movie + ".png";
    ASSERT_EQ(std::system(("mkdir -p \"" + dir + "\"").c_str()), 0);
    ASSERT_EQ(RunTool(movie + " --png " + dir + (alpha ? " --alpha" : "")), 0);
    for (uint32_t f = 1; f <= 3; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%05u_", f);
      const auto png = ReadFile(dir + name + "y.png");
      ASSERT_GT(png.size(), 8u);
      EXPECT_EQ(png[1], 'P');
      EXPECT_EQ(ReadFile(dir + name + "a.png").empty(), !alpha);
    }
    std::system(("rm -rf \"" + dir + "\"").c_str());
    std::remove(out.c_str());
    std::remove(movie.c_str());
  }
}

TEST(PlanesTool, StrictReportsCorruptFrames) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL is not set";
  std::vector<std::vector<uint8_t>> frames{FrameData(1, false), FrameData(2, false)};
  frames[1].resize(frames[1].size() / 2);  // the decoder runs out of bits
  const std::string movie = WriteMovie(frames, 0, "planes_bad.trn");
  const std::string out = movie + ".planes";
  EXPECT_EQ(RunTool(movie + " " + out), 0);
  EXPECT_EQ(ReadFile(out).size(), 2u * (kLw * kLh + 2 * kCw * kCh));
  EXPECT_EQ(RunTool(movie + " " + out + " --strict"), 2);
  EXPECT_EQ(RunTool(movie + ".missing " + out), 1);
  std::remove(out.c_str());
  std::remove(movie.c_str());
}

}  // namespace
}  // namespace tarn
