// Audio packet decoding at 44100 Hz stereo, both variants: one second of
// seeded, music-like blocks per iteration. "x_realtime" is seconds of audio
// decoded per second of CPU.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "audio/audio_decoder.h"
#include "audio/audio_decoder_internal.h"
#include "audio/audio_tables.h"

namespace {

using namespace tarn;

class Bits {
 public:
  void Put(uint32_t v, int n) {
    for (int i = 0; i < n; ++i, ++count_) {
      if (count_ % 32 == 0) words_.push_back(0);
      if (v >> i & 1) words_.back() |= 1u << (count_ % 32);
    }
  }
  void Flush(std::vector<uint8_t>& out) {
    for (uint32_t w : words_) {
      for (int i = 0; i < 4; ++i) out.push_back(uint8_t(w >> (8 * i)));
    }
    words_.clear();
    count_ = 0;
  }

 private:
  std::vector<uint32_t> words_;
  uint64_t count_ = 0;
};

// Wide values in the low bands, narrow ones higher up, silence in the top third.
std::vector<uint8_t> MusicLikePacket(const AudioDecoder& d, int blocks, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  const uint32_t n = d.transformLength;
  for (int b = 0; b < blocks; ++b) {
    Bits w;
    if (d.variantFlags & AUDIO_VARIANT_DCT) w.Put(0, 2);
    for (uint32_t c = 0; c < d.transformChannels; ++c) {
      for (int s = 0; s < 2; ++s) w.Put((20 << 0) | (rng() & 0xFFFF) << 5, 29);
      for (uint32_t q = 0; q < d.bandCount; ++q) w.Put(20 + rng() % 20, 8);
      uint32_t j = 2;
      while (j < n) {
        const bool top = j > 2 * n / 3;
        const int lengthIndex = top ? 15 : int(rng() % 6);
        w.Put(1, 1);
        w.Put(uint32_t(lengthIndex), 4);
        const int width = top ? 0 : j < n / 4 ? int(3 + rng() % 4) : int(1 + rng() % 3);
        w.Put(uint32_t(width), 4);
        const uint32_t end = std::min(j + 8u * AudioRunLengths[lengthIndex], n);
        for (; j < end; ++j) {
          if (width == 0) continue;
          const uint32_t v = rng() % 3 == 0 ? 0 : rng() & ((1u << width) - 1);
          w.Put(v, width);
          if (v) w.Put(rng() & 1, 1);
        }
      }
    }
    w.Flush(out);
  }
  return out;
}

void BM_AudioDecode(benchmark::State& state, bool dct) {
  AudioDecoder* d = AudioDecoderOpen(44100, 2, dct);
  const uint32_t frames = (d->blockBytes - d->overlapBytes) / 4;  // sample frames per block
  const int blocks = int((44100 + frames - 1) / frames);
  const std::vector<uint8_t> packet = MusicLikePacket(*d, blocks, 44100);
  for (auto _ : state) {
    const uint8_t* pos = packet.data();
    for (int b = 0; b < blocks; ++b) {
      const int16_t* samples = nullptr;
      AudioDecodeBlock(d, pos, packet.data() + packet.size(), &samples, nullptr, &pos);
      benchmark::DoNotOptimize(samples);
    }
    benchmark::ClobberMemory();
  }
  const double seconds = double(blocks) * frames / 44100.0;
  state.counters["x_realtime"] = benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(int64_t(state.iterations()) * blocks * frames);
  AudioDecoderClose(d);
}

BENCHMARK_CAPTURE(BM_AudioDecode, dct_44100_stereo, true);
BENCHMARK_CAPTURE(BM_AudioDecode, rdft_44100_stereo, false);

}  // namespace
