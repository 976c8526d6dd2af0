// `tarn planes`: decodes every frame (or a range of them) once and dumps its
// planes as raw bytes, or its luma (and alpha) as greyscale PNGs for a person
// to look at.
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/last_error.h"
#include "movie/movie.h"
#include "tools/command.h"
#include "tools/frame_range.h"

namespace tarn::tools {

namespace {

// Writes width x height bytes of a plane without its stride padding, straight
// from the plane (a plane without padding in one write); a plane the movie
// did not allocate is written as zeros.
bool WritePlane(FILE* out, const uint8_t* plane, uint32_t stride, uint32_t width, uint32_t height) {
  if (!plane) {
    static const uint8_t kZeros[4096] = {};
    for (uint64_t left = uint64_t(width) * height; left > 0;) {
      const size_t n = size_t(std::min<uint64_t>(left, sizeof kZeros));
      if (std::fwrite(kZeros, 1, n, out) != n) return false;
      left -= n;
    }
    return true;
  }
  if (stride == width) return std::fwrite(plane, 1, size_t(width) * height, out) == size_t(width) * height;
  for (uint32_t y = 0; y < height; ++y)
    if (std::fwrite(plane + size_t(y) * stride, 1, width, out) != width) return false;
  return true;
}

bool WritePng(const std::string& path, const uint8_t* plane, uint32_t stride, uint32_t width, uint32_t height) {
  if (!plane) return false;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_GRAY;
  return png_image_write_to_file(&image, path.c_str(), 0, plane, png_int_32(stride), nullptr) != 0;
}

int RunPlanes(const std::vector<std::string>& args) {
  std::string moviePath, outPath, pngDir;
  bool alpha = false, grey = false, strict = false;
  FrameRange range("planes");
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (const int taken = range.Take(args, i)) {
      if (taken < 0) return 1;
    } else if (a == "--alpha") {
      alpha = true;
    } else if (a == "--grey") {
      grey = true;
    } else if (a == "--strict") {
      strict = true;
    } else if (a == "--png") {
      if (++i == args.size()) return Fail("planes: --png needs a directory");
      pngDir = args[i];
    } else if (!a.empty() && a[0] == '-') {
      return Fail("planes: unknown option " + a);
    } else if (moviePath.empty()) {
      moviePath = a;
    } else if (outPath.empty()) {
      outPath = a;
    } else {
      return Fail("planes: too many arguments");
    }
  }
  if (moviePath.empty() || (outPath.empty() == pngDir.empty()))
    return Fail("usage: tarn planes MOVIE OUT [--alpha] [--grey] [--strict] [--start N] [--frames K] | "
                "tarn planes MOVIE --png DIR");

  uint32_t flags = OPEN_NO_THREAD;
  if (alpha) flags |= OPEN_ALPHA;
  if (grey) flags |= OPEN_GREY;
  Movie* movie = MovieOpen(moviePath.c_str(), flags);
  if (!movie) return Fail(moviePath + ": " + MovieGetError());
  MoviePlanes planes;
  if (!MovieGetPlanes(movie, &planes)) {
    MovieClose(movie);
    return Fail(moviePath + ": the movie has no picture buffers");
  }
  const uint32_t last = range.Begin(movie, moviePath);
  if (last == 0) {
    MovieClose(movie);
    return 1;
  }
  FILE* out = nullptr;
  if (!outPath.empty()) {
    out = std::fopen(outPath.c_str(), "wb");
    if (!out) {
      MovieClose(movie);
      return Fail("cannot write " + outPath);
    }
  }
  const bool withAlpha = alpha && (movie->headerFlags & HDR_ALPHA);
  bool corrupt = false, failed = false;
  std::string why;
  for (uint32_t f = range.First(); f <= last && !failed; ++f) {
    if (MovieDoFrame(movie) != 0) {
      why = "reading frame " + std::to_string(f) + " failed";
      failed = true;
      break;
    }
    corrupt |= MovieLastFrameCorrupt(movie);
    MovieGetPlanes(movie, &planes);
    // Alpha has the luma plane's size.
    const uint32_t width = planes.width[PLANE_LUMA], height = planes.height[PLANE_LUMA];
    auto write = [&](uint32_t p, uint32_t w, uint32_t h) {
      return WritePlane(out, planes.plane[p], planes.stride[p], w, h);
    };
    if (out) {
      if (!write(PLANE_LUMA, width, height) ||
          !write(PLANE_CHROMA1, planes.width[PLANE_CHROMA1], planes.height[PLANE_CHROMA1]) ||
          !write(PLANE_CHROMA2, planes.width[PLANE_CHROMA2], planes.height[PLANE_CHROMA2]) ||
          (withAlpha && !write(PLANE_ALPHA, width, height))) {
        why = "cannot write " + outPath;
        failed = true;
      }
    } else {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%05u", f);
      const std::string base = pngDir + name;
      if (!WritePng(base + "_y.png", planes.plane[PLANE_LUMA], planes.stride[PLANE_LUMA], width, height) ||
          (withAlpha &&
           !WritePng(base + "_a.png", planes.plane[PLANE_ALPHA], planes.stride[PLANE_ALPHA], width, height))) {
        why = "cannot write " + base + "_y.png";
        failed = true;
      }
    }
    range.Done(f);
    if (f < last) MovieNextFrame(movie);
  }
  range.End();
  MovieClose(movie);
  if (out && std::fclose(out) != 0 && !failed) {
    why = "cannot write " + outPath;
    failed = true;
  }
  if (failed) return Fail(moviePath + ": " + why);
  return strict && corrupt ? 2 : 0;
}

const TarnCommand kPlanes("planes",
                          "planes MOVIE OUT [--alpha] [--grey] [--strict] [--start N] [--frames K] | "
                          "planes MOVIE --png DIR   dump decoded planes",
                          RunPlanes);

}  // namespace

}  // namespace tarn::tools
