// A whole movie from a memory image framed as in movie_image.h: open, then
// decode and copy every frame into a 32-bit buffer, on the caller's thread.
// Movies above 64 frames are cut short, to keep each run fast.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "convert/copy.h"
#include "fuzz/movie_image.h"
#include "movie/movie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  const FuzzMovieImage image(data, size);
  if (!image.data()) return 0;
  Movie* movie = MovieOpenMemory(image.data(), image.size(), OPEN_NO_THREAD);
  if (movie) {
    if (movie->width && movie->height && movie->width <= 1024 && movie->height <= 1024) {
      const uint32_t pitch = movie->width * 4;
      std::vector<uint8_t> out(size_t(pitch) * movie->height);
      const uint32_t frames = movie->frameCount < 64 ? movie->frameCount : 64;
      for (uint32_t f = 0; f < frames; ++f) {
        if (MovieDoFrame(movie) != 0) break;
        MovieCopyToBuffer(movie, out.data(), static_cast<int32_t>(pitch), movie->height, 0, 0, 0, 0,
                          movie->width, movie->height, COPY_FORMAT_32_ARGB | COPY_NEVER_SKIP | COPY_FULL);
        MovieNextFrame(movie);
      }
    }
    MovieClose(movie);
  }
  return 0;
}
