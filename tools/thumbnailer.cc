// tarn-thumbnailer -s SIZE INPUT OUTPUT: a PNG of the frame about a tenth
// into the movie, as the movie's copy lays it out (header display mode
// included), scaled so that its longer side is SIZE pixels, alpha kept. The
// freedesktop.org thumbnailer convention runs it through tarn.thumbnailer.
#include <png.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/last_error.h"
#include "movie/movie.h"

namespace tarn {
namespace {

int Fail(const std::string& what) {
  std::fprintf(stderr, "tarn-thumbnailer: %s\n", what.c_str());
  return 1;
}

// INPUT may be a path or a file:// URI with %-escapes.
std::string PathOf(const std::string& input) {
  const std::string scheme = "file://";
  if (input.compare(0, scheme.size(), scheme) != 0) return input;
  std::string path;
  for (size_t i = scheme.size(); i < input.size(); ++i) {
    if (input[i] == '%' && i + 2 < input.size() && std::isxdigit(uint8_t(input[i + 1])) &&
        std::isxdigit(uint8_t(input[i + 2]))) {
      path += char(std::strtol(input.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      path += input[i];
    }
  }
  return path;
}

struct Image {
  uint32_t width = 0, height = 0;
  std::vector<float> rgba;  // premultiplied, so that transparent pixels lend no colour
};

// One axis of an area-average resample: each output sample is the mean of the
// input it covers (a box filter as wide as the scale, at least one sample, so
// enlarging interpolates between neighbours).
Image ResampleAxis(const Image& in, uint32_t outLength, bool horizontal) {
  const uint32_t inLength = horizontal ? in.width : in.height;
  Image out;
  out.width = horizontal ? outLength : in.width;
  out.height = horizontal ? in.height : outLength;
  out.rgba.assign(size_t(out.width) * out.height * 4, 0.0f);
  const double scale = double(inLength) / outLength, radius = std::max(scale, 1.0) / 2;
  const uint32_t lines = horizontal ? in.height : in.width;
  for (uint32_t o = 0; o < outLength; ++o) {
    const double centre = (o + 0.5) * scale;
    const double lo = std::max(0.0, centre - radius), hi = std::min(double(inLength), centre + radius);
    for (uint32_t line = 0; line < lines; ++line) {
      float sum[4] = {0, 0, 0, 0};
      double weight = 0;
      for (uint32_t i = uint32_t(lo); i < inLength && i < hi; ++i) {
        const double w = std::min(hi, i + 1.0) - std::max(lo, double(i));
        if (w <= 0) continue;
        const size_t at = horizontal ? (size_t(line) * in.width + i) * 4 : (size_t(i) * in.width + line) * 4;
        for (int c = 0; c < 4; ++c) sum[c] += float(w) * in.rgba[at + c];
        weight += w;
      }
      const size_t to = horizontal ? (size_t(line) * out.width + o) * 4 : (size_t(o) * out.width + line) * 4;
      for (int c = 0; c < 4; ++c) out.rgba[to + c] = weight > 0 ? float(sum[c] / weight) : 0.0f;
    }
  }
  return out;
}

std::vector<uint8_t> Scale(const std::vector<uint8_t>& rgba, uint32_t width, uint32_t height, uint32_t outWidth,
                           uint32_t outHeight) {
  Image image{width, height, std::vector<float>(rgba.size())};
  for (size_t p = 0; p < rgba.size(); p += 4) {
    const float a = rgba[p + 3] / 255.0f;
    for (int c = 0; c < 3; ++c) image.rgba[p + c] = rgba[p + c] * a;
    image.rgba[p + 3] = rgba[p + 3];
  }
  image = ResampleAxis(ResampleAxis(image, outWidth, true), outHeight, false);
  std::vector<uint8_t> out(size_t(outWidth) * outHeight * 4);
  for (size_t p = 0; p < out.size(); p += 4) {
    const float a = image.rgba[p + 3];
    for (int c = 0; c < 3; ++c) out[p + c] = uint8_t(std::clamp(a > 0 ? image.rgba[p + c] * 255.0f / a : 0.0f, 0.0f, 255.0f) + 0.5f);
    out[p + 3] = uint8_t(std::clamp(a, 0.0f, 255.0f) + 0.5f);
  }
  return out;
}

int Run(int argc, char** argv) {
  const char* usage = "usage: tarn-thumbnailer -s SIZE INPUT OUTPUT";
  if (argc != 5 || std::strcmp(argv[1], "-s") != 0) return Fail(usage);
  char* rest = nullptr;
  errno = 0;
  const long size = std::strtol(argv[2], &rest, 10);
  if (errno || *rest || size < 1 || size > 4096) return Fail("-s needs a size from 1 to 4096 pixels");
  const std::string input = PathOf(argv[3]), output = argv[4];

  Movie* movie = MovieOpen(input.c_str(), OPEN_NO_THREAD | OPEN_ALPHA);
  if (!movie) return Fail(input + ": " + MovieGetError());
  // A tenth into the movie; the jump decodes from the key frame before it.
  const uint32_t target = movie->frameCount / 10 + 1;
  if ((target > 1 && !MovieGoto(movie, target)) || MovieDoFrame(movie) != 0) {
    const std::string why = MovieGetError()[0] ? MovieGetError() : "reading frame " + std::to_string(target) + " failed";
    MovieClose(movie);
    return Fail(input + ": " + why);
  }
  const uint32_t width = movie->width, height = movie->height;
  const bool alpha = movie->headerFlags & HDR_ALPHA;
  std::vector<uint8_t> rgba(size_t(width) * height * 4, 0);
  // COPY_FORMAT_32_ABGR is red, green, blue, alpha in memory.
  (void)MovieCopyToBuffer(movie, rgba.data(), int32_t(width * 4), height, 0, 0, 0, 0, width, height,
                          COPY_FORMAT_32_ABGR | COPY_FULL | COPY_NEVER_SKIP);
  MovieClose(movie);
  if (!alpha) {
    for (size_t p = 3; p < rgba.size(); p += 4) rgba[p] = 255;
  }
  const uint32_t longer = std::max(width, height);
  const uint32_t outWidth = std::max<uint32_t>(1, uint32_t((uint64_t(width) * size + longer / 2) / longer));
  const uint32_t outHeight = std::max<uint32_t>(1, uint32_t((uint64_t(height) * size + longer / 2) / longer));
  const std::vector<uint8_t> thumb = Scale(rgba, width, height, outWidth, outHeight);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = outWidth;
  image.height = outHeight;
  image.format = PNG_FORMAT_RGBA;
  if (!png_image_write_to_file(&image, output.c_str(), 0, thumb.data(), png_int_32(outWidth * 4), nullptr)) {
    return Fail("cannot write " + output + ": " + image.message);
  }
  return 0;
}

}  // namespace
}  // namespace tarn

int main(int argc, char** argv) { return tarn::Run(argc, argv); }
