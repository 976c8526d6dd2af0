// The packet decoder against an independent model of the block format: the
// model places each coefficient in its band by position, rounds and fades in
// double, and shares only the (separately tested) inverse transforms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "audio/audio_decoder.h"
#include "audio/audio_decoder_internal.h"
#include "audio/audio_tables.h"
#include "audio/audio_transform.h"
#include "tests/support/audio_bit_writer.h"

namespace tarn {
namespace {

using testing::AudioBitWriter;

struct DecoderDeleter {
  void operator()(AudioDecoder* d) const { AudioDecoderClose(d); }
};
using DecoderPtr = std::unique_ptr<AudioDecoder, DecoderDeleter>;

struct Run {
  int lengthIndex;  // -1: the short run of 8
  int width;
  std::vector<int32_t> values;  // width > 0: one per coefficient of the run
};

struct Scalar {
  uint32_t exponent, mantissa;
  bool negative;
};

struct ChannelSpec {
  Scalar c0, c1;
  std::vector<uint32_t> quant;  // one per band, 0..255
  std::vector<Run> runs;
};

using BlockSpec = std::vector<ChannelSpec>;  // transformChannels entries

uint32_t RunLength(const Run& r) { return r.lengthIndex < 0 ? 8 : 8u * AudioRunLengths[r.lengthIndex]; }

void WriteBlock(const AudioDecoder& d, const BlockSpec& block, std::vector<uint8_t>& out) {
  AudioBitWriter w;
  if (d.variantFlags & AUDIO_VARIANT_DCT) w.Put(0, 2);
  for (const ChannelSpec& ch : block) {
    w.PutScalar(ch.c0.exponent, ch.c0.mantissa, ch.c0.negative);
    w.PutScalar(ch.c1.exponent, ch.c1.mantissa, ch.c1.negative);
    for (uint32_t q : ch.quant) w.Put(q, 8);
    for (const Run& r : ch.runs) {
      if (r.lengthIndex < 0) {
        w.Put(0, 1);
      } else {
        w.Put(1, 1);
        w.Put(uint32_t(r.lengthIndex), 4);
      }
      w.Put(uint32_t(r.width), 4);
      for (int32_t v : r.values) w.PutValue(v, r.width);
    }
  }
  w.FinishBlock(out);
}

float ModelScalar(const Scalar& s) {
  const double v = s.exponent <= 23 ? std::ldexp(double(s.mantissa), int(s.exponent) - 23) : 0.0;
  return float(s.negative ? -v : v);
}

std::vector<float> ModelCoefficients(const AudioDecoder& d, const ChannelSpec& ch) {
  const uint32_t n = d.transformLength;
  std::vector<float> coef(n, 0.0f);
  coef[0] = ModelScalar(ch.c0);
  coef[1] = ModelScalar(ch.c1);
  uint32_t j = 2;
  for (const Run& r : ch.runs) {
    const uint32_t end = std::min(j + RunLength(r), n);
    for (uint32_t i = 0; j < end; ++j, ++i) {
      if (r.width == 0) continue;
      uint32_t band = 0;  // the last band starting at or before j
      while (band + 1 < d.bandCount && 2 * d.bandEdges[band + 1] <= j) ++band;
      const float q = AudioQuantTable[std::min(ch.quant[band], 95u)];
      const float v = float(std::abs(r.values[i])) * q;
      coef[j] = r.values[i] < 0 ? -v : v;
    }
  }
  return coef;
}

int16_t ModelSample(float x, float scale) {
  const double y = std::nearbyint(double(x) * double(scale));
  return int16_t(std::clamp(y, -32768.0, 32767.0));
}

// Decodes block after block like the decoder, carrying the model's own tail.
class Model {
 public:
  explicit Model(const AudioDecoder& d) : d_(d) {}
  std::vector<int16_t> Block(const BlockSpec& block) {
    const uint32_t n = d_.transformLength;
    const bool dct = d_.variantFlags & AUDIO_VARIANT_DCT;
    std::vector<int16_t> out(d_.blockBytes / 2);
    for (size_t c = 0; c < block.size(); ++c) {
      std::vector<float> coef = ModelCoefficients(d_, block[c]);
      std::vector<int32_t> index(AudioTransformIndexAreaSize(n));
      std::vector<float> table(AudioTransformTableSize(n, dct));
      if (dct) {
        InverseDct(n, coef.data(), index.data(), table.data());
      } else {
        InverseRealDft(n, coef.data(), index.data(), table.data());
      }
      for (uint32_t i = 0; i < n; ++i) out[i * block.size() + c] = ModelSample(coef[i], 2.0f / std::sqrt(float(n)));
    }
    const int t = int(d_.overlapBytes / 2);
    if (!tail_.empty()) {
      for (int i = 0; i < t; ++i) {
        out[i] = int16_t(std::floor(double(tail_[i] * (t - i) + out[i] * i) / t));
      }
    }
    tail_.assign(out.end() - t, out.end());
    return out;
  }

 private:
  const AudioDecoder& d_;
  std::vector<int16_t> tail_;
};

// A random block: scalars (some with exponents above 23), quantiser indices
// (some above 95), runs of every kind (some past N), widths 0..15.
BlockSpec RandomBlock(const AudioDecoder& d, std::mt19937& rng, bool loud) {
  auto below = [&](uint32_t n) { return uint32_t(rng() % n); };
  BlockSpec block(d.transformChannels);
  for (ChannelSpec& ch : block) {
    ch.c0 = {below(32), below(1u << 23), below(2) == 1};
    ch.c1 = {below(32), below(1u << 23), below(2) == 1};
    for (uint32_t b = 0; b < d.bandCount; ++b) ch.quant.push_back(loud ? below(256) : below(40));
    uint32_t j = 2;
    while (j < d.transformLength) {
      Run r;
      r.lengthIndex = below(3) == 0 ? -1 : int(below(16));
      r.width = below(4) == 0 ? 0 : int(1 + below(loud ? 15 : 6));
      const uint32_t len = std::min(RunLength(r), d.transformLength - j);
      if (r.width > 0) {
        for (uint32_t i = 0; i < len; ++i) {
          const int32_t v = below(3) == 0 ? 0 : int32_t(below(1u << r.width));
          r.values.push_back(below(2) ? -v : v);
        }
      }
      ch.runs.push_back(std::move(r));
      j += len;
    }
  }
  return block;
}

struct Config {
  uint32_t rate, channels;
  bool dct;
};
const Config kConfigs[] = {
    {44100, 2, true}, {44100, 2, false}, {22050, 1, true}, {11025, 1, false},
    {48000, 1, false}, {32000, 2, true}, {8000, 2, false}, {22050, 2, false},
};

TEST(AudioDecoderOpen, SetUpFollowsRateAndVariant) {
  struct Case {
    Config config;
    uint32_t n, bandCount, blockBytes, overlapBytes;
    float scale;
    std::vector<uint32_t> firstStarts;  // coefficient index where each band starts
    uint32_t lastStart;
  };
  const Case cases[] = {
      {{44100, 2, true}, 2048, 25, 8192, 512, 0.0441941738f, {2, 8, 18, 26}, 1438},
      {{44100, 2, false}, 4096, 25, 8192, 512, 0.03125f, {2, 8, 18, 26}, 1438},
      {{22050, 1, true}, 1024, 23, 2048, 128, 0.0625f, {2}, 882},
      {{11025, 1, false}, 512, 20, 1024, 64, 0.0883883476f, {2}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.config.rate << " Hz x" << c.config.channels << (c.config.dct ? " dct" : " rdft"));
    DecoderPtr d(AudioDecoderOpen(c.config.rate, c.config.channels, c.config.dct));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->transformLength, c.n);
    EXPECT_EQ(d->bandCount, c.bandCount);
    EXPECT_EQ(AudioDecoderBlockBytes(d.get()), c.blockBytes);
    EXPECT_EQ(AudioDecoderOverlapBytes(d.get()), c.overlapBytes);
    EXPECT_EQ(d->outputScale, c.scale);
    for (size_t i = 0; i < c.firstStarts.size(); ++i) EXPECT_EQ(2 * d->bandEdges[i], c.firstStarts[i]) << i;
    if (c.lastStart) {
      EXPECT_EQ(2 * d->bandEdges[c.bandCount - 1], c.lastStart);
    }
    EXPECT_EQ(2 * d->bandEdges[c.bandCount], c.n);
  }
  DecoderPtr stereo(AudioDecoderOpen(44100, 2, true));
  EXPECT_EQ(2 * stereo->bandEdges[23], 1114u);
  EXPECT_EQ(AudioDecoderOpen(44100, 0, true), nullptr);
  EXPECT_EQ(AudioDecoderOpen(44100, 3, false), nullptr);
  EXPECT_EQ(AudioDecoderBlockBytes(nullptr), 0u);
}

TEST(AudioDecoderTables, QuantTableFollowsItsRule) {
  EXPECT_EQ(AudioQuantTable[0], 1.0f);
  EXPECT_NEAR(AudioQuantTable[1], 1.1651987f, 2e-7);
  EXPECT_NEAR(AudioQuantTable[2], 1.3576881f, 2e-7);
  EXPECT_NEAR(AudioQuantTable[95], 2032357.0f, 1.0f);
  for (int i = 0; i < kAudioQuantCount; ++i) {
    EXPECT_NEAR(AudioQuantTable[i] / std::exp(0.15289164787 * i), 1.0, 3e-7) << i;
  }
}

// Every configuration, three blocks in one packet: the first unfaded, the
// next two faded from the held-back tail; loud blocks clamp often, also in
// the values that enter the fade.
TEST(AudioDecodeBlock, MatchesModelAcrossBlocks) {
  for (const Config& cfg : kConfigs) {
    for (bool loud : {false, true}) {
      const unsigned seed = cfg.rate + cfg.channels * 7 + cfg.dct * 3 + loud;
      SCOPED_TRACE(::testing::Message() << cfg.rate << " x" << cfg.channels << (cfg.dct ? " dct" : " rdft")
                                        << (loud ? " loud" : "") << " seed " << seed);
      std::mt19937 rng(seed);
      DecoderPtr d(AudioDecoderOpen(cfg.rate, cfg.channels, cfg.dct));
      ASSERT_TRUE(d);
      std::vector<BlockSpec> blocks;
      std::vector<uint8_t> packet;
      std::vector<size_t> starts;
      for (int b = 0; b < 3; ++b) {
        starts.push_back(packet.size());
        blocks.push_back(RandomBlock(*d, rng, loud));
        WriteBlock(*d, blocks.back(), packet);
      }
      starts.push_back(packet.size());
      auto bytes = std::make_unique<uint8_t[]>(packet.size());  // exact size, so overreads trap
      std::memcpy(bytes.get(), packet.data(), packet.size());

      Model model(*d);
      const uint8_t* pos = bytes.get();
      int clamped = 0;
      for (int b = 0; b < 3; ++b) {
        const int16_t* samples = nullptr;
        uint32_t finished = 0;
        const uint8_t* next = nullptr;
        AudioDecodeBlock(d.get(), pos, bytes.get() + packet.size(), &samples, &finished, &next);
        EXPECT_EQ(finished, d->blockBytes - d->overlapBytes);
        EXPECT_EQ(size_t(next - bytes.get()), starts[b + 1]) << "block " << b;
        const std::vector<int16_t> want = model.Block(blocks[b]);
        for (size_t i = 0; i < want.size(); ++i) {
          ASSERT_EQ(samples[i], want[i]) << "block " << b << " sample " << i;
          clamped += want[i] == 32767 || want[i] == -32768;
        }
        pos = next;
      }
      if (loud) {
        EXPECT_GT(clamped, 0);
      }
    }
  }
}

// Bands 11025 Hz mono, N = 512: starts 2, 8, 18, 26, 36, 46, ...
TEST(AudioDecodeBlock, ZeroRunMovesBandCursorPastEveryBandItCovers) {
  DecoderPtr d(AudioDecoderOpen(11025, 1, false));
  ASSERT_TRUE(d);
  const uint32_t starts[] = {2, 8, 18, 26, 36, 46};
  for (int i = 0; i < 6; ++i) ASSERT_EQ(2 * d->bandEdges[i], starts[i]);

  ChannelSpec ch{{23, 0, false}, {23, 0, false}, {}, {}};
  for (uint32_t b = 0; b < d->bandCount; ++b) ch.quant.push_back(3 * b + 1);  // distinct factors
  // j = 2: zero run of 24 ends exactly at 26 (band 3 start), crossing bands 1, 2.
  ch.runs.push_back({1, 0, {}});
  // j = 26: band 3 must be picked up here; the run crosses into band 4 at 36.
  ch.runs.push_back({-1, 3, {1, -2, 3, 4, 5, 6, 7, -1}});
  ch.runs.push_back({-1, 3, {1, 1, 1, 1, 1, 1, 1, 1}});
  // j = 42: zero run of 16 to 58, crossing the band start at 46 and 56.
  ch.runs.push_back({0, 0, {}});
  ch.runs.push_back({-1, 2, {1, 2, 3, 1, 2, 3, 1, 2}});
  ch.runs.push_back({15, 0, {}});  // 512 coefficients, cut at N
  std::vector<uint8_t> packet;
  WriteBlock(*d, {ch}, packet);

  const std::vector<float> coef = ModelCoefficients(*d, ch);
  EXPECT_EQ(coef[26], AudioQuantTable[10]);  // band 3: index 10
  EXPECT_EQ(coef[36], AudioQuantTable[13]);  // band 4: index 13
  EXPECT_EQ(coef[58], AudioQuantTable[19]);  // band 6 (starts 56): index 19

  const int16_t* samples = nullptr;
  const uint8_t* next = nullptr;
  AudioDecodeBlock(d.get(), packet.data(), packet.data() + packet.size(), &samples, nullptr, &next);
  EXPECT_EQ(next, packet.data() + packet.size());
  const std::vector<int16_t> want = Model(*d).Block({ch});
  for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(samples[i], want[i]) << i;
}

// 22050 Hz mono DCT: N = 1024, scale exactly 1/16, and a lone coef[0] = c
// gives c at every transform output, so samples are c / 16 rounded.
TEST(AudioDecodeBlock, RoundsHalfToEvenAndClamps) {
  struct Case {
    uint32_t mantissa, exponent;
    bool negative;
    int16_t want;
  };
  const Case cases[] = {
      {8, 23, false, 0},   {24, 23, false, 2},  {40, 23, false, 2},     {8, 23, true, 0},
      {24, 23, true, -2},  {25, 23, false, 2},  {1u << 22, 23, false, 32767},
      {1u << 22, 23, true, -32768},             {(1u << 23) - 1, 31, false, 0},  // exponent > 23: 0
  };
  for (const Case& c : cases) {
    DecoderPtr d(AudioDecoderOpen(22050, 1, true));
    ChannelSpec ch{{c.exponent, c.mantissa, c.negative}, {23, 0, false}, std::vector<uint32_t>(d->bandCount, 0), {}};
    ch.runs.push_back({15, 0, {}});
    ch.runs.push_back({15, 0, {}});
    std::vector<uint8_t> packet;
    WriteBlock(*d, {ch}, packet);
    const int16_t* samples = nullptr;
    AudioDecodeBlock(d.get(), packet.data(), packet.data() + packet.size(), &samples, nullptr, nullptr);
    for (uint32_t i = 0; i < 1024; ++i) ASSERT_EQ(samples[i], c.want) << c.mantissa << " at " << i;
  }
}

// Follows the frame step: blocks until D bytes are produced.
struct PacketResult {
  int blocks = 0;
  const uint8_t* end = nullptr;
  std::vector<int16_t> samples;
};
PacketResult DecodePacket(AudioDecoder* d, const uint8_t* data, size_t size, uint32_t total) {
  PacketResult r;
  const uint8_t* pos = data;
  uint32_t remaining = total;
  while (remaining > 0) {
    const int16_t* samples = nullptr;
    uint32_t bytes = 0;
    const uint8_t* next = nullptr;
    AudioDecodeBlock(d, pos, data + size, &samples, &bytes, &next);
    const uint32_t take = std::min(bytes, remaining);
    r.samples.insert(r.samples.end(), samples, samples + take / 2);
    remaining -= take;
    ++r.blocks;
    pos = next;
  }
  r.end = pos;
  return r;
}

TEST(AudioDecodeBlock, PacketOfDecodedByteCountNeedsWholeBlocks) {
  std::mt19937 rng(7681);
  struct Case {
    uint32_t total;
    int blocks;
  };
  for (const Case& c : {Case{7680, 1}, Case{7681, 2}, Case{138240, 18}}) {
    DecoderPtr probe(AudioDecoderOpen(44100, 2, true));
    std::vector<uint8_t> packet;
    for (int b = 0; b < c.blocks; ++b) WriteBlock(*probe, RandomBlock(*probe, rng, false), packet);
    DecoderPtr d(AudioDecoderOpen(44100, 2, true));
    const PacketResult r = DecodePacket(d.get(), packet.data(), packet.size(), c.total);
    EXPECT_EQ(r.blocks, c.blocks) << c.total;
    EXPECT_EQ(r.end, packet.data() + packet.size()) << c.total;
    EXPECT_EQ(r.samples.size() * 2, size_t(c.total & ~1u)) << c.total;
  }
}

// Hostile packets: truncated blocks read zeros past the end and report the
// end as the next position; random bytes decode deterministically.
TEST(AudioDecodeBlock, BadInputStaysInsideThePacket) {
  std::mt19937 rng(99);
  for (const Config& cfg : kConfigs) {
    SCOPED_TRACE(::testing::Message() << cfg.rate << " x" << cfg.channels << (cfg.dct ? " dct" : " rdft"));
    DecoderPtr probe(AudioDecoderOpen(cfg.rate, cfg.channels, cfg.dct));
    std::vector<uint8_t> full;
    WriteBlock(*probe, RandomBlock(*probe, rng, true), full);
    for (size_t cut : {size_t(0), size_t(3), full.size() / 3, full.size() - 1}) {
      const std::vector<uint8_t> bytes(full.begin(), full.begin() + std::ptrdiff_t(cut));  // exact size
      std::vector<uint8_t> padded(full.begin(), full.begin() + cut);
      padded.resize(full.size() + 64, 0);
      DecoderPtr a(AudioDecoderOpen(cfg.rate, cfg.channels, cfg.dct));
      DecoderPtr b(AudioDecoderOpen(cfg.rate, cfg.channels, cfg.dct));
      const int16_t *sa = nullptr, *sb = nullptr;
      const uint8_t* next = nullptr;
      AudioDecodeBlock(a.get(), bytes.data(), bytes.data() + cut, &sa, nullptr, &next);
      AudioDecodeBlock(b.get(), padded.data(), padded.data() + padded.size(), &sb, nullptr, nullptr);
      EXPECT_EQ(next, bytes.data() + cut) << "cut " << cut;
      EXPECT_EQ(std::memcmp(sa, sb, a->blockBytes), 0) << "cut " << cut;
    }
    for (int iter = 0; iter < 4; ++iter) {
      const size_t size = 1 + rng() % 3000;
      auto bytes = std::make_unique<uint8_t[]>(size);
      for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(rng());
      DecoderPtr a(AudioDecoderOpen(cfg.rate, cfg.channels, cfg.dct));
      DecoderPtr b(AudioDecoderOpen(cfg.rate, cfg.channels, cfg.dct));
      const PacketResult ra = DecodePacket(a.get(), bytes.get(), size, 3 * (a->blockBytes - a->overlapBytes));
      const PacketResult rb = DecodePacket(b.get(), bytes.get(), size, 3 * (b->blockBytes - b->overlapBytes));
      EXPECT_EQ(ra.samples, rb.samples);
      EXPECT_GE(ra.end, bytes.get());
      EXPECT_LE(ra.end, bytes.get() + size);
    }
  }
  const int16_t* samples = reinterpret_cast<const int16_t*>(1);
  uint32_t bytes = 1;
  const uint8_t* next = nullptr;
  const uint8_t in[4] = {};
  AudioDecodeBlock(nullptr, in, in + 4, &samples, &bytes, &next);
  EXPECT_EQ(samples, nullptr);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(next, in);
}

}  // namespace
}  // namespace tarn
