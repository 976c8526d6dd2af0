// Least-significant-bit-first writer, the mirror of BitReader: the first bit
// written is bit 0 of the first little-endian 32-bit word. The video planes
// and the audio blocks share this layout. Grows its own buffer.
#pragma once

#include <cassert>
#include <cstdint>
#include <vector>

namespace tarn {

class BitWriter {
 public:
  // Appends the low n bits of v (0 <= n <= 32), bit 0 first.
  void Put(uint32_t v, int n) {
    assert(n >= 0 && n <= 32);
    if (n == 0) return;
    if (n < 32) v &= (1u << n) - 1;
    cache_ |= uint64_t(v) << fill_;
    fill_ += n;
    bits_ += uint64_t(n);
    if (fill_ >= 32) {
      words_.push_back(uint32_t(cache_));
      cache_ >>= 32;
      fill_ -= 32;
    }
  }
  void PutBit(bool b) { Put(b ? 1u : 0u, 1); }

  // Appends every bit of other, in order.
  void Append(const BitWriter& other) {
    for (uint32_t w : other.words_) Put(w, 32);
    if (other.fill_ > 0) Put(uint32_t(other.cache_), other.fill_);
  }

  uint64_t BitCount() const { return bits_; }
  void Clear() {
    words_.clear();
    cache_ = 0;
    fill_ = 0;
    bits_ = 0;
  }

  // Appends the stream to out as whole little-endian words, the last one
  // zero-padded: the next stream starts on the following word, where a
  // reader's NextWordOffset puts it.
  void FlushTo(std::vector<uint8_t>& out) const {
    auto put32 = [&out](uint32_t w) {
      for (int i = 0; i < 4; ++i) out.push_back(uint8_t(w >> (8 * i)));
    };
    for (uint32_t w : words_) put32(w);
    if (fill_ > 0) put32(uint32_t(cache_));
  }

 private:
  std::vector<uint32_t> words_;
  uint64_t cache_ = 0;  // fill_ (< 32) pending bits
  int fill_ = 0;
  uint64_t bits_ = 0;
};

}  // namespace tarn
