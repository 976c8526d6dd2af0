// `tarn export`: a movie into files every other program reads, through the
// C interface: a YUV4MPEG2 stream (to a file or standard output), numbered
// PNG pictures, and one track's sound as a WAV file.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capi/tarn.h"
#include "tools/command.h"
#include "tools/frame_range.h"
#include "tools/outputs.h"

namespace tarn::tools {
namespace {

struct Options {
  std::string movie, y4m, pngDir, wav;
  bool haveTrack = false;
  uint32_t trackId = 0;
  bool alpha = false, quiet = false;
};

bool ParseCount(const std::string& s, uint32_t& out) {
  if (s.empty() || s.size() > 10 || s[0] < '0' || s[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno || *end || v > UINT32_MAX) return false;
  out = uint32_t(v);
  return true;
}

struct MovieCloser {
  void operator()(tarn_movie* m) const { tarn_close(m); }
};
struct FileCloser {
  void operator()(FILE* f) const {
    if (f && f != stdout) std::fclose(f);
  }
};

// The Y4M stream: 4:2:0 as the movie stores it, or with alpha full-size
// chroma (each chroma sample covering its 2 x 2 pixels) and the alpha plane.
class Y4mWriter {
 public:
  Y4mWriter(FILE* out, const tarn_info& info, bool alpha) : out_(out), info_(info), alpha_(alpha) {}

  bool Header() {
    uint32_t num = info_.rate_numerator, den = info_.rate_denominator;
    if (num == 0 || den == 0) num = 25, den = 1;  // a movie without a rate plays as fast as it can
    return std::fprintf(out_, "YUV4MPEG2 W%u H%u F%u:%u Ip A1:1 %s\n", info_.width, info_.height, num, den,
                        alpha_ ? "C444alpha" : "C420jpeg") > 0;
  }

  // One frame from the I420 picture (and the alpha plane when asked for).
  bool Frame(const std::vector<uint8_t>& i420, const tarn_planes& planes) {
    const size_t w = info_.width, h = info_.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    if (std::fputs("FRAME\n", out_) < 0) return false;
    if (!alpha_) return std::fwrite(i420.data(), 1, i420.size(), out_) == i420.size();
    if (std::fwrite(i420.data(), 1, w * h, out_) != w * h) return false;
    line_.resize(w);
    for (int p = 0; p < 2; ++p) {
      const uint8_t* chroma = i420.data() + w * h + size_t(p) * cw * ch;
      for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) line_[x] = chroma[(y / 2) * cw + x / 2];
        if (std::fwrite(line_.data(), 1, w, out_) != w) return false;
      }
    }
    for (size_t y = 0; y < h; ++y) {
      if (std::fwrite(planes.a + y * planes.a_stride, 1, w, out_) != w) return false;
    }
    return true;
  }

  uint64_t FrameBytes() const {
    const uint64_t w = info_.width, h = info_.height;
    return 6 + (alpha_ ? 4 * w * h : w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
  }

 private:
  FILE* out_;
  tarn_info info_;
  bool alpha_;
  std::vector<uint8_t> line_;
};

int Run(const std::vector<std::string>& args) {
  Options o;
  FrameRange range("export");
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "-o" || a == "--output") {
      if (!hasValue) return Fail("export: -o needs a file name (or - for standard output)");
      o.y4m = args[++i];
    } else if (a == "--png") {
      if (!hasValue) return Fail("export: --png needs a directory");
      o.pngDir = args[++i];
    } else if (a == "--audio") {
      if (!hasValue) return Fail("export: --audio needs a file name");
      o.wav = args[++i];
    } else if (a == "--track") {
      if (!hasValue || !ParseCount(args[++i], o.trackId)) return Fail("export: --track needs a track id");
      o.haveTrack = true;
    } else if (const int taken = range.Take(args, i); taken != 0) {
      if (taken < 0) return 1;
    } else if (a == "--alpha") {
      o.alpha = true;
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("export: unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) return Fail("export: need one MOVIE");
  o.movie = positional[0];
  if (o.y4m.empty() && o.pngDir.empty() && o.wav.empty()) {
    return Fail("export: say what to write: -o OUT.y4m, -o -, --png DIR or --audio OUT.wav");
  }
  if (o.y4m == "-" && isatty(1)) return Fail("export: standard output is a terminal; redirect it or name a file");

  tarn_movie* raw = nullptr;
  if (tarn_open_path(o.movie.c_str(), 0, &raw) != TARN_OK) {
    return Fail("export: cannot open " + o.movie + ": " + tarn_last_error(nullptr));
  }
  std::unique_ptr<tarn_movie, MovieCloser> movie(raw);
  tarn_info info{};
  (void)tarn_get_info(raw, &info);
  if (o.alpha && !info.has_alpha) return Fail("export: " + o.movie + " has no alpha plane");
  if ((!o.y4m.empty() || !o.pngDir.empty()) && (info.width == 0 || info.height == 0)) {
    return Fail("export: " + o.movie + " has an empty picture (" + std::to_string(info.width) + " x " +
                std::to_string(info.height) + "): no pictures to write");
  }
  const uint32_t first = range.First();
  if (first > info.frame_count) {
    return Fail("export: --start " + std::to_string(first) + " is beyond the " + std::to_string(info.frame_count) +
                " frames of " + o.movie);
  }

  // The sound: the track asked for, or the first compressed one.
  uint32_t track = UINT32_MAX;
  tarn_track trackInfo{};
  if (!o.wav.empty()) {
    for (uint32_t t = 0; t < info.track_count && track == UINT32_MAX; ++t) {
      tarn_track ti{};
      if (tarn_get_track(raw, t, &ti) == TARN_OK && (o.haveTrack ? ti.id == o.trackId : ti.codec != TARN_CODEC_NONE)) {
        track = t;
        trackInfo = ti;
      }
    }
    if (track == UINT32_MAX) {
      return Fail("export: " + o.movie + (o.haveTrack ? ": no audio track with id " + std::to_string(o.trackId)
                                                      : " has no compressed audio track"));
    }
    if (trackInfo.codec == TARN_CODEC_NONE) {
      return Fail("export: track id " + std::to_string(o.trackId) + " is not compressed audio");
    }
  }

  if (!o.pngDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.pngDir, ec);
    if (ec) return Fail("export: cannot make " + o.pngDir + ": " + ec.message());
  }
  std::unique_ptr<FILE, FileCloser> y4m;
  if (!o.y4m.empty()) {
    y4m.reset(o.y4m == "-" ? stdout : std::fopen(o.y4m.c_str(), "wb"));
    if (!y4m) return Fail("export: cannot write " + o.y4m + ": " + std::strerror(errno));
  }
  Y4mWriter writer(y4m.get(), info, o.alpha);
  if (y4m && !writer.Header()) return Fail("export: error writing " + o.y4m);

  const uint32_t total = std::min<uint64_t>(range.Count() ? range.Count() : UINT32_MAX, info.frame_count - first + 1);
  const bool bar = !o.quiet && isatty(2);
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> i420(size_t(info.width) * info.height + 2 * (size_t(info.width + 1) / 2) * ((info.height + 1) / 2));
  std::vector<uint8_t> rgb(size_t(info.width) * info.height * (info.has_alpha ? 4 : 3));
  const tarn_format pngFormat = info.has_alpha ? TARN_FORMAT_RGBA : TARN_FORMAT_RGB24;
  std::vector<int16_t> sound, frameSound;
  uint64_t bytes = 0;
  uint32_t done = 0;
  while (done < total) {
    // The first frame of a range that starts later is reached with a jump.
    tarn_status s = done == 0 && first > 1 ? tarn_goto_frame(raw, first) : tarn_next_frame(raw);
    if (s == TARN_END) break;
    if (s != TARN_OK) return Fail("export: " + o.movie + ": " + tarn_last_error(raw));
    const uint32_t frame = first + done;
    if (y4m) {
      tarn_planes planes{};
      if (tarn_get_picture(raw, TARN_FORMAT_I420, 0, i420.data(), i420.size(), 0) != TARN_OK ||
          (o.alpha && tarn_get_planes(raw, &planes) != TARN_OK)) {
        return Fail("export: " + o.movie + ": " + tarn_last_error(raw));
      }
      if (!writer.Frame(i420, planes)) return Fail("export: error writing " + o.y4m + ": " + std::strerror(errno));
      bytes += writer.FrameBytes();
    }
    if (!o.pngDir.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame%05u.png", frame);
      if (tarn_get_picture(raw, pngFormat, 0, rgb.data(), rgb.size(), 0) != TARN_OK) {
        return Fail("export: " + o.movie + ": " + tarn_last_error(raw));
      }
      if (!WritePng(o.pngDir + name, rgb.data(), info.width, info.height, info.has_alpha)) return Fail("export: cannot write " + o.pngDir + name);
    }
    if (track != UINT32_MAX) {
      size_t count = 0;
      s = tarn_get_frame_audio(raw, track, nullptr, 0, &count);
      frameSound.resize(count);
      if (s == TARN_OK) s = tarn_get_frame_audio(raw, track, frameSound.data(), frameSound.size(), &count);
      if (s != TARN_OK) return Fail("export: " + o.movie + ": " + tarn_last_error(raw));
      sound.insert(sound.end(), frameSound.begin(), frameSound.end());
    }
    ++done;
    if (bar) {
      ShowProgress(done, total, bytes, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  if (bar) std::fprintf(stderr, "\n");
  if (y4m && std::fflush(y4m.get()) != 0) return Fail("export: error writing " + o.y4m + ": " + std::strerror(errno));
  if (y4m && y4m.get() != stdout && std::fclose(y4m.release()) != 0) return Fail("export: error writing " + o.y4m);
  if (track != UINT32_MAX) {
    const std::string error = WriteWav(o.wav, sound.data(), sound.size(), trackInfo.sample_rate, trackInfo.channels);
    if (!error.empty()) return Fail("export: " + error);
  }
  return 0;
}

const TarnCommand command("export",
                          "export MOVIE (-o OUT.y4m | -o - | --png DIR) [--audio OUT.wav] [--track ID] "
                          "[--start N] [--frames K] [--alpha] [--quiet]",
                          Run);

}  // namespace
}  // namespace tarn::tools
