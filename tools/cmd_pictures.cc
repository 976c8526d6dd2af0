// `tarn pictures`: decodes every frame of a movie (or a range of them) and
// copies the whole frame into a destination format, appending the raw
// buffers to one file, or writing one PNG per frame for a person to look at.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/last_error.h"
#include "convert/copy.h"
#include "movie/movie.h"
#include "tools/command.h"
#include "tools/frame_range.h"
#include "tools/outputs.h"

namespace tarn::tools {
namespace {

bool ParseNumber(const std::string& s, uint32_t max, uint32_t& out) {
  if (s.empty() || s.size() > 10) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(s.c_str(), &end, 10);
  if (errno || *end || v > max) return false;
  out = uint32_t(v);
  return true;
}

struct Options {
  std::string movie, out, pngDir;
  uint32_t format = 0;
  bool haveFormat = false;
  uint32_t display = 0;
  bool grey = false, showAlpha = false, alpha = false;
};

// Buffer geometry of one frame: pitch and total bytes (YV12 adds the V and U
// planes of pitch / 2 x (height + 1) / 2 after the Y plane).
struct Geometry {
  int32_t pitch;
  size_t bytes;
};
Geometry GeometryFor(uint32_t format, uint32_t width, uint32_t height) {
  if (format == COPY_FORMAT_YV12) {
    const size_t pitch = (size_t(width) + 1) / 2 * 2;
    return {int32_t(pitch), pitch * height + 2 * (pitch / 2) * ((size_t(height) + 1) / 2)};
  }
  const size_t pitch = size_t(width) * CopyFormatBytesPerPixel(format);
  return {int32_t(pitch), pitch * height};
}

int Run(const std::vector<std::string>& args) {
  Options o;
  FrameRange range("pictures");
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (const int taken = range.Take(args, i)) {
      if (taken < 0) return 1;
    } else if (a == "--format") {
      if (!hasValue || !ParseNumber(args[++i], COPY_FORMAT_COUNT - 1, o.format))
        return Fail("pictures: --format needs a code from 0 to 15");
      o.haveFormat = true;
    } else if (a == "--display") {
      if (!hasValue || !ParseNumber(args[++i], DISPLAY_FORCE_NONE, o.display))
        return Fail("pictures: --display needs an option from 0 to 7");
    } else if (a == "--png") {
      if (!hasValue) return Fail("pictures: --png needs a directory");
      o.pngDir = args[++i];
    } else if (a == "--grey") {
      o.grey = true;
    } else if (a == "--show-alpha") {
      o.showAlpha = true;
    } else if (a == "--alpha") {
      o.alpha = true;
    } else if (!a.empty() && a[0] == '-') {
      return Fail("pictures: unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return Fail("pictures: need MOVIE and OUT");
  o.movie = positional[0];
  o.out = positional[1];
  if (!o.haveFormat && o.pngDir.empty()) return Fail("pictures: need --format CODE (or --png DIR)");

  uint32_t openFlags = OPEN_NO_THREAD | (o.display << OPEN_DISPLAY_SHIFT);
  if (o.grey) openFlags |= OPEN_GREY;
  if (o.alpha) openFlags |= OPEN_ALPHA;
  Movie* movie = MovieOpen(o.movie.c_str(), openFlags);
  if (!movie) return Fail("pictures: cannot open " + o.movie + ": " + MovieGetError());
  const uint32_t last = range.Begin(movie, o.movie);
  if (last == 0) {
    MovieClose(movie);
    return 1;
  }

  const bool png = !o.pngDir.empty();
  const bool pngAlpha = png && (movie->flags & OPEN_ALPHA);
  // PNG pictures are copied as bytes red, green, blue (and alpha).
  const uint32_t format = png ? (pngAlpha ? COPY_FORMAT_32_ABGR : COPY_FORMAT_24_BGR) : o.format;
  const uint32_t copyFlags = format | COPY_FULL | COPY_NEVER_SKIP | (o.showAlpha ? COPY_SHOW_ALPHA : 0);
  const Geometry g = GeometryFor(format, movie->width, movie->height);
  std::vector<uint8_t> buffer(g.bytes);

  FILE* out = nullptr;
  if (!png) {
    out = std::fopen(o.out.c_str(), "wb");
    if (!out) {
      MovieClose(movie);
      return Fail("pictures: cannot write " + o.out + ": " + std::strerror(errno));
    }
  }
  int status = 0;
  for (uint32_t frame = range.First(); frame <= last && status == 0; ++frame) {
    if (MovieDoFrame(movie) != 0) {
      status = Fail("pictures: reading frame " + std::to_string(frame) + " of " + o.movie + " failed");
      break;
    }
    std::fill(buffer.begin(), buffer.end(), uint8_t(0));
    (void)MovieCopyToBuffer(movie, buffer.data(), g.pitch, movie->height, 0, 0, 0, 0, movie->width,
                            movie->height, copyFlags);
    if (png) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame%05u.png", frame);
      if (!WritePng(o.pngDir + name, buffer.data(), movie->width, movie->height, pngAlpha))
        status = Fail("pictures: cannot write " + o.pngDir + name);
    } else if (std::fwrite(buffer.data(), 1, buffer.size(), out) != buffer.size()) {
      status = Fail("pictures: error writing " + o.out);
    }
    range.Done(frame);
    if (frame < last) MovieNextFrame(movie);
  }
  range.End();
  if (out && std::fclose(out) != 0 && status == 0) status = Fail("pictures: error writing " + o.out);
  MovieClose(movie);
  return status;
}

const TarnCommand command(
    "pictures",
    "pictures MOVIE OUT --format CODE [--display N] [--grey] [--show-alpha] [--alpha] [--png DIR] "
    "[--start N] [--frames K]",
    Run);

}  // namespace
}  // namespace tarn::tools
