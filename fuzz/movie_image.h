// The framing of the whole-movie fuzz targets: the first byte masks the CPU
// features for the run, the rest is the movie image, copied to an exact-size
// buffer so that any overread traps. Images whose header asks for a picture
// above 1024 x 1024 are not taken (the open would rightly plan planes of up
// to 16384 x 16384, more memory than a fuzzing run is given).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/cpu_features.h"
#include "common/little_endian.h"

namespace tarn {

class FuzzMovieImage {
 public:
  FuzzMovieImage(const uint8_t* data, size_t size) {
    if (size < 1) return;
    CpuFeaturesSetMask(static_cast<CpuFlags>(data[0]));
    masked_ = true;
    ++data, --size;
    if (size >= 28 && (LoadLe32(data + 20) > 1024 || LoadLe32(data + 24) > 1024)) return;
    bytes_ = std::make_unique<uint8_t[]>(size ? size : 1);
    if (size) std::memcpy(bytes_.get(), data, size);
    size_ = size;
  }
  ~FuzzMovieImage() {
    if (masked_) CpuFeaturesSetMask(static_cast<CpuFlags>(~0u));
  }
  FuzzMovieImage(const FuzzMovieImage&) = delete;
  FuzzMovieImage& operator=(const FuzzMovieImage&) = delete;

  // Null when the input is not taken.
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
  bool masked_ = false;
};

}  // namespace tarn
