#include "tests/support/audio_bit_writer.h"

#include <cassert>
#include <cstdlib>

namespace tarn::testing {

void AudioBitWriter::Put(uint32_t value, int n) {
  assert(n >= 0 && n <= 32);
  for (int i = 0; i < n; ++i, ++bits_) {
    if (bits_ % 32 == 0) words_.push_back(0);
    if (value >> i & 1) words_.back() |= 1u << (bits_ % 32);
  }
}

void AudioBitWriter::PutScalar(uint32_t exponent, uint32_t mantissa, bool negative) {
  Put(exponent & 31, 5);
  Put(mantissa & 0x7FFFFF, 23);
  Put(negative ? 1 : 0, 1);
}

void AudioBitWriter::PutValue(int32_t v, int width) {
  Put(uint32_t(std::abs(v)), width);
  if (v != 0) Put(v < 0 ? 1 : 0, 1);
}

void AudioBitWriter::FinishBlock(std::vector<uint8_t>& out) {
  for (uint32_t w : words_) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(w >> (8 * i)));
  }
  words_.clear();
  bits_ = 0;
}

}  // namespace tarn::testing
