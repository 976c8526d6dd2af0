// A clock that only moves when the test says so. Sleeping advances it, so code
// that waits for time to pass finishes at once and deterministically.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/clock.h"

namespace tarn {

class FakeClock final : public Clock {
 public:
  bool hasCounter = true;
  bool sleepAdvances = true;  // SleepMs moves both counter and tick

  bool PerfFrequency(uint64_t& f) override {
    f = 1000000;
    return hasCounter;
  }
  uint64_t PerfCounter() override { return counterUs.load(); }
  uint32_t TickMs() override { return tickMs.load(); }
  uint32_t LegacyMs() override { return tickMs.load(); }
  void SleepMs(uint32_t ms) override {
    sleeps.fetch_add(1);
    if (sleepAdvances) Advance(ms);
  }

  // Moves counter and tick together.
  void Advance(uint32_t ms) {
    counterUs.fetch_add(uint64_t(ms) * 1000);
    tickMs.fetch_add(ms);
  }
  void AdvanceCounterOnly(int64_t ms) { counterUs.fetch_add(uint64_t(ms * 1000)); }
  void AdvanceTickOnly(uint32_t ms) { tickMs.fetch_add(ms); }

  std::atomic<uint64_t> counterUs{0};
  std::atomic<uint32_t> tickMs{0};
  std::atomic<uint32_t> sleeps{0};
};

// Installs a FakeClock for the scope of a test and resets MovieTimeMs.
class ScopedFakeClock {
 public:
  ScopedFakeClock();
  ~ScopedFakeClock();
  FakeClock clock;
};

}  // namespace tarn
