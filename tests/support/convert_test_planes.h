// Test planes for the converters: seeded random Y, Cr, Cb and alpha planes
// with a change map, a guarded destination, and the seed every test prints.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "convert/convert_internal.h"

namespace tarn::test {

// TARN_TEST_SEED in the environment replays a run; otherwise a fixed default.
uint32_t ConvertTestSeed();

struct TestPlanes {
  uint32_t width = 0, height = 0;
  uint32_t lumaStride = 0, chromaStride = 0;  // chroma stride is deliberately odd
  std::vector<uint8_t> y, cr, cb, a;          // a empty: no alpha plane
  std::vector<uint8_t> map;                   // one byte per 16 x 16 block
  uint32_t mapStride = 0, mapRows = 0;

  TestPlanes(uint32_t w, uint32_t h, bool alpha);
  // Random samples; with extremes, a quarter of them are 0, 16, 235 or 255.
  void Randomise(std::mt19937& rng, bool extremes);
  void Fill(uint8_t luma, uint8_t crValue, uint8_t cbValue, uint8_t alphaValue);
  // Changes the samples of randomly chosen blocks and marks only those.
  void ChangeRandomBlocks(std::mt19937& rng, int percent);
  CopySource Source() const;
  uint32_t ChromaWidth() const { return (width + 1) / 2; }
  uint32_t ChromaHeight() const { return (height + 1) / 2; }
};

// A destination buffer with canary bytes on both sides.
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kCanary = 0xC5;
  explicit GuardedBuffer(size_t size, uint8_t fill = 0x5A);
  uint8_t* data() { return bytes_.data() + kGuard; }
  const uint8_t* data() const { return bytes_.data() + kGuard; }
  size_t size() const { return size_; }
  bool Intact() const;
  std::vector<uint8_t> Contents() const {
    return std::vector<uint8_t>(data(), data() + size_);
  }

 private:
  size_t size_;
  std::vector<uint8_t> bytes_;
};

// "first difference at byte N (expected E, got G)" or "" when equal.
std::string FirstDifference(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& got);

}  // namespace tarn::test
