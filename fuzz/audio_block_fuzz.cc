// Fuzzes the audio packet decoder. The first byte picks the set-up (bit 0 the
// DCT variant, bit 1 stereo, bits 2-3 the sample rate, bit 4 the scalar FFT);
// the rest is one packet, decoded block by block until its end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/audio_decoder.h"
#include "common/cpu_features.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  if (size < 1) return 0;
  const uint8_t setup = data[0];
  static const uint32_t kRates[4] = {8000, 22050, 44100, 11025};
  // An exact-size copy of the packet, so any read past its end traps.
  std::vector<uint8_t> packet(data + 1, data + size);
  CpuFeaturesSetMask((setup & 16) ? 0 : ~0u);
  AudioDecoder* d = AudioDecoderOpen(kRates[setup >> 2 & 3], (setup & 2) ? 2 : 1, setup & 1);
  if (!d) return 0;
  const uint8_t* pos = packet.data();
  const uint8_t* end = packet.data() + packet.size();
  // Blocks past the end decode as silence; a few of them exercise the fade.
  for (int block = 0; block < 16; ++block) {
    const int16_t* samples = nullptr;
    uint32_t bytes = 0;
    const uint8_t* next = nullptr;
    AudioDecodeBlock(d, pos, end, &samples, &bytes, &next);
    if (!samples || bytes == 0 || next < pos || next > std::max(pos, end)) __builtin_trap();
    volatile int16_t sink = samples[bytes / 2 - 1];
    (void)sink;
    if (next == pos) break;
    pos = next;
  }
  AudioDecoderClose(d);
  CpuFeaturesSetMask(~0u);
  return 0;
}
