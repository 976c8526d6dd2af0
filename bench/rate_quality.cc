// Rate and quality of the encoder on the photograph pans of
// scripts/make_clips.sh (made on first use): bytes, luma PSNR, encode and
// decode frames per second at four qualities, with VP8's figures at the same
// bytes beside them when Debian's vpx-tools is installed, and the ratio of the
// two curves' bytes at equal PSNR (the mean of their log-bytes difference
// over the common PSNR range, VP8's curve through all its points).
//   rate_quality [--clips DIR] [--frames N] [--qualities Q,Q,...] [--threads N] [--no-vp8]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/worker_pool.h"
#include "encoder/inputs.h"
#include "encoder/movie_encoder.h"
#include "movie/movie.h"

namespace {

using tarn::encoder::Picture;

struct Point {
  double bytes = 0, psnr = 0, fps = 0;
  double decodeSerial = 0, decodeParallel = 0;  // frames per second, medians of five decodes
};

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Luma PSNR over the whole clip, from the summed squared error.
double Psnr(double sse, double samples) { return 10 * std::log10(255.0 * 255.0 * samples / std::max(sse, 1e-9)); }

double LumaSse(const uint8_t* a, size_t aStride, const Picture& p) {
  double sse = 0;
  for (uint32_t y = 0; y < p.height; ++y)
    for (uint32_t x = 0; x < p.width; ++x) {
      const double d = double(a[y * aStride + x]) - p.y[size_t(y) * p.width + x];
      sse += d * d;
    }
  return sse;
}

// Decodes a movie image through the library and measures its luma against
// the clip; *fps receives the decode's frames per second.
bool DecodedPsnr(const std::vector<uint8_t>& movie, const std::vector<Picture>& clip, uint32_t flags, double* psnr,
                 double* fps) {
  tarn::Movie* m = tarn::MovieOpenMemory(movie.data(), movie.size(), tarn::OPEN_NO_THREAD | flags);
  if (!m) return false;
  double decoding = 0;
  double sse = 0, samples = 0;
  tarn::MoviePlanes planes;
  for (uint32_t f = 0; f < m->frameCount && f < clip.size(); ++f) {
    const auto start = std::chrono::steady_clock::now();
    const bool decoded = tarn::MovieDoFrame(m) == 0;
    decoding += Seconds(start);
    if (!decoded || !tarn::MovieGetPlanes(m, &planes)) {
      tarn::MovieClose(m);
      return false;
    }
    sse += LumaSse(planes.plane[tarn::PLANE_LUMA], planes.stride[tarn::PLANE_LUMA], clip[f]);
    samples += double(clip[f].width) * clip[f].height;
    tarn::MovieNextFrame(m);
  }
  tarn::MovieClose(m);
  *psnr = Psnr(sse, samples);
  *fps = double(clip.size()) / std::max(decoding, 1e-9);
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

Point EncodeTarn(const std::vector<Picture>& clip, int quality, int threads) {
  tarn::encoder::EncodeOptions o;
  o.quality = quality;
  o.rateNumerator = 30;
  o.rateDenominator = 1;
  o.threads = threads;
  std::vector<uint8_t> movie;
  std::string why;
  const auto start = std::chrono::steady_clock::now();
  Point p;
  if (!tarn::encoder::EncodeMovieMemory(clip, {}, o, movie, &why)) {
    std::fprintf(stderr, "rate_quality: encode failed: %s\n", why.c_str());
    return p;
  }
  p.fps = double(clip.size()) / Seconds(start);
  p.bytes = double(movie.size());
  std::vector<double> serial, parallel;
  for (int run = 0; run < 5; ++run) {
    double one = 0, all = 0;
    if (!DecodedPsnr(movie, clip, tarn::OPEN_SERIAL_DECODE, &p.psnr, &one) ||
        !DecodedPsnr(movie, clip, 0, &p.psnr, &all)) {
      std::fprintf(stderr, "rate_quality: the movie does not decode\n");
      return p;
    }
    serial.push_back(one);
    parallel.push_back(all);
  }
  p.decodeSerial = Median(serial);
  p.decodeParallel = Median(parallel);
  return p;
}

// --- VP8 through vpxenc and vpxdec ---------------------------------------------

bool HaveVpx() { return std::system("command -v vpxenc >/dev/null 2>&1 && command -v vpxdec >/dev/null 2>&1") == 0; }

bool WriteY4m(const std::string& path, const std::vector<Picture>& clip) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fprintf(f, "YUV4MPEG2 W%u H%u F30:1 Ip A1:1 C420jpeg\n", clip[0].width, clip[0].height);
  for (const Picture& p : clip) {
    std::fputs("FRAME\n", f);
    std::fwrite(p.y.data(), 1, p.y.size(), f);
    std::fwrite(p.cb.data(), 1, p.cb.size(), f);
    std::fwrite(p.cr.data(), 1, p.cr.size(), f);
  }
  return std::fclose(f) == 0;
}

// One VP8 encode at kbit/s, as the comparison was first measured; the figures
// are kept in the clip folder since they never change.
Point EncodeVp8(const std::string& dir, const std::string& name, const std::string& y4m, const std::vector<Picture>& clip, int kbits) {
  Point p;
  const std::string cache = dir + "/" + name + "_vp8_" + std::to_string(clip.size()) + "_" + std::to_string(kbits) + ".txt";
  if (FILE* f = std::fopen(cache.c_str(), "r")) {
    const bool ok = std::fscanf(f, "%lf %lf %lf", &p.bytes, &p.psnr, &p.fps) == 3;
    std::fclose(f);
    if (ok) return p;
  }
  const std::string ivf = dir + "/vp8.ivf", yuv = dir + "/vp8.yuv";
  const std::string enc = "vpxenc --codec=vp8 --good --cpu-used=2 --threads=1 --end-usage=vbr --target-bitrate=" +
                          std::to_string(kbits) + " --limit=" + std::to_string(clip.size()) + " -q -o " + ivf +
                          " " + y4m + " 2>/dev/null";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(enc.c_str()) != 0) return p;
  p.fps = double(clip.size()) / Seconds(start);
  struct stat st;
  if (::stat(ivf.c_str(), &st) != 0) return p;
  p.bytes = double(st.st_size);
  if (std::system(("vpxdec --i420 -o " + yuv + " " + ivf + " 2>/dev/null").c_str()) != 0) return p;
  FILE* f = std::fopen(yuv.c_str(), "rb");
  if (!f) return p;
  const uint32_t w = clip[0].width, h = clip[0].height;
  std::vector<uint8_t> frame(size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2));
  double sse = 0, samples = 0;
  for (const Picture& pic : clip) {
    if (std::fread(frame.data(), 1, frame.size(), f) != frame.size()) break;
    sse += LumaSse(frame.data(), w, pic);
    samples += double(w) * h;
  }
  std::fclose(f);
  std::remove(yuv.c_str());
  std::remove(ivf.c_str());
  p.psnr = Psnr(sse, samples);
  if (FILE* out = std::fopen(cache.c_str(), "w")) {
    std::fprintf(out, "%.0f %.4f %.3f\n", p.bytes, p.psnr, p.fps);
    std::fclose(out);
  }
  return p;
}

// log(bytes) at psnr on the piecewise-linear curve through points (sorted by PSNR).
double LogBytesAt(const std::vector<Point>& c, double psnr) {
  for (size_t i = 1; i < c.size(); ++i) {
    if (psnr <= c[i].psnr || i + 1 == c.size()) {
      const double t = (psnr - c[i - 1].psnr) / (c[i].psnr - c[i - 1].psnr);
      return std::log(c[i - 1].bytes) + t * (std::log(c[i].bytes) - std::log(c[i - 1].bytes));
    }
  }
  return std::log(c[0].bytes);
}

// The points of a curve that more bytes improve: sorted by bytes, each kept
// only when its PSNR is above every point before it.
std::vector<Point> Rising(std::vector<Point> c) {
  std::sort(c.begin(), c.end(), [](const Point& x, const Point& y) { return x.bytes < y.bytes; });
  std::vector<Point> out;
  for (const Point& p : c)
    if (p.bytes > 0 && (out.empty() || p.psnr > out.back().psnr + 0.05)) out.push_back(p);
  return out;
}

// Mean of the log-bytes difference of the two curves over their common PSNR
// range, as a ratio of bytes; 0 when the ranges do not overlap.
double BytesRatio(std::vector<Point> a, std::vector<Point> b, double* lo, double* hi) {
  a = Rising(a);
  b = Rising(b);
  if (a.size() < 2 || b.size() < 2) return 0;
  *lo = std::max(a.front().psnr, b.front().psnr);
  *hi = std::min(a.back().psnr, b.back().psnr);
  if (*hi <= *lo) return 0;
  const int steps = 1000;
  double sum = 0;
  for (int i = 0; i <= steps; ++i) {
    const double p = *lo + (*hi - *lo) * i / steps;
    sum += (LogBytesAt(a, p) - LogBytesAt(b, p)) * (i == 0 || i == steps ? 0.5 : 1.0);
  }
  return std::exp(sum / steps);
}

std::vector<int> ParseList(const std::string& s) {
  std::vector<int> v;
  size_t pos = 0;
  while (pos < s.size()) {
    v.push_back(std::atoi(s.c_str() + pos));
    const size_t comma = s.find(',', pos);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return v;
}

std::string Mb(double bytes) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2fM", bytes / 1e6);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("TARN_CLIPS");
  std::string dir = env ? env : "clips";
  int frames = 120, threads = 0;
  bool vp8 = true;
  std::vector<int> qualities = {40, 60, 80, 95};
  const std::vector<int> vp8Rates = {150, 300, 800, 3000};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--clips" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--frames" && i + 1 < argc) {
      frames = std::max(2, std::atoi(argv[++i]));
    } else if (a == "--qualities" && i + 1 < argc) {
      qualities = ParseList(argv[++i]);
    } else if (a == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (a == "--no-vp8") {
      vp8 = false;
    } else {
      std::fprintf(stderr, "usage: rate_quality [--clips DIR] [--frames N] [--qualities Q,...] [--threads N] [--no-vp8]\n");
      return 2;
    }
  }
  vp8 = vp8 && HaveVpx();
  const char* names[] = {"ladybird", "raindrops", "storm"};
  std::string missing;
  for (const char* n : names) {
    char last[32];
    std::snprintf(last, sizeof last, "/frame_%04d.png", frames - 1);
    if (!Exists(dir + "/" + n + last)) missing += std::string(" ") + n;
  }
  if (!missing.empty()) {
    const std::string cmd = std::string(TARN_SOURCE_DIR) + "/scripts/make_clips.sh " + dir + " " +
                            std::to_string(frames) + " 1280 720" + missing;
    std::fprintf(stderr, "rate_quality: making the clips:%s\n", missing.c_str());
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  std::printf("%d-frame 1280x720 pans at 30 fps; Tarn with %d threads", frames, threads ? threads : tarn::ThreadsWanted());
  if (vp8) std::printf(", VP8 by vpxenc --good --cpu-used=2 --threads=1 --end-usage=vbr");
  std::printf("\n\n| clip | --quality | bytes | PSNR | encode fps | decode fps, 1 thread / all | VP8 at those bytes: bytes | PSNR | fps |\n"
              "|---|---|---|---|---|---|---|---|---|\n");
  std::string summary;
  for (const char* n : names) {
    std::string why;
    auto src = tarn::encoder::OpenPngSequence(dir + "/" + n + "/frame_%04d.png", &why);
    if (!src) {
      std::fprintf(stderr, "rate_quality: %s\n", why.c_str());
      return 1;
    }
    std::vector<Picture> clip;
    Picture p;
    while (int(clip.size()) < frames && src->Next(p)) clip.push_back(p);
    std::vector<Point> tarn, same, curve;
    for (int q : qualities) tarn.push_back(EncodeTarn(clip, q, threads));
    if (vp8) {
      const std::string y4m = dir + "/" + n + "_" + std::to_string(frames) + ".y4m";
      if (!Exists(y4m) && !WriteY4m(y4m, clip)) return 1;
      const double seconds = double(clip.size()) / 30;
      for (const Point& t : tarn) same.push_back(EncodeVp8(dir, n, y4m, clip, int(std::lround(t.bytes * 8 / 1000 / seconds))));
      for (int k : vp8Rates) curve.push_back(EncodeVp8(dir, n, y4m, clip, k));
    }
    for (size_t i = 0; i < tarn.size(); ++i) {
      const Point& t = tarn[i];
      std::printf("| %s | %d | %s | %.2f | %.1f | %.0f / %.0f (%.2fx) |", n, qualities[i], Mb(t.bytes).c_str(), t.psnr,
                  t.fps, t.decodeSerial, t.decodeParallel, t.decodeParallel / std::max(t.decodeSerial, 1e-9));
      if (i < same.size()) {
        std::printf(" %s | %.2f | %.1f |\n", Mb(same[i].bytes).c_str(), same[i].psnr, same[i].fps);
      } else {
        std::printf(" - | - | - |\n");
      }
    }
    // The summary row: both curves, and the ratio of their bytes at equal PSNR.
    std::string row = std::string("| ") + n + " |";
    char b[64];
    for (const Point& t : tarn) {
      std::snprintf(b, sizeof b, " %s:%.1f", Mb(t.bytes).c_str(), t.psnr);
      row += b;
    }
    row += " |";
    for (const Point& v : curve) {
      std::snprintf(b, sizeof b, " %s:%.1f", Mb(v.bytes).c_str(), v.psnr);
      row += b;
    }
    std::vector<Point> all = same;
    all.insert(all.end(), curve.begin(), curve.end());
    double lo = 0, hi = 0;
    const double ratio = vp8 ? BytesRatio(tarn, all, &lo, &hi) : 0;
    if (ratio > 0) {
      std::snprintf(b, sizeof b, " | %.2f (over %.1f-%.1f dB) |\n", ratio, lo, hi);
    } else {
      std::snprintf(b, sizeof b, " | - |\n");
    }
    summary += row + b;
    std::fflush(stdout);
  }
  std::printf("\n| clip | Tarn bytes:PSNR | VP8 at 150, 300, 800, 3000 kbit/s | Tarn's bytes / VP8's at equal PSNR |\n"
              "|---|---|---|---|\n%s", summary.c_str());
  return 0;
}
