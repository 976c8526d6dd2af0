// A whole movie from a memory image: open, then decode and copy every frame
// into a 32-bit buffer, on the caller's thread. The first byte masks the CPU
// features; the rest is the file, copied to an exact-size buffer so that any
// overread traps. Pictures above 1024 x 1024 are not opened (the open would
// rightly plan planes of up to 16384 x 16384, more memory than a fuzzing run
// is given) and movies above 64 frames are cut short, to keep each run fast.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/little_endian.h"
#include "common/cpu_features.h"
#include "convert/copy.h"
#include "movie/movie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  if (size < 1) return 0;
  CpuFeaturesSetMask(static_cast<CpuFlags>(data[0]));
  ++data, --size;
  if (size >= 28 && (LoadLe32(data + 20) > 1024 || LoadLe32(data + 24) > 1024)) return 0;
  auto image = std::make_unique<uint8_t[]>(size ? size : 1);
  if (size) std::memcpy(image.get(), data, size);
  Movie* movie = MovieOpenMemory(image.get(), size, OPEN_NO_THREAD);
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
  CpuFeaturesSetMask(static_cast<CpuFlags>(~0u));
  return 0;
}
