// Planning one block for several pieces: each piece is rounded up to 32 bytes
// and preceded by a stagger of ((total / 32 - rounded / 32 + 1) mod 32) * 32
// bytes, so successive pieces start at different 32-byte cache offsets. Every
// size goes through checked 64-bit arithmetic and the allocation cap.
#pragma once

#include <cstdint>
#include <optional>

#include "common/checked_size.h"
#include "common/input_limits.h"

namespace tarn {

class MemoryPlan {
 public:
  static constexpr int kMaxPieces = 32;
  explicit MemoryPlan(uint64_t head) : total_(RoundUp64(head)) {}

  // The piece's number, or -1 (and the plan fails) when it cannot be planned.
  int Add(uint64_t size) {
    const std::optional<uint64_t> rounded = CheckedRoundUp(size, 32);
    if (!rounded || count_ == kMaxPieces || *rounded > kMaxAllocation) {
      failed_ = true;
      return -1;
    }
    const uint64_t stagger = ((total_ / 32 - *rounded / 32 + 1) % 32) * 32;
    offsets_[count_] = total_ + stagger;
    total_ += stagger + *rounded;
    if (total_ > kMaxAllocation) failed_ = true;
    return count_++;
  }
  bool Failed() const { return failed_; }
  uint64_t Total() const { return total_; }
  uint8_t* At(uint8_t* base, int piece) const { return piece < 0 ? nullptr : base + offsets_[piece]; }

 private:
  static uint64_t RoundUp64(uint64_t v) { return (v + 31) & ~uint64_t(31); }
  uint64_t total_;
  uint64_t offsets_[kMaxPieces] = {};
  int count_ = 0;
  bool failed_ = false;
};

}  // namespace tarn
