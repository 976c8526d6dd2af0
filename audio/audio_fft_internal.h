// Pieces of the complex FFT shared by the scalar and the SSE2 radix-4 stages.
#pragma once

#include <cstdint>

namespace tarn {

// Quarter-circle twiddles of an mt-point DFT read for an m-point one (m <= mt).
struct FftTwiddles {
  const float* table;  // cos(2 pi r / mt), sin(2 pi r / mt) pairs, r < mt / 4
  uint32_t stride;     // mt / m
  uint32_t quarter;    // m / 4
};

// e^(s 2 pi i q / m) for q < 3m/4, s = +1 when kPositive, else -1.
template <bool kPositive>
inline void FftUnit(const FftTwiddles& t, uint32_t q, float& c, float& s) {
  float tc, ts;
  if (q < t.quarter) {
    tc = t.table[2 * q * t.stride];
    ts = t.table[2 * q * t.stride + 1];
  } else if (q < 2 * t.quarter) {
    const uint32_t r = (q - t.quarter) * t.stride;
    tc = -t.table[2 * r + 1];
    ts = t.table[2 * r];
  } else {
    const uint32_t r = (q - 2 * t.quarter) * t.stride;
    tc = -t.table[2 * r];
    ts = -t.table[2 * r + 1];
  }
  c = tc;
  s = kPositive ? ts : -ts;
}

// One decimation-in-frequency radix-4 stage over every group of len complex
// values (8 <= len <= m). Outputs go to bit-reversed quarter slots so that a
// plain bit reversal finishes the transform. Gives results identical to the
// scalar stage in audio_transform.cc (same operations per lane, no fused
// multiply-add), so decoded samples do not depend on the CPU level.
void FftRadix4Stage_sse2(float* a, uint32_t m, uint32_t len, const FftTwiddles& t, bool positive);

}  // namespace tarn
