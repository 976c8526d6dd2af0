#include "platform/fake/fake_clock.h"

#include "common/movie_time.h"

namespace tarn {

ScopedFakeClock::ScopedFakeClock() {
  SetClockForTesting(&clock);
  MovieTimeReset();
}

ScopedFakeClock::~ScopedFakeClock() {
  SetClockForTesting(nullptr);
  MovieTimeReset();
}

}  // namespace tarn
