// `tarn encode` end to end: inputs on disk, the tool's exit codes and its
// messages, and PNG colour and alpha through the player's matrix.
#include <gtest/gtest.h>
#include <png.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "common/little_endian.h"
#include "encoder/inputs.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "tests/encoder/decode_helper.h"

namespace tarn::test {
namespace {

std::string TempDir() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = std::string(t ? t : "/tmp") + "/tarn_encode_test_" + std::to_string(::getpid());
  std::system(("mkdir -p '" + dir + "'").c_str());
  return dir;
}

struct ToolRun {
  int code;
  std::string err;
};

ToolRun Tarn(const std::string& args) {
  const char* tool = std::getenv("TARN_TOOL");
  if (!tool) tool = TARN_TOOL_PATH;
  const std::string errFile = TempDir() + "/stderr.txt";
  const int status = std::system((std::string(tool) + " " + args + " 2>'" + errFile + "'").c_str());
  std::ifstream in(errFile);
  std::string err((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteY4m(const std::string& path, uint32_t w, uint32_t h, int frames, const char* colour) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fprintf(f, "YUV4MPEG2 W%u H%u F12:1 Ip A1:1 C%s\n", w, h, colour);
  const size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  for (int t = 0; t < frames; ++t) {
    std::fprintf(f, "FRAME\n");
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) std::fputc(int((x * 3 + y + 5 * t) & 255), f);
    if (std::string(colour) != "mono")
      for (size_t i = 0; i < 2 * cw * ch; ++i) std::fputc(int(100 + i % 50), f);
  }
  std::fclose(f);
}

void WriteWav(const std::string& path, int rate, int channels, double seconds) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(nullptr, f);
  std::vector<short> s;
  for (int i = 0; i < int(rate * seconds); ++i)
    for (int c = 0; c < channels; ++c) s.push_back(short(8000 * std::sin(i * 0.05 * (c + 1))));
  sf_writef_short(f, s.data(), sf_count_t(s.size() / channels));
  sf_close(f);
}

void WritePng(const std::string& path, uint32_t w, uint32_t h, const std::vector<uint8_t>& rgba) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = w;
  img.height = h;
  img.format = PNG_FORMAT_RGBA;
  ASSERT_TRUE(png_image_write_to_file(&img, path.c_str(), 0, rgba.data(), 0, nullptr));
}

TEST(EncodeCommand, Y4mWithTwoSoundTracks) {
  const std::string dir = TempDir();
  WriteY4m(dir + "/clip.y4m", 50, 30, 6, "420jpeg");
  WriteWav(dir + "/a.wav", 22050, 1, 0.5);
  WriteWav(dir + "/b.wav", 44100, 2, 0.5);
  const ToolRun r = Tarn("encode -o '" + dir + "/out.trn' --quiet --audio-codec rdft --audio-lead 200 '" + dir +
                     "/clip.y4m' --audio '" + dir + "/a.wav:42' --audio '" + dir + "/b.wav'");
  ASSERT_EQ(0, r.code) << r.err;
  DecodedMovie d;
  std::string why;
  ASSERT_TRUE(DecodeMovieImage(ReadFile(dir + "/out.trn"), d, &why)) << why;
  EXPECT_EQ(6u, d.frames);
  EXPECT_EQ(0u, d.corruptFrames);
  ASSERT_EQ(2u, d.tracks.size());
  EXPECT_EQ(42u, d.tracks[0].id);
  EXPECT_EQ(1u, d.tracks[1].id);
  EXPECT_TRUE(d.tracks[0].rateWord & TRACK_CODEC_A);
  EXPECT_EQ(11025u, d.tracks[0].samples.size());
  EXPECT_EQ(44100u, d.tracks[1].samples.size());
  const ToolRun census = Tarn("blocks '" + dir + "/out.trn'");
  EXPECT_EQ(0, census.code) << census.err;
  // Frame 1 leads each track by the 200 ms asked, rounded up to whole blocks
  // (43.5 ms at 22050 Hz mono and 44100 Hz stereo).
  ASSERT_EQ(0, Tarn("info '" + dir + "/out.trn' > '" + dir + "/info.txt'").code);
  const std::vector<uint8_t> text = ReadFile(dir + "/info.txt");
  const std::string info(text.begin(), text.end());
  int leads = 0;
  for (size_t at = info.find(", lead "); at != std::string::npos; at = info.find(", lead ", at + 1), ++leads) {
    const int ms = std::atoi(info.c_str() + at + 7);
    EXPECT_GE(ms, 200) << info;
    EXPECT_LT(ms, 244) << info;
  }
  EXPECT_EQ(leads, 2) << info;
  EXPECT_EQ(1, Tarn("encode -o '" + dir + "/x.trn' --audio-lead 10001 '" + dir + "/clip.y4m'").code);
}

// A mono source becomes a grey movie, and the PSNR the tool reports is the
// one of what the movie decodes to.
TEST(EncodeCommand, MonoY4mBecomesGreyAndReportsItsPsnr) {
  const std::string dir = TempDir();
  const uint32_t w = 33, h = 17;
  WriteY4m(dir + "/mono.y4m", w, h, 3, "mono");
  const ToolRun r = Tarn("encode --quality 60 -o '" + dir + "/g.trn' '" + dir + "/mono.y4m'");
  ASSERT_EQ(0, r.code) << r.err;
  DecodedMovie d;
  std::string why;
  ASSERT_TRUE(DecodeMovieImage(ReadFile(dir + "/g.trn"), d, &why)) << why;
  EXPECT_TRUE(d.headerFlags & HDR_GRAYSCALE);
  EXPECT_EQ(0u, d.corruptFrames);
  double sse = 0;
  for (int t = 0; t < 3; ++t)
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        const double e = double(d.y[size_t(t)][y * w + x]) - ((x * 3 + y + 5 * t) & 255);
        sse += e * e;
      }
  const size_t at = r.err.find("PSNR Y ");
  ASSERT_NE(std::string::npos, at) << r.err;
  EXPECT_NEAR(10 * std::log10(255.0 * 255.0 * 3 * w * h / sse), std::atof(r.err.c_str() + at + 7), 0.01) << r.err;
}

// PNG colour through the inverse matrix and back through the player's
// table-driven formulas lands near the original; alpha is kept.
TEST(EncodeCommand, PngColourAndAlpha) {
  const std::string dir = TempDir();
  const uint32_t w = 32, h = 24;
  std::vector<uint8_t> rgba(size_t(w) * h * 4);
  for (int f = 0; f < 2; ++f) {
    for (uint32_t i = 0; i < w * h; ++i) {
      rgba[4 * i] = 200;
      rgba[4 * i + 1] = 60;
      rgba[4 * i + 2] = 90;
      rgba[4 * i + 3] = uint8_t(i < w * h / 2 ? 255 : 40);
    }
    char name[64];
    std::snprintf(name, sizeof name, "/p_%03d.png", f + 1);
    WritePng(dir + name, w, h, rgba);
  }
  const ToolRun r = Tarn("encode --quiet --alpha --quality 95 --rate 10/1 -o '" + dir + "/c.trn' '" + dir + "/p_%03d.png'");
  ASSERT_EQ(0, r.code) << r.err;
  DecodedMovie d;
  std::string why;
  ASSERT_TRUE(DecodeMovieImage(ReadFile(dir + "/c.trn"), d, &why)) << why;
  ASSERT_EQ(2u, d.frames);
  EXPECT_TRUE(d.headerFlags & HDR_ALPHA);
  EXPECT_NEAR(255, d.a[1][0], 2);
  EXPECT_NEAR(40, d.a[1][w * h - 1], 2);
  // Player conversion: R = Y' + 4v, G = Y' - 2v - u, B = Y' + 5u.
  const int Y = d.y[1][5 * w + 5], cr = d.c1[1][2 * 16 + 2], cb = d.c2[1][2 * 16 + 2];
  const int yp = Y < 16 ? 0 : Y > 234 ? 255 : (Y - 16) * 76392 / 65536;
  const int v = ((cr - 128) * 26572) >> 16, u = ((cb - 128) * 26572) >> 16;
  EXPECT_NEAR(200, yp + 4 * v, 8);
  EXPECT_NEAR(60, yp - 2 * v - u, 8);
  EXPECT_NEAR(90, yp + 5 * u, 8);
}

// Bad input ends with exit code 1 and a message that names the problem.
TEST(EncodeCommand, ClearErrors) {
  const std::string dir = TempDir();
  WriteY4m(dir + "/c422.y4m", 16, 16, 1, "422");
  WriteY4m(dir + "/short.y4m", 16, 16, 2, "420");
  {
    std::FILE* f = std::fopen((dir + "/short.y4m").c_str(), "r+b");
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    ASSERT_EQ(0, ::truncate((dir + "/short.y4m").c_str(), size - 10));
  }
  std::vector<uint8_t> rgba(16 * 16 * 4, 128), big(20 * 16 * 4, 128);
  WritePng(dir + "/m_0.png", 16, 16, rgba);
  WritePng(dir + "/m_1.png", 20, 16, big);
  std::FILE* bad = std::fopen((dir + "/noise.wav").c_str(), "wb");
  std::fputs("not a sound file", bad);
  std::fclose(bad);
  WriteY4m(dir + "/ok.y4m", 16, 16, 1, "420");
  const struct {
    std::string args, message;
  } cases[] = {
      {"encode -o x.trn", "no video input"},
      {"encode '" + dir + "/ok.y4m'", "-o"},
      {"encode -o '" + dir + "/o.trn' '" + dir + "/missing.y4m'", "cannot open"},
      {"encode -o '" + dir + "/o.trn' '" + dir + "/c422.y4m'", "unsupported colour space"},
      {"encode -o '" + dir + "/o.trn' '" + dir + "/short.y4m'", "ends inside a frame"},
      {"encode -o '" + dir + "/o.trn' '" + dir + "/m_%d.png'", "differs from the first"},
      {"encode -o '" + dir + "/o.trn' '" + dir + "/ok.y4m' --audio '" + dir + "/noise.wav'", "cannot read sound"},
      {"encode -o '" + dir + "/o.trn' --quality 0 '" + dir + "/ok.y4m'", "1..100"},
      {"encode -o '" + dir + "/o.trn' --revision j '" + dir + "/ok.y4m'", "f, g, h or i"},
      {"encode -o '" + dir + "/o.trn' --threads 0 '" + dir + "/ok.y4m'", "thread count"},
      {"encode -o '" + dir + "/o.trn' --passes 3 '" + dir + "/ok.y4m'", "1 or 2"},
      {"encode -o '" + dir + "/o.trn' --passes 2 '" + dir + "/ok.y4m'", "--bitrate"},
      {"encode -o '" + dir + "/o.trn' --bogus '" + dir + "/ok.y4m'", "unknown option"},
      {"encode -o '" + dir + "/o.trn' --alpha '" + dir + "/ok.y4m'", "alpha"},
      {"encode -o '" + dir + "/no/such/dir/o.trn' '" + dir + "/ok.y4m'", "tarn:"},
  };
  for (const auto& c : cases) {
    const ToolRun r = Tarn(c.args);
    EXPECT_EQ(1, r.code) << c.args;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.args << " said: " << r.err;
  }
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// Each frame's video data: the record after its audio packets.
std::vector<std::vector<uint8_t>> VideoData(const std::vector<uint8_t>& movie) {
  MovieContainer c;
  EXPECT_EQ(ReadContainer(movie.data(), movie.size(), c), ContainerStatus::Ok);
  std::vector<std::vector<uint8_t>> frames;
  for (uint32_t f = 0; f < c.header.frameCount; ++f) {
    size_t pos = c.Index().Offset(f);
    for (uint32_t t = 0; t < c.header.trackCount; ++t) pos += 4 + LoadLe32(&movie[pos]);
    frames.emplace_back(movie.begin() + ptrdiff_t(pos), movie.begin() + ptrdiff_t(c.Index().Offset(f + 1)));
  }
  return frames;
}

// A track dropped, one added, the kept one's lead packed anew: the video data
// of every frame, the decoded pictures and the kept track's samples are what
// they were.
TEST(RemuxCommand, ChangesTheSoundAndKeepsEveryFrameOfVideo) {
  const std::string dir = TempDir();
  WriteY4m(dir + "/r.y4m", 48, 32, 40, "420jpeg");
  WriteWav(dir + "/a.wav", 44100, 2, 1.2);
  WriteWav(dir + "/b.wav", 22050, 1, 1.2);
  WriteWav(dir + "/voice.wav", 48000, 1, 2.0);
  ASSERT_EQ(0, Tarn("encode --quiet --audio-lead 0 -o '" + dir + "/in.trn' '" + dir + "/r.y4m' --audio '" + dir +
                    "/a.wav:3' --audio '" + dir + "/b.wav:4'").code);
  const ToolRun r = Tarn("remux '" + dir + "/in.trn' -o '" + dir + "/out.trn' --quiet --drop-track 4 --audio '" + dir +
                         "/voice.wav:9' --audio-lead 750");
  ASSERT_EQ(0, r.code) << r.err;
  const std::vector<uint8_t> before = ReadFile(dir + "/in.trn"), after = ReadFile(dir + "/out.trn");
  EXPECT_EQ(VideoData(before), VideoData(after));
  DecodedMovie a, b;
  std::string why;
  ASSERT_TRUE(DecodeMovieImage(before, a, &why)) << why;
  ASSERT_TRUE(DecodeMovieImage(after, b, &why)) << why;
  EXPECT_EQ(a.key, b.key);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.c1, b.c1);
  EXPECT_EQ(a.c2, b.c2);
  ASSERT_EQ(b.tracks.size(), 2u);
  EXPECT_EQ(b.tracks[0].id, 3u);
  EXPECT_EQ(b.tracks[0].samples, a.tracks[0].samples);
  EXPECT_EQ(b.tracks[1].id, 9u);
  EXPECT_EQ(b.tracks[1].samples.size(), size_t(2 * 48000));
  EXPECT_EQ(0u, b.packetMismatches);
  // The kept track now leads by the 750 ms asked (in whole blocks of 43.5 ms).
  ASSERT_EQ(0, Tarn("info '" + dir + "/out.trn' > '" + dir + "/rinfo.txt'").code);
  const std::vector<uint8_t> text = ReadFile(dir + "/rinfo.txt");
  const std::string info(text.begin(), text.end());
  EXPECT_NE(info.find("id 3, 44100 Hz, 16-bit, stereo, dct, largest packet"), std::string::npos) << info;
  const int lead = std::atoi(info.c_str() + info.find(", lead ") + 7);
  EXPECT_GE(lead, 750) << info;
  EXPECT_LT(lead, 794) << info;
  // What a user can get wrong.
  for (const char* bad : {" --drop-track 8", " --audio-lead 20000", " --audio /nonexistent.wav"}) {
    const ToolRun e = Tarn("remux '" + dir + "/in.trn' -o '" + dir + "/x.trn'" + bad);
    EXPECT_EQ(1, e.code) << bad;
    EXPECT_EQ(0u, e.err.find("tarn: remux: ")) << e.err;
  }
}

}  // namespace
}  // namespace tarn::test
