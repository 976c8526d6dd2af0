// `tarn audio` on a small two-track movie: track choice, packet walking with
// absent packets and odd decoded byte counts, and the WAV it writes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "audio/audio_decoder.h"
#include "audio/audio_decoder_internal.h"
#include "movie/movie.h"
#include "movie/movie_writer.h"
#include "tests/support/audio_bit_writer.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

struct Track {
  uint32_t id, rateWord;
  bool dct;
  uint32_t channels;
  std::vector<uint32_t> decoded;  // per frame; 0 = no packet
};

// A block whose only coefficient is coef[0] = level: a flat block.
void FlatBlock(const AudioDecoder& d, uint32_t level, std::vector<uint8_t>& out) {
  testing::AudioBitWriter w;
  const bool dct = d.variantFlags & AUDIO_VARIANT_DCT;
  if (dct) w.Put(0, 2);
  for (uint32_t c = 0; c < d.transformChannels; ++c) {
    w.PutScalar(23, level, false);
    w.PutScalar(23, 0, false);
    for (uint32_t b = 0; b < d.bandCount; ++b) w.Put(0, 8);
    for (uint32_t j = 2; j < d.transformLength; j += 512) {
      w.Put(1, 1);
      w.Put(15, 4);  // a run of 512, cut at N
      w.Put(0, 4);
    }
  }
  w.FinishBlock(out);
}

struct Built {
  std::string path;
  std::vector<std::vector<uint8_t>> pcm;  // per track: expected bytes
};

Built BuildTwoTrackMovie() {
  // 22050 Hz mono DCT and 11025 Hz stereo real DFT; the last packet of the
  // first track claims far more decoded bytes than its one block holds.
  std::vector<Track> tracks = {
      {5, 22050 | TRACK_16BIT | TRACK_CODEC_B, true, 1, {1921, 0, 1000, 1000000}},
      {9, 11025 | TRACK_16BIT | TRACK_STEREO | TRACK_CODEC_A, false, 2, {1920, 1920, 3, 0}},
  };
  MovieWriterInfo info;
  info.width = 16;
  info.height = 16;
  for (const Track& t : tracks) info.tracks.push_back({t.rateWord, t.id, 0});
  MovieWriter writer(info);
  Built built;
  built.pcm.resize(tracks.size());
  std::vector<AudioDecoder*> decoders;
  for (const Track& t : tracks) decoders.push_back(AudioDecoderOpen(t.rateWord & 0xFFFF, t.channels, t.dct));
  for (size_t f = 0; f < 4; ++f) {
    std::vector<MovieAudioPacket> packets(tracks.size());
    for (size_t k = 0; k < tracks.size(); ++k) {
      const Track& t = tracks[k];
      if (t.decoded[f] == 0) continue;
      MovieAudioPacket& p = packets[k];
      p.present = true;
      p.decodedBytes = t.decoded[f];
      const uint32_t perBlock = AudioDecoderBlockBytes(decoders[k]) - AudioDecoderOverlapBytes(decoders[k]);
      const uint32_t blocks = std::min(2u, (t.decoded[f] + perBlock - 1) / perBlock);
      for (uint32_t b = 0; b < blocks; ++b) FlatBlock(*decoders[k], 1000 * uint32_t(f + 1) + 100 * b + 17 * uint32_t(k), p.data);
      // The expected bytes: the same blocks through the decoder directly, up
      // to the packet's end.
      const uint8_t* in = p.data.data();
      uint32_t remaining = t.decoded[f];
      while (remaining > 0 && in < p.data.data() + p.data.size()) {
        const int16_t* s = nullptr;
        uint32_t bytes = 0;
        AudioDecodeBlock(decoders[k], in, p.data.data() + p.data.size(), &s, &bytes, &in);
        const uint32_t take = std::min(bytes, remaining);
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(s);  // little-endian host
        built.pcm[k].insert(built.pcm[k].end(), raw, raw + take);
        remaining -= take;
      }
    }
    const uint8_t video[4] = {0, 0, 0, 0};
    writer.AddFrame(f == 0, packets, video);
  }
  for (AudioDecoder* d : decoders) AudioDecoderClose(d);
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(writer.Finish(bytes));
  built.path = test::WriteTempFile(bytes, "audio_tool.trn");
  return built;
}

struct ToolResult {
  int exitCode;
  std::string output;
};

ToolResult RunTool(const std::string& args) {
  const char* tool = std::getenv("TARN_TOOL");
  EXPECT_NE(tool, nullptr);
  const std::string log = test::WriteTempFile({0}, "audio_tool.log");  // replaced by the output
  const int status = std::system((std::string(tool ? tool : "tarn") + " audio " + args + " >" + log + " 2>&1").c_str());
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(log.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

struct Wav {
  int rate = 0, channels = 0;
  std::vector<uint8_t> bytes;
};
Wav ReadWav(const std::string& path) {
  Wav w;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return w;
  w.rate = info.samplerate;
  w.channels = info.channels;
  std::vector<short> s(size_t(info.frames) * size_t(info.channels));
  sf_read_short(f, s.data(), sf_count_t(s.size()));
  sf_close(f);
  for (short v : s) {
    w.bytes.push_back(uint8_t(uint16_t(v)));
    w.bytes.push_back(uint8_t(uint16_t(v) >> 8));
  }
  return w;
}

TEST(AudioTool, DecodesTheChosenTrackIntoWav) {
  const Built movie = BuildTwoTrackMovie();
  const std::string wav = movie.path + ".wav";
  struct Case {
    std::string option;
    size_t track;
    int rate, channels;
  };
  for (const Case& c : {Case{"", 0, 22050, 1}, Case{"--track 9", 1, 11025, 2}, Case{"--track 0x5", 0, 22050, 1}}) {
    const ToolResult r = RunTool(movie.path + " " + wav + " " + c.option);
    ASSERT_EQ(r.exitCode, 0) << c.option << ": " << r.output;
    const Wav w = ReadWav(wav);
    EXPECT_EQ(w.rate, c.rate) << c.option;
    EXPECT_EQ(w.channels, c.channels) << c.option;
    // Whole sample frames of the concatenated bytes (a trailing partial frame is dropped).
    std::vector<uint8_t> want = movie.pcm[c.track];
    want.resize(want.size() / (2 * c.channels) * (2 * c.channels));
    EXPECT_EQ(w.bytes, want) << c.option;
  }
  std::remove(wav.c_str());

  const ToolResult list = RunTool(movie.path + " --list");
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.output.find("id 5, 22050 Hz, mono, 16-bit, dct"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("id 9, 11025 Hz, stereo, 16-bit, rdft"), std::string::npos) << list.output;

  const ToolResult unknown = RunTool(movie.path + " " + wav + " --track 7");
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.output.find("no audio track with id 7"), std::string::npos) << unknown.output;
  EXPECT_EQ(RunTool(movie.path + " " + wav + " --track").exitCode, 1);
  EXPECT_EQ(RunTool(movie.path).exitCode, 1);
  std::remove(movie.path.c_str());
}

}  // namespace
}  // namespace tarn
