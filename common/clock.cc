// The system clock: the monotonic clock for both the counter and the tick.
#include "common/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tarn {
namespace {

uint64_t MonotonicNs() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

class SteadyClock final : public Clock {
 public:
  bool PerfFrequency(uint64_t& f) override {
    f = 1000000000u;
    return true;
  }
  uint64_t PerfCounter() override { return MonotonicNs(); }
  uint32_t TickMs() override { return uint32_t(MonotonicNs() / 1000000u); }
  uint32_t LegacyMs() override { return TickMs(); }
  void SleepMs(uint32_t ms) override {
    if (ms == 0)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

std::atomic<Clock*> installed{nullptr};

}  // namespace

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

Clock& CurrentClock() {
  Clock* c = installed.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

void SetClockForTesting(Clock* clock) { installed.store(clock, std::memory_order_release); }

}  // namespace tarn
