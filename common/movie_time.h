// MovieTimeMs: the library's millisecond clock. The high-resolution counter is
// pulled toward the system tick when the two disagree by more than 200 ms, and
// the result never runs backwards. All timing in the library reads it.
#pragma once

#include <cstdint>

namespace tarn {

uint32_t MovieTimeMs();

// Forgets the bases so that the next call starts again at 0 (tests, after
// installing a fake clock with SetClockForTesting).
void MovieTimeReset();

}  // namespace tarn
