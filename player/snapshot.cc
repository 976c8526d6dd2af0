// The frame through the copy stage into 24-bit memory in PNG's byte order,
// then libpng's simplified writer.
#include "player/snapshot.h"

#include <png.h>

#include <cstring>
#include <vector>

#include "convert/copy.h"
#include "movie/movie.h"

namespace tarn {

bool SaveFramePng(Movie* movie, uint32_t copyFlags, const std::string& path, std::string* why) {
  if (!movie || movie->width == 0 || movie->height == 0) {
    *why = "no frame to save";
    return false;
  }
  const uint32_t width = movie->width, height = movie->height;
  std::vector<uint8_t> rgb(size_t(width) * height * 3);  // COPY_FORMAT_24_BGR: bytes red, green, blue
  const uint32_t flags = (copyFlags & ~(COPY_FORMAT_MASK | COPY_NO_RECTS | COPY_ONE_RECT)) | COPY_FORMAT_24_BGR |
                         COPY_FULL | COPY_NEVER_SKIP;
  (void)MovieCopyToBuffer(movie, rgb.data(), int32_t(width * 3), height, 0, 0, 0, 0, width, height, flags);
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), png_int_32(width * 3), nullptr)) {
    *why = image.message[0] ? image.message : "cannot write the file";
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace tarn
