// Audio round trips through the real decoder: transforms, band quantisers,
// runs and the per-frame cutting of sound into packets.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "encoder/audio_encoder.h"
#include "encoder/movie_encoder.h"
#include "common/little_endian.h"
#include "movie/movie.h"
#include "tests/encoder/decode_helper.h"

namespace tarn::test {
namespace {

encoder::Sound SineMix(uint32_t rate, uint32_t channels, double seconds, double base) {
  encoder::Sound s;
  s.sampleRate = rate;
  s.channels = channels;
  const size_t n = size_t(rate * seconds);
  for (size_t i = 0; i < n; ++i) {
    const double t = double(i) / rate;
    for (uint32_t c = 0; c < channels; ++c) {
      const double v = 6000 * std::sin(2 * M_PI * base * (1 + 0.5 * c) * t) +
                       3000 * std::sin(2 * M_PI * 1234.5 * t + c) +
                       1500 * std::sin(2 * M_PI * 3100 * t);
      s.samples.push_back(int16_t(std::lround(v)));
    }
  }
  return s;
}

double Snr(const std::vector<int16_t>& ref, const std::vector<int16_t>& got) {
  double signal = 0, noise = 0;
  const size_t n = std::min(ref.size(), got.size());
  for (size_t i = 0; i < n; ++i) {
    signal += double(ref[i]) * ref[i];
    const double d = double(ref[i]) - got[i];
    noise += d * d;
  }
  return noise == 0 ? 99 : 10 * std::log10(signal / noise);
}

std::vector<encoder::Picture> GreyPictures(int frames) {
  std::vector<encoder::Picture> v(static_cast<size_t>(frames));
  for (auto& p : v) {
    p.width = 16;
    p.height = 16;
    p.y.assign(256, 90);
    p.cb.assign(64, 128);
    p.cr.assign(64, 128);
  }
  return v;
}

struct AudioCase {
  uint32_t rate, channels;
  bool dct;
};

// The decoded track equals the source length exactly and stays above 30 dB;
// every packet is filled exactly by its blocks; the header's largest packet
// matches what the packets announce.
TEST(AudioEncoder, SineMixRoundTripsInBothVariants) {
  const AudioCase cases[] = {{44100, 2, true}, {44100, 2, false}, {22050, 1, true},
                             {11025, 1, false}, {32000, 2, true}, {8000, 2, false}};
  for (const AudioCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz x" << c.channels << (c.dct ? " dct" : " rdft"));
    encoder::EncodeOptions o;
    o.audioDct = c.dct;
    o.rateNumerator = 15;
    o.rateDenominator = 1;
    const int frames = 15;  // one second of pictures
    encoder::MemoryTrack track;
    track.sound = SineMix(c.rate, c.channels, 0.8, 440);
    track.id = 77;
    std::vector<uint8_t> movie;
    std::string why;
    ASSERT_TRUE(encoder::EncodeMovieMemory(GreyPictures(frames), {track}, o, movie, &why)) << why;
    DecodedMovie d;
    ASSERT_TRUE(DecodeMovieImage(movie, d, &why)) << why;
    ASSERT_EQ(1u, d.tracks.size());
    const DecodedTrack& t = d.tracks[0];
    EXPECT_EQ(77u, t.id);
    EXPECT_EQ(c.rate, t.rateWord & 0xFFFF);
    EXPECT_EQ(c.channels == 2, bool(t.rateWord & TRACK_STEREO));
    EXPECT_TRUE(t.rateWord & TRACK_16BIT);
    EXPECT_EQ(c.dct, (t.rateWord & TRACK_CODEC_B) && !(t.rateWord & TRACK_CODEC_A));
    EXPECT_EQ(0u, d.packetMismatches);
    EXPECT_EQ(track.sound.samples.size(), t.samples.size());
    EXPECT_GE(Snr(track.sound.samples, t.samples), 30.0);
  }
}

// By the end of each frame a track has delivered at least that frame's time
// of sound plus the lead, and never more than one block beyond it; the lead
// changes only the packing, not the decoded samples.
TEST(AudioEncoder, EachFrameCarriesItsTimesSoundPlusTheLead) {
  encoder::MemoryTrack track;
  track.sound = SineMix(22050, 1, 2.0, 300);
  const uint32_t frames = 20, total = 44100;
  const uint64_t blockFrames = 1024 - 64;
  std::vector<int16_t> unled;
  for (const uint32_t lead : {0u, 750u, 3000u}) {
    SCOPED_TRACE(lead);
    encoder::EncodeOptions o;
    o.rateNumerator = 10;
    o.audioLeadMs = lead;
    std::vector<uint8_t> movie;
    std::string why;
    ASSERT_TRUE(encoder::EncodeMovieMemory(GreyPictures(frames), {track}, o, movie, &why)) << why;
    const size_t indexAt = 44 + 12;
    uint64_t delivered = 0;
    for (uint32_t f = 0; f < frames; ++f) {
      const uint32_t pos = LoadLe32(&movie[indexAt + 4 * f]) & ~1u;
      if (LoadLe32(&movie[pos]) != 0) delivered += LoadLe32(&movie[pos + 4]) / 2;
      const uint64_t due = (uint64_t(f) + 1) * 22050 / 10 + uint64_t(lead) * 22050 / 1000;
      EXPECT_GE(delivered, std::min<uint64_t>(due, total)) << "frame " << f;
      EXPECT_LT(delivered, due + blockFrames) << "frame " << f;
    }
    EXPECT_EQ(delivered, total);
    DecodedMovie d;
    ASSERT_TRUE(DecodeMovieImage(movie, d, &why)) << why;
    EXPECT_EQ(0u, d.packetMismatches);
    if (lead == 0) unled = d.tracks.at(0).samples;
    EXPECT_EQ(d.tracks.at(0).samples, unled);
  }
}

// Three tracks with their own ids and sounds: each decodes to its own source.
TEST(AudioEncoder, ThreeTracksKeepTheirIds) {
  encoder::EncodeOptions o;
  std::vector<encoder::MemoryTrack> tracks(3);
  const uint32_t ids[3] = {5, 1000, 0xDEADBEEF};
  for (int i = 0; i < 3; ++i) {
    tracks[i].sound = SineMix(i == 1 ? 22050 : 44100, i == 2 ? 1 : 2, 0.5, 200.0 + 300 * i);
    tracks[i].id = ids[i];
  }
  std::vector<uint8_t> movie;
  std::string why;
  ASSERT_TRUE(encoder::EncodeMovieMemory(GreyPictures(13), tracks, o, movie, &why)) << why;
  DecodedMovie d;
  ASSERT_TRUE(DecodeMovieImage(movie, d, &why)) << why;
  ASSERT_EQ(3u, d.tracks.size());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ids[i], d.tracks[i].id);
    EXPECT_GE(Snr(tracks[i].sound.samples, d.tracks[i].samples), 30.0) << i;
    // The table's largest packet covers every packet the track holds.
    EXPECT_GT(d.tracks[i].largestPacket, 0u);
  }
}

// The forward transforms are the exact inverses of the decoder's
// definitions (checked here against the definitions in double).
TEST(AudioEncoder, ForwardTransformsInvertTheDefinitions) {
  const size_t n = 64;
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = std::sin(0.37 * double(i * i)) * 1000;
  std::vector<double> c = x;
  encoder::ForwardDct(c);
  for (size_t k = 0; k < n; ++k) {
    double v = 0;
    for (size_t j = 0; j < n; ++j) v += c[j] * std::cos(M_PI * double(j) * (k + 0.5) / double(n));
    EXPECT_NEAR(x[k], v, 1e-6);
  }
  std::vector<double> r = x;
  encoder::ForwardRealDft(r);
  for (size_t j = 0; j < n; ++j) {
    double v = (r[0] + r[1] * std::cos(M_PI * double(j))) / 2;
    for (size_t k = 1; k < n / 2; ++k)
      v += r[2 * k] * std::cos(2 * M_PI * double(j * k) / double(n)) +
           r[2 * k + 1] * std::sin(2 * M_PI * double(j * k) / double(n));
    EXPECT_NEAR(x[j], v, 1e-6);
  }
}

}  // namespace
}  // namespace tarn::test
