// Helpers shared by the two sound back-ends.
#pragma once

#include <cstdint>

#include "common/checked.h"
#include "movie/movie.h"

namespace tarn {

// The sound bytes of the whole movie: frameCount x rateDenominator x
// bytesPerSecond / rateNumerator, saturated at UINT32_MAX; fallback when the
// movie is null or either rate term is 0.
inline uint32_t SoundMovieBytes(const Movie* movie, uint32_t bytesPerSecond, uint32_t fallback) {
  if (!movie || movie->rateNumerator == 0 || movie->rateDenominator == 0) return fallback;
  const auto frames = CheckedMul(movie->frameCount, movie->rateDenominator);
  const auto bytes = frames ? CheckedMul(*frames, bytesPerSecond) : std::nullopt;
  if (!bytes) return UINT32_MAX;  // more than 4 GB of sound; the caller takes a minimum anyway
  const uint64_t total = *bytes / movie->rateNumerator;
  return total > UINT32_MAX ? UINT32_MAX : uint32_t(total);
}

}  // namespace tarn
