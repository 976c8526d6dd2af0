// Constant tables of the audio packet decoder, shared read-only by every
// decoder.
#pragma once

#include <array>
#include <cstdint>

namespace tarn {

inline constexpr int kAudioMaxBands = 25;
inline constexpr int kAudioRunLengthCount = 16;
inline constexpr int kAudioQuantCount = 96;  // quantiser indices 0..95; larger ones clamp to 95
inline constexpr int kAudioExponentCount = 32;

// Band start frequencies in Hz; a track uses the bands that start below half
// its (effective) sample rate.
extern const std::array<uint32_t, kAudioMaxBands> AudioBandEdgeHz;

// Coded run lengths, in units of 8 coefficients (2..64).
extern const std::array<uint8_t, kAudioRunLengthCount> AudioRunLengths;

// Dequantisation factors: entry i is exp(0.15289164787 * i) rounded to float,
// 1.0 .. about 2.03e6.
extern const std::array<float, kAudioQuantCount> AudioQuantTable;

// Scale of a 29-bit float field: 2^(e - 23) for e <= 23, 0 above.
inline constexpr std::array<float, kAudioExponentCount> AudioExponentTable = [] {
  std::array<float, kAudioExponentCount> t{};
  float v = 1.0f / 8388608.0f;  // 2^-23
  for (int e = 0; e <= 23; ++e, v *= 2.0f) t[e] = v;
  return t;
}();

}  // namespace tarn
