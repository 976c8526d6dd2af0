// Internal steps of playback shared by the open and the frame step.
#pragma once

#include <cstdint>

#include "movie/movie_internal.h"

namespace tarn {

// Loads frame record n (1-based; 0 is taken as 1). A record that lies outside
// the movie or is larger than the largest-frame field sets readFailed.
void MovieReadFrame(MovieState* m, uint32_t n);

// The whole movie is in memory (preloaded, or opened from an image).
inline bool MovieInMemory(const MovieState* m) { return m->fromMemory || (m->flags & OPEN_PRELOAD); }

}  // namespace tarn
