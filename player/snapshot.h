// Saving the frame a movie shows as a PNG picture, for the player's "s" key.
#pragma once

#include <cstdint>
#include <string>

namespace tarn {

struct Movie;

// Writes the movie's current frame, converted as the player shows it (its
// display option and grey, plus copyFlags such as COPY_SHOW_ALPHA), to path
// as an RGB PNG. False with a reason in *why.
bool SaveFramePng(Movie* movie, uint32_t copyFlags, const std::string& path, std::string* why);

}  // namespace tarn
