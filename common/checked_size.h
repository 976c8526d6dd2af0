// Overflow-checked size arithmetic for values that come from files. Every size
// derived from a header goes through these before it reaches an allocation.
#pragma once

#include <cstdint>
#include <optional>

namespace tarn {

[[nodiscard]] constexpr std::optional<uint64_t> CheckedAdd(uint64_t a, uint64_t b) {
  if (b > UINT64_MAX - a) return std::nullopt;
  return a + b;
}

[[nodiscard]] constexpr std::optional<uint64_t> CheckedMul(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

// Rounds v up to a multiple of m (a power of two); nullopt on overflow.
[[nodiscard]] constexpr std::optional<uint64_t> CheckedRoundUp(uint64_t v, uint64_t m) {
  if (v > UINT64_MAX - (m - 1)) return std::nullopt;
  return (v + m - 1) & ~(m - 1);
}

// Rounds up to a multiple of m (a power of two) for values known to be small.
constexpr uint32_t RoundUp(uint32_t v, uint32_t m) { return (v + m - 1) & ~(m - 1); }

}  // namespace tarn
