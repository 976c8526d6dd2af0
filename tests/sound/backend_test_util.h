// What the track service does to a back-end, reduced to one transfer, plus the
// facts of a movie to open tracks against.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "sound/sound_track.h"

namespace tarn::testing {

// A movie of frames at numerator / denominator frames per second.
inline SoundMovieInfo MovieOfFrames(uint32_t frames, uint32_t numerator = 30, uint32_t denominator = 1) {
  return {frames, numerator, denominator};
}

// One round of the service for one track: when ready, fills up to max bytes of
// the device region with value and submits them. Returns the bytes submitted,
// or 0 when the track was not ready or had no region.
inline uint32_t Feed(SoundTrack& t, uint32_t max, uint8_t value = 0x5A) {
  if (!t.driver.ready(&t)) return 0;
  uint8_t* region = nullptr;
  uint32_t length = 0;
  if (!t.driver.getBuffer(&t, &region, &length)) return 0;
  const uint32_t n = std::min(max, length);
  std::memset(region, value, n);
  EXPECT_NE(t.driver.submit(&t, n), 0);
  return n;
}

// Closes a track at the end of a test.
struct TrackCloser {
  SoundTrack& t;
  ~TrackCloser() {
    if (t.driver.close) t.driver.close(&t);
  }
};

}  // namespace tarn::testing
