// Time sources behind MovieTimeMs and every sleep in the library. The system
// clock (the standard monotonic clock) is the default; tests install a
// FakeClock and move time by hand.
#pragma once

#include <cstdint>

namespace tarn {

class Clock {
 public:
  virtual ~Clock() = default;
  // High-resolution counter: false when there is none.
  virtual bool PerfFrequency(uint64_t& ticksPerSecond) = 0;
  virtual uint64_t PerfCounter() = 0;
  // Millisecond tick since some start (wraps at 2^32).
  virtual uint32_t TickMs() = 0;
  // The fallback millisecond clock used without a counter.
  virtual uint32_t LegacyMs() = 0;
  // Gives up the processor for about ms milliseconds (0: just yield).
  virtual void SleepMs(uint32_t ms) = 0;
};

Clock& SystemClock();

// The clock the library reads now: the system clock unless a test installed one.
Clock& CurrentClock();

// Installs clock (nullptr restores the system clock). Not thread-safe against
// concurrent readers; install before any movie opens.
void SetClockForTesting(Clock* clock);

// Sleep through the current clock.
inline void SleepMs(uint32_t ms) { CurrentClock().SleepMs(ms); }

}  // namespace tarn
