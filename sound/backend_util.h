// Helpers shared by the two sound back-ends.
#pragma once

#include <cstdint>

#include "common/checked_size.h"
#include "sound/sound_track.h"

namespace tarn {

// The sound bytes of the whole movie: frameCount x rateDenominator x
// bytesPerSecond / rateNumerator, saturated at UINT32_MAX; fallback when the
// movie is null or either rate term is 0.
inline uint32_t SoundMovieBytes(const SoundMovieInfo* movie, uint32_t bytesPerSecond, uint32_t fallback) {
  if (!movie || movie->rateNumerator == 0 || movie->rateDenominator == 0) return fallback;
  const auto frames = CheckedMul(movie->frameCount, movie->rateDenominator);
  const auto bytes = frames ? CheckedMul(*frames, bytesPerSecond) : std::nullopt;
  if (!bytes) return UINT32_MAX;  // more than 4 GB of sound; the caller takes a minimum anyway
  const uint64_t total = *bytes / movie->rateNumerator;
  return total > UINT32_MAX ? UINT32_MAX : uint32_t(total);
}

// The service feeds a device only when a track's ring holds more than
// minChunk bytes (until the last part of the movie). A ring sized for packets
// that carry just one frame's sound can never hold that much, and its sound
// would be dropped by overflow unheard; such a track is fed whatever it holds.
// ringSize is set by the core after the open, so this runs from ready.
inline void SoundFitMinChunk(SoundTrack* t) {
  if (t->ringSize != 0 && t->minChunk >= t->ringSize) t->minChunk = 0;
}

}  // namespace tarn
