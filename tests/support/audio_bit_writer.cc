#include "tests/support/audio_bit_writer.h"

#include <cstdlib>

namespace tarn::testing {

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
  bits_.FlushTo(out);
  bits_.Clear();
}

}  // namespace tarn::testing
