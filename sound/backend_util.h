// Helpers shared by the two sound back-ends.
#pragma once

#include <algorithm>
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

// What a back-end waits for before it starts its device, in device bytes:
// want, but never more than one frame's packet brings, nor more than the
// movie's whole sound. A packet shorter than kSoundStartMarginMs carries no
// lead: then the wait is the packet and that margin besides, which covers the
// wait for the next packet and the device's own buffering. Either way a movie
// without a lead starts its sound soon, with its pictures only that far
// ahead, instead of a whole preroll. held is what of a packet the service may
// keep back for the next one (a back-end fed in whole buffers gets the last
// part of a packet only with the next).
inline constexpr uint32_t kSoundStartMarginMs = 100;
inline uint32_t SoundStartBytes(const SoundMovieInfo* movie, uint32_t want, uint32_t bytesPerSecond, uint32_t bits,
                                uint32_t movieBytes, uint32_t held = 0) {
  uint32_t n = std::min(want, movieBytes);
  if (movie && movie->packetBytes) {
    const uint64_t packet = uint64_t(movie->packetBytes) * bits / 16;
    const uint64_t margin = uint64_t(bytesPerSecond) * kSoundStartMarginMs / 1000;
    const uint64_t lead = packet > 2 * uint64_t(held) ? packet - held : packet;
    n = uint32_t(std::min<uint64_t>(n, packet < margin ? packet + margin : lead));
  }
  return n;
}

}  // namespace tarn
