#include "common/movie_time.h"

#include <mutex>

#include "common/clock.h"

namespace tarn {
namespace {

struct TimeState {
  bool started = false;
  bool usePerf = false;
  uint64_t frequency = 0;
  uint64_t counterBase = 0;
  uint32_t lastTick = 0;
  uint32_t lastResult = 0;
  int64_t skew = 0;
};

std::mutex timeMutex;  // guards state: the clock is read from every thread
TimeState state;

}  // namespace

uint32_t MovieTimeMs() {
  Clock& clock = CurrentClock();
  std::lock_guard lock(timeMutex);
  if (!state.started) {
    state.started = true;
    uint64_t f = 0;
    state.usePerf = clock.PerfFrequency(f) && f != 0;
    if (!state.usePerf) return clock.LegacyMs();
    state.frequency = f;
    state.counterBase = clock.PerfCounter();
    state.lastTick = clock.TickMs();
    state.lastResult = 0;
    state.skew = 0;
    return 0;
  }
  if (!state.usePerf) return clock.LegacyMs();

  const uint64_t elapsed = clock.PerfCounter() - state.counterBase;
  // elapsed * 1000 / frequency without overflowing for long runs.
  const uint64_t ms = elapsed / state.frequency * 1000 + elapsed % state.frequency * 1000 / state.frequency;
  uint32_t t = uint32_t(ms + uint64_t(state.skew));
  const uint32_t tick = clock.TickMs();
  const int32_t d = int32_t((tick - state.lastTick) - (t - state.lastResult));
  if (d > 200 || d < -200) {
    state.skew += d;
    t += uint32_t(d);
  }
  if (t - state.lastResult > 0xC0000000u) return state.lastResult;  // went backwards
  state.lastTick = tick;
  state.lastResult = t;
  return t;
}

void MovieTimeReset() {
  std::lock_guard lock(timeMutex);
  state = TimeState{};
}

}  // namespace tarn
