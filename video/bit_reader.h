// Least-significant-bit-first reader over one plane's bytes [data, data + size).
// Reads nothing outside that range: past its end the stream continues with
// zero bits and a sticky overrun is reported once such a bit was consumed.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>

#include "video/video_tables.h"

namespace tarn {

class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // 1 <= n <= 32; the first bit read is bit 0 of the result.
  uint32_t Bits(int n) {
    assert(n >= 1 && n <= 32);
    if (count_ < n) Refill();
    const uint32_t v = uint32_t(cache_ & ((uint64_t(1) << n) - 1));
    cache_ >>= n;
    count_ -= n;
    return v;
  }

  uint32_t Bit() {
    if (count_ < 1) Refill();
    const uint32_t v = uint32_t(cache_ & 1);
    cache_ >>= 1;
    count_ -= 1;
    return v;
  }

  // One symbol through a 128-entry table of (code length << 4) | value.
  // Peeks 7 bits and consumes exactly the code length.
  uint32_t Symbol(const uint8_t* table) {
    if (count_ < kShapeLookupBits) Refill();
    const uint32_t e = table[cache_ & (kShapeLookupSize - 1)];
    const int len = int(e >> 4);
    cache_ >>= len;
    count_ -= len;
    return e & 15;
  }

  // How many of the next bits are 0, counting no further than max
  // (0 <= max <= 56). Consumes nothing.
  int ZeroRun(int max) {
    assert(max >= 0 && max <= 56);
    if (count_ < max) Refill();
    return std::countr_zero(cache_ | uint64_t(1) << max);
  }

  // Consumes n bits already looked at: after ZeroRun(max), n <= max + 1.
  void Skip(int n) {
    assert(n >= 0 && n <= 57);
    if (count_ < n) Refill();
    cache_ >>= n;
    count_ -= n;
  }

  // Bits taken from the stream so far, zero bits past the end included.
  uint64_t Consumed() const { return uint64_t(pos_) * 8 - uint64_t(count_); }

  // The offset, relative to data, of the first 32-bit word of which no bit was
  // consumed: where the data that follows this plane begins.
  uint64_t NextWordOffset() const { return (Consumed() + 31) / 32 * 4; }

  // A zero bit fed past the end was consumed.
  bool Overrun() const { return Consumed() > uint64_t(size_) * 8; }

 private:
  // Tops the cache up to at least 57 bits.
  void Refill() {
    if (pos_ <= size_ && size_ - pos_ >= 8) {
      uint64_t w;
      std::memcpy(&w, data_ + pos_, 8);
      if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
      cache_ |= w << count_;
      pos_ += size_t(63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      const uint64_t b = pos_ < size_ ? data_[pos_] : 0;
      cache_ |= b << count_;
      ++pos_;
      count_ += 8;
    }
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;      // bytes moved into the cache (may pass size_: zero feed)
  uint64_t cache_ = 0;  // next bit in bit 0; bits at and above count_ are either 0 or
                        // already the stream's own bits, so OR-ing them in again is harmless
  int count_ = 0;       // valid bits in cache_, 0..63
};

}  // namespace tarn
