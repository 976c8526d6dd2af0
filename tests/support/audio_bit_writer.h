// Writes audio blocks for tests and benchmarks: the audio fields over the
// shared least-significant-bit-first writer, each block padded to a whole word.
#pragma once

#include <cstdint>
#include <vector>

#include "video/bit_writer.h"

namespace tarn::testing {

class AudioBitWriter {
 public:
  // 0 <= n <= 32; value must fit in n bits.
  void Put(uint32_t value, int n) { bits_.Put(value, n); }
  // A 29-bit float field: exponent e (0..31), 23-bit mantissa, sign.
  void PutScalar(uint32_t exponent, uint32_t mantissa, bool negative);
  // One coded value of a run of width w >= 1: |v| in w bits, then a sign bit
  // when v != 0.
  void PutValue(int32_t v, int width);
  // Pads to a word boundary and appends the block's bytes to out.
  void FinishBlock(std::vector<uint8_t>& out);

 private:
  BitWriter bits_;
};

}  // namespace tarn::testing
