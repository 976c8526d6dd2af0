// Test-side least-significant-bit-first writer.
#include "tests/support/bit_writer.h"

#include <cassert>

#include "video/video_tables.h"

namespace tarn::test {

void BitWriter::Put(uint32_t value, int n) {
  assert(n >= 0 && n <= 32);
  for (int i = 0; i < n; ++i, ++bits_) {
    if (bits_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() |= uint8_t(((value >> i) & 1) << (bits_ % 8));
  }
}

void BitWriter::PutCode(std::string_view bits) {
  for (char c : bits) {
    if (c == '0' || c == '1') PutBit(c == '1');
  }
}

void BitWriter::PutShapeCode(int shape, int c) { PutCode(kCodeShapeWords[shape & 15][c & 15]); }

void BitWriter::Append(const BitWriter& other) {
  for (size_t i = 0; i < other.bits_; ++i) PutBit(other.bytes_[i / 8] >> (i % 8));
}

void BitWriter::AlignWord() {
  while (bits_ % 32) PutBit(0);
}

}  // namespace tarn::test
