// Outputs several `tarn` commands share: the progress bar they draw on a
// terminal and the WAV and PNG files they write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn::tools {

// Redraws the progress line on standard error: frames done of expected (0
// when unknown), bytes written so far and seconds since the start.
void ShowProgress(uint32_t done, uint32_t expected, uint64_t bytes, double seconds);

// Writes count interleaved 16-bit values (whole sample frames only; a partial
// last frame is dropped) as a 16-bit PCM WAV file. Returns an error text,
// empty on success.
std::string WriteWav(const std::string& path, const int16_t* values, size_t count, uint32_t rate,
                     uint32_t channels);

// Writes width x height pixels, 3 bytes a pixel (red, green, blue) or with
// alpha 4, lines packed, as a PNG file. False when it cannot be written.
bool WritePng(const std::string& path, const uint8_t* pixels, uint32_t width, uint32_t height, bool alpha);

}  // namespace tarn::tools
