// Test-side writer of least-significant-bit-first streams, the mirror of the
// video decoder's BitReader: the first bit written is bit 0 of the first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarn::test {

class BitWriter {
 public:
  // The low n bits of value (0 <= n <= 32), bit 0 first.
  void Put(uint32_t value, int n);
  void PutBit(uint32_t bit) { Put(bit & 1, 1); }
  // A bit string in stream order, e.g. "0110" (other characters are ignored).
  void PutCode(std::string_view bits);
  // Code index c (0..15) of code shape `shape` (0..15).
  void PutShapeCode(int shape, int c);
  void Append(const BitWriter& other);
  // Pads with zero bits to the next 32-bit word.
  void AlignWord();

  size_t BitCount() const { return bits_; }
  // The bytes written so far, the last one zero-padded.
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t bits_ = 0;
};

}  // namespace tarn::test
