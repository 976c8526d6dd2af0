// The end card: a one-frame movie compiled into the player and opened from
// memory after the last movie. It is encoded at build time from a picture the
// build draws.
#pragma once

#include <cstddef>

namespace tarn {

const void* EndCardMovie();
size_t EndCardMovieSize();

}  // namespace tarn
