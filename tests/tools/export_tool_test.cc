// `tarn export` end to end: export, encode what it wrote, export again, and
// the picture size, rate, frame count and sound survive with the quality of
// encoding the original; standard output, alpha and PNG pictures; errors.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "encoder/movie_encoder.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

int Tool(const std::string& args) {
  const std::string cmd = std::string(std::getenv("TARN_TOOL")) + " " + args + " 2>/dev/null";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// A YUV4MPEG2 stream: its header line and its frames' bytes.
struct Y4m {
  std::string header;
  std::vector<std::vector<uint8_t>> frames;
};
Y4m ReadY4m(const std::string& path, size_t frameBytes) {
  const std::vector<uint8_t> b = ReadAll(path);
  Y4m y;
  size_t pos = 0;
  while (pos < b.size() && b[pos] != '\n') y.header.push_back(char(b[pos++]));
  ++pos;
  while (pos + 6 + frameBytes <= b.size() && std::string(b.begin() + ptrdiff_t(pos), b.begin() + ptrdiff_t(pos) + 6) == "FRAME\n") {
    y.frames.emplace_back(b.begin() + ptrdiff_t(pos) + 6, b.begin() + ptrdiff_t(pos + 6 + frameBytes));
    pos += 6 + frameBytes;
  }
  EXPECT_EQ(pos, b.size()) << path << " has bytes after its last whole frame";
  return y;
}

double Psnr(const Y4m& a, const Y4m& b, size_t from = 0) {
  double err = 0;
  size_t n = 0;
  for (size_t f = 0; f < a.frames.size() && f < b.frames.size(); ++f) {
    for (size_t i = from; i < a.frames[f].size(); ++i, ++n) {
      const double d = double(a.frames[f][i]) - b.frames[f][i];
      err += d * d;
    }
  }
  return err == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(n) / err);
}

struct Wav {
  int rate = 0, channels = 0;
  std::vector<short> samples;
};
Wav ReadWav(const std::string& path) {
  SF_INFO info{};
  Wav w;
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return w;
  w.rate = info.samplerate;
  w.channels = info.channels;
  w.samples.resize(size_t(info.frames) * info.channels);
  sf_read_short(f, w.samples.data(), sf_count_t(w.samples.size()));
  sf_close(f);
  return w;
}

TEST(ExportTool, EncodeReadsWhatExportWrites) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL not set";
  const std::string dir = test::WriteTempFile({}, "export_dir");
  std::remove(dir.c_str());
  const std::string d = dir + "_";
  ASSERT_EQ(Tool("synth video " + d + "src.y4m --size 41x30 --frames 12 --rate 15/1"), 0);
  ASSERT_EQ(Tool("synth audio " + d + "src.wav --seconds 0.8 --channels 2"), 0);
  ASSERT_EQ(Tool("encode -q -o " + d + "a.trn " + d + "src.y4m --audio " + d + "src.wav:3"), 0);
  ASSERT_EQ(Tool("export " + d + "a.trn -o " + d + "e1.y4m --audio " + d + "e1.wav"), 0);
  ASSERT_EQ(Tool("encode -q -o " + d + "b.trn " + d + "e1.y4m --audio " + d + "e1.wav"), 0);
  ASSERT_EQ(Tool("export " + d + "b.trn -o - --audio " + d + "e2.wav > " + d + "e2.y4m"), 0);
  const size_t frameBytes = 41 * 30 + 2 * 21 * 15;
  const Y4m src = ReadY4m(d + "src.y4m", frameBytes), e1 = ReadY4m(d + "e1.y4m", frameBytes),
            e2 = ReadY4m(d + "e2.y4m", frameBytes);
  EXPECT_EQ(e1.header, "YUV4MPEG2 W41 H30 F15:1 Ip A1:1 C420jpeg");
  EXPECT_EQ(e2.header, e1.header);
  EXPECT_EQ(e1.frames.size(), 12u);
  EXPECT_EQ(e2.frames.size(), 12u);
  // Encoding the export loses no more than encoding the original did.
  const double first = Psnr(src, e1), second = Psnr(e1, e2);
  EXPECT_GT(first, 30.0);
  EXPECT_GT(second, first - 3.0) << "first encode " << first << " dB, second " << second << " dB";
  const Wav w1 = ReadWav(d + "e1.wav"), w2 = ReadWav(d + "e2.wav");
  EXPECT_EQ(w1.rate, 44100);
  EXPECT_EQ(w1.channels, 2);
  EXPECT_EQ(w2.rate, w1.rate);
  EXPECT_EQ(w2.channels, w1.channels);
  EXPECT_EQ(w2.samples.size(), w1.samples.size());
  double signal = 0, noise = 0;
  for (size_t i = 0; i < w1.samples.size() && i < w2.samples.size(); ++i) {
    signal += double(w1.samples[i]) * w1.samples[i];
    noise += (double(w1.samples[i]) - w2.samples[i]) * (double(w1.samples[i]) - w2.samples[i]);
  }
  EXPECT_GT(10 * std::log10(signal / (noise + 1)), 10.0);
  // The export's sound is the track `tarn audio` decodes; standard output
  // carries the same stream as a file.
  ASSERT_EQ(Tool("audio " + d + "a.trn " + d + "t.wav --track 3"), 0);
  EXPECT_EQ(ReadWav(d + "t.wav").samples, w1.samples);
  ASSERT_EQ(Tool("export " + d + "a.trn -o - -q > " + d + "out.y4m"), 0);
  EXPECT_EQ(ReadAll(d + "out.y4m"), ReadAll(d + "e1.y4m"));
  // A range is the same frames as in the whole export; PNG pictures are
  // numbered by frame.
  ASSERT_EQ(Tool("export " + d + "a.trn --start 3 --frames 4 -o " + d + "four.y4m --png " + d + "png"), 0);
  const Y4m four = ReadY4m(d + "four.y4m", frameBytes);
  ASSERT_EQ(four.frames.size(), 4u);
  for (size_t f = 0; f < 4; ++f) EXPECT_EQ(four.frames[f], e1.frames[f + 2]) << "frame " << f + 3;
  EXPECT_FALSE(ReadAll(d + "png/frame00006.png").empty());
  EXPECT_TRUE(ReadAll(d + "png/frame00007.png").empty());
  EXPECT_TRUE(ReadAll(d + "png/frame00002.png").empty());
  std::system(("rm -rf " + d + "*").c_str());
}

TEST(ExportTool, AlphaSurvivesTheRoundTrip) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL not set";
  const uint32_t w = 24, h = 17, frames = 4;
  std::vector<encoder::Picture> pictures(frames);
  for (uint32_t f = 0; f < frames; ++f) {
    pictures[f].Resize(w, h, true);
    for (size_t i = 0; i < pictures[f].y.size(); ++i) {
      pictures[f].y[i] = uint8_t(40 + (i * 3 + f * 7) % 160);
      pictures[f].a[i] = uint8_t(i % w < 12 ? 255 : (i * 5) % 256);
    }
    std::fill(pictures[f].cb.begin(), pictures[f].cb.end(), uint8_t(100 + f));
    std::fill(pictures[f].cr.begin(), pictures[f].cr.end(), uint8_t(150));
  }
  encoder::EncodeOptions o;
  o.alpha = true;
  o.rateNumerator = 12;
  std::vector<uint8_t> movie;
  std::string why;
  ASSERT_TRUE(encoder::EncodeMovieMemory(pictures, {}, o, movie, &why)) << why;
  const std::string a = test::WriteTempFile(movie, "export_alpha.trn");
  ASSERT_EQ(Tool("export " + a + " --alpha -o " + a + ".1.y4m --png " + a + ".png"), 0);
  ASSERT_EQ(Tool("encode -q --alpha -o " + a + ".b.trn " + a + ".1.y4m"), 0);
  ASSERT_EQ(Tool("export " + a + ".b.trn --alpha -o " + a + ".2.y4m"), 0);
  const Y4m e1 = ReadY4m(a + ".1.y4m", 4 * w * h), e2 = ReadY4m(a + ".2.y4m", 4 * w * h);
  EXPECT_EQ(e1.header, "YUV4MPEG2 W24 H17 F12:1 Ip A1:1 C444alpha");
  ASSERT_EQ(e2.frames.size(), frames);
  EXPECT_GT(Psnr(e1, e2, 3 * w * h), 30.0) << "the alpha plane";
  // PNG pictures carry the alpha channel: colour type 6 in the header.
  const std::vector<uint8_t> png = ReadAll(a + ".png/frame00001.png");
  ASSERT_GT(png.size(), 26u);
  EXPECT_EQ(png[25], 6);
  std::system(("rm -rf " + a + "*").c_str());
}

TEST(ExportTool, BadRequestsFailWithAMessage) {
  if (!std::getenv("TARN_TOOL")) GTEST_SKIP() << "TARN_TOOL not set";
  const std::string m = test::WriteTempFile(test::BuildMovie({.frames = 2}), "export_bad.trn");
  const std::vector<std::string> cases = {"", "-o x.y4m", m, m + " -o", m + " --bogus -o x.y4m", "/nonexistent.trn -o x.y4m",
                                 m + " --alpha -o " + m + ".y4m", m + " --audio " + m + ".wav --track 9",
                                 m + " -o /nonexistent/dir/x.y4m", m + " --frames many -o x.y4m",
                                           m + " --start 3 -o x.y4m", m + " --start 0 -o x.y4m"};
  // A picture of no width (a hostile header) has nothing to write.
  const std::string empty = test::WriteTempFile(test::BuildMovie({.frames = 2, .width = 0}), "export_empty.trn");
  for (const std::string& args : cases) {
    EXPECT_EQ(Tool("export " + args), 1) << args;
  }
  EXPECT_EQ(Tool("export " + empty + " -o " + empty + ".y4m"), 1);
  EXPECT_EQ(Tool("export " + empty + " --png " + empty + ".png"), 1);
  std::remove(m.c_str());
  std::remove(empty.c_str());
  std::remove((empty + ".y4m").c_str());
}

}  // namespace
}  // namespace tarn
