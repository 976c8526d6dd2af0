// `tarn synth`: draws the procedural clips the build and the tests encode:
// the demo animation with its tone track, the end card, and plain test clips.
// Video is written as YUV4MPEG2 (4:2:0), sound as 16-bit PCM WAV.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/command.h"

namespace tarn::tools {
namespace {

struct Rgb {
  double r, g, b;
};

// A 5 x 7 bitmap font for the few letters the pictures need.
const char* Glyph(char c) {
  switch (c) {
    case 'T': return "11111001000010000100001000010000100";
    case 'A': return "01110100011000111111100011000110001";
    case 'R': return "11110100011000111110101001001010001";
    case 'N': return "10001110011010110011100011000110001";
    case 'P': return "11110100011000111110100001000010000";
    case 'L': return "10000100001000010000100001000011111";
    case 'Y': return "10001100010101000100001000010000100";
    case 'E': return "11111100001000011110100001000011111";
    case 'D': return "11110100011000110001100011000111110";
    case 'M': return "10001110111010110101100011000110001";
    case 'O': return "01110100011000110001100011000101110";
    default: return nullptr;
  }
}

class Picture {
 public:
  Picture(int w, int h) : w_(w), h_(h), px_(size_t(w) * h) {}
  void Set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w_ && y < h_) px_[size_t(y) * w_ + x] = c;
  }
  Rgb& At(int x, int y) { return px_[size_t(y) * w_ + x]; }
  int w() const { return w_; }
  int h() const { return h_; }

  // Text of the font above, each dot scale x scale pixels, top-left at (x, y).
  void Text(const char* text, int x, int y, int scale, Rgb c) {
    for (; *text; ++text, x += 6 * scale) {
      const char* g = Glyph(*text);
      if (!g) continue;
      for (int gy = 0; gy < 7; ++gy)
        for (int gx = 0; gx < 5; ++gx)
          if (g[gy * 5 + gx] == '1')
            for (int sy = 0; sy < scale; ++sy)
              for (int sx = 0; sx < scale; ++sx) Set(x + gx * scale + sx, y + gy * scale + sy, c);
    }
  }
  static int TextWidth(const char* text, int scale) { return int(std::strlen(text)) * 6 * scale - scale; }

  void Disc(double cx, double cy, double r, Rgb c) {
    for (int y = int(cy - r) - 1; y <= int(cy + r) + 1; ++y)
      for (int x = int(cx - r) - 1; x <= int(cx + r) + 1; ++x) {
        const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
        const double a = std::clamp(r - d + 0.5, 0.0, 1.0);  // soft edge
        if (a > 0 && x >= 0 && y >= 0 && x < w_ && y < h_) {
          Rgb& p = At(x, y);
          p = {p.r + (c.r - p.r) * a, p.g + (c.g - p.g) * a, p.b + (c.b - p.b) * a};
        }
      }
  }

  // Appends one 4:2:0 frame (full-range BT.601) to a YUV4MPEG2 stream.
  void WriteY4mFrame(FILE* f) const {
    const int cw = (w_ + 1) / 2, ch = (h_ + 1) / 2;
    std::vector<uint8_t> y(size_t(w_) * h_), u(size_t(cw) * ch), v(size_t(cw) * ch);
    auto clamp8 = [](double x) { return uint8_t(std::lround(std::clamp(x, 0.0, 255.0))); };
    for (int j = 0; j < h_; ++j)
      for (int i = 0; i < w_; ++i) {
        const Rgb& p = px_[size_t(j) * w_ + i];
        y[size_t(j) * w_ + i] = clamp8(0.299 * p.r + 0.587 * p.g + 0.114 * p.b);
      }
    for (int j = 0; j < ch; ++j)
      for (int i = 0; i < cw; ++i) {
        double r = 0, g = 0, b = 0;
        int n = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) {
            const int x = 2 * i + dx, yy = 2 * j + dy;
            if (x < w_ && yy < h_) {
              const Rgb& p = px_[size_t(yy) * w_ + x];
              r += p.r, g += p.g, b += p.b, ++n;
            }
          }
        r /= n, g /= n, b /= n;
        u[size_t(j) * cw + i] = clamp8(128 - 0.168736 * r - 0.331264 * g + 0.5 * b);
        v[size_t(j) * cw + i] = clamp8(128 + 0.5 * r - 0.418688 * g - 0.081312 * b);
      }
    std::fputs("FRAME\n", f);
    std::fwrite(y.data(), 1, y.size(), f);
    std::fwrite(u.data(), 1, u.size(), f);
    std::fwrite(v.data(), 1, v.size(), f);
  }

 private:
  int w_, h_;
  std::vector<Rgb> px_;
};

Rgb Hsv(double h, double s, double v) {
  h = std::fmod(h, 1.0) * 6;
  const int i = int(h);
  const double f = h - i, p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
  const Rgb table[6] = {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}};
  const Rgb c = table[i % 6];
  return {c.r * 255, c.g * 255, c.b * 255};
}

void DrawDemo(Picture& pic, int frame, int frames) {
  const double t = double(frame) / std::max(1, frames);
  for (int y = 0; y < pic.h(); ++y)
    for (int x = 0; x < pic.w(); ++x) {
      const double u = double(x) / pic.w(), v = double(y) / pic.h();
      pic.At(x, y) = Hsv(0.55 + 0.15 * std::sin(6.283 * (u * 0.5 + t)) + 0.1 * v, 0.6, 0.25 + 0.2 * v);
    }
  for (int k = 0; k < 5; ++k) {
    const double a = 6.283 * (t * (1 + k * 0.3) + k / 5.0);
    pic.Disc(pic.w() * (0.5 + 0.35 * std::cos(a)), pic.h() * (0.5 + 0.3 * std::sin(2 * a)),
             pic.h() * (0.05 + 0.02 * k), Hsv(k / 5.0 + t, 0.8, 0.95));
  }
  const int scale = std::max(2, pic.w() / 60);
  const char* title = "TARN";
  pic.Text(title, (pic.w() - Picture::TextWidth(title, scale)) / 2, pic.h() / 2 - 7 * scale / 2, scale,
           {250, 250, 240});
}

void DrawEndCard(Picture& pic) {
  for (int y = 0; y < pic.h(); ++y)
    for (int x = 0; x < pic.w(); ++x) pic.At(x, y) = {10.0, 20.0 + 30.0 * y / pic.h(), 40.0 + 60.0 * y / pic.h()};
  const int big = 8;
  pic.Text("TARN", (pic.w() - Picture::TextWidth("TARN", big)) / 2, 70, big, {240, 240, 230});
  const int small = 3;
  pic.Text("PLAYER", (pic.w() - Picture::TextWidth("PLAYER", small)) / 2, 150, small, {200, 210, 120});
}

void DrawTestClip(Picture& pic, int frame) {
  // Gradients, a moving square, noise and hard edges: every block kind has a use.
  uint32_t seed = 12345u + uint32_t(frame) * 7919u;
  for (int y = 0; y < pic.h(); ++y)
    for (int x = 0; x < pic.w(); ++x) {
      seed = seed * 1664525u + 1013904223u;
      const double noise = (y > pic.h() * 3 / 4) ? double(seed >> 24) : 0.0;
      pic.At(x, y) = {255.0 * x / pic.w(), 255.0 * y / pic.h(), noise};
    }
  const int s = pic.h() / 4, ox = (frame * 3) % std::max(1, pic.w() - s), oy = pic.h() / 4;
  for (int y = 0; y < s; ++y)
    for (int x = 0; x < s; ++x) pic.Set(ox + x, oy + y, {240, 40, 40});
  pic.Text("TARN", 4, 4, 2, {255, 255, 255});
}

bool ParseSize(const std::string& s, int& w, int& h) {
  return std::sscanf(s.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0 && w <= 8192 && h <= 8192;
}

int WriteVideo(const std::vector<std::string>& args) {
  std::string out, pattern = "test", rate = "30:1";
  int w = 320, h = 240, frames = 30;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool more = i + 1 < args.size();
    if (a == "--size" && more) {
      if (!ParseSize(args[++i], w, h)) return Fail("synth: bad --size (WxH)");
    } else if (a == "--frames" && more) {
      frames = std::atoi(args[++i].c_str());
    } else if (a == "--rate" && more) {
      rate = args[++i];
      for (char& c : rate) c = c == '/' ? ':' : c;
    } else if (a == "--pattern" && more) {
      pattern = args[++i];
    } else if (out.empty()) {
      out = a;
    } else {
      return Fail("synth: unexpected argument '" + a + "'");
    }
  }
  if (out.empty() || frames <= 0 || frames > 100000) return Fail("synth video: need OUT.y4m and 1..100000 frames");
  if (pattern != "demo" && pattern != "endcard" && pattern != "test") return Fail("synth: unknown pattern '" + pattern + "'");
  FILE* f = std::fopen(out.c_str(), "wb");
  if (!f) return Fail("synth: cannot write " + out);
  std::fprintf(f, "YUV4MPEG2 W%d H%d F%s Ip A1:1 C420jpeg\n", w, h, rate.c_str());
  Picture pic(w, h);
  for (int i = 0; i < frames; ++i) {
    if (pattern == "demo") DrawDemo(pic, i, frames);
    else if (pattern == "endcard") DrawEndCard(pic);
    else DrawTestClip(pic, i);
    pic.WriteY4mFrame(f);
  }
  return std::fclose(f) == 0 ? 0 : Fail("synth: error writing " + out);
}

// A short tune: a repeating arpeggio of plucked notes over a soft drone.
int WriteAudio(const std::vector<std::string>& args) {
  std::string out;
  double seconds = 4;
  int rate = 44100, channels = 2;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool more = i + 1 < args.size();
    if (a == "--seconds" && more) seconds = std::atof(args[++i].c_str());
    else if (a == "--rate" && more) rate = std::atoi(args[++i].c_str());
    else if (a == "--channels" && more) channels = std::atoi(args[++i].c_str());
    else if (out.empty()) out = a;
    else return Fail("synth: unexpected argument '" + a + "'");
  }
  if (out.empty() || seconds <= 0 || seconds > 3600 || rate < 4000 || rate > 48000 || channels < 1 || channels > 2)
    return Fail("synth audio: need OUT.wav, 0 < seconds <= 3600, rate 4000..48000, 1 or 2 channels");
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* sf = sf_open(out.c_str(), SFM_WRITE, &info);
  if (!sf) return Fail("synth: cannot write " + out + ": " + sf_strerror(nullptr));
  const double notes[8] = {261.63, 329.63, 392.00, 523.25, 392.00, 329.63, 293.66, 349.23};
  const double step = 0.25;  // seconds per note
  const sf_count_t total = sf_count_t(seconds * rate);
  std::vector<short> block(size_t(channels) * 4096);
  for (sf_count_t n = 0; n < total;) {
    const sf_count_t count = std::min<sf_count_t>(4096, total - n);
    for (sf_count_t k = 0; k < count; ++k) {
      const double t = double(n + k) / rate;
      const int note = int(t / step);
      const double local = t - note * step;
      const double f = notes[note % 8];
      const double env = std::exp(-local * 9.0);
      double s = env * (0.5 * std::sin(6.283185 * f * t) + 0.2 * std::sin(6.283185 * 2 * f * t));
      s += 0.12 * std::sin(6.283185 * 130.81 * t);  // drone
      for (int c = 0; c < channels; ++c) {
        const double pan = channels == 2 ? (c == 0 ? 1.0 - 0.3 * (note % 2) : 0.7 + 0.3 * (note % 2)) : 1.0;
        block[size_t(k) * channels + c] = short(std::lround(std::clamp(s * pan, -1.0, 1.0) * 26000));
      }
    }
    sf_writef_short(sf, block.data(), count);
    n += count;
  }
  sf_close(sf);
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("synth: say what to draw: video or audio");
  if (args[0] == "video") return WriteVideo(args);
  if (args[0] == "audio") return WriteAudio(args);
  return Fail("synth: unknown kind '" + args[0] + "' (video or audio)");
}

const TarnCommand command("synth",
                          "synth video OUT.y4m [--size WxH] [--frames N] [--rate N/D] [--pattern demo|endcard|test]"
                          " | synth audio OUT.wav [--seconds S] [--rate HZ] [--channels 1|2]",
                          Run);

}  // namespace
}  // namespace tarn::tools
