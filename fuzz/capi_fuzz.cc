// A whole movie through the C interface, from a memory image framed as in
// movie_image.h: the facts, every track's whole sound, and for each frame
// every picture format with and without the display mode and every track's
// frame sound. Movies above 32 frames are cut short, to keep each run fast.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capi/tarn.h"
#include "fuzz/movie_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  const FuzzMovieImage image(data, size);
  if (!image.data()) return 0;
  tarn_movie* movie = nullptr;
  if (tarn_open_memory(image.data(), image.size(), 0, &movie) == TARN_OK) {
    tarn_info info{};
    (void)tarn_get_info(movie, &info);
    size_t count = 0;
    std::vector<int16_t> sound;
    for (uint32_t t = 0; t < info.track_count && t < 4; ++t) {
      if (tarn_get_track_audio(movie, t, nullptr, 0, &count) == TARN_OK && count < (1u << 22)) {
        sound.resize(count);
        (void)tarn_get_track_audio(movie, t, sound.data(), sound.size(), &count);
      }
    }
    std::vector<uint8_t> picture;
    for (uint32_t f = 0; f < 32 && tarn_next_frame(movie) == TARN_OK; ++f) {
      for (int format = TARN_FORMAT_RGBA; format <= TARN_FORMAT_I420; ++format) {
        for (uint32_t options : {0u, uint32_t(TARN_PICTURE_DISPLAY_MODE)}) {
          size_t bytes = 0;
          if (tarn_picture_size(movie, tarn_format(format), options, nullptr, nullptr, &bytes) != TARN_OK) continue;
          picture.resize(bytes);
          (void)tarn_get_picture(movie, tarn_format(format), options, picture.data(), picture.size(), 0);
        }
      }
      tarn_planes planes{};
      (void)tarn_get_planes(movie, &planes);
      for (uint32_t t = 0; t < info.track_count && t < 4; ++t) {
        if (tarn_get_frame_audio(movie, t, nullptr, 0, &count) == TARN_OK) {
          sound.resize(count);
          (void)tarn_get_frame_audio(movie, t, sound.data(), sound.size(), &count);
        }
      }
    }
    tarn_close(movie);
  }
  return 0;
}
