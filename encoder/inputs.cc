// Input readers for the encoder. Everything read is checked against the
// sizes its header announced; a short or malformed file is an error.
#include "encoder/inputs.h"

#include <png.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace tarn::encoder {

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};

class Y4mSource : public PictureSource {
 public:
  bool Open(const std::string& path, std::string* why) {
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_) return Fail(why, "cannot open " + path + ": " + std::strerror(errno));
    std::string line;
    if (!ReadLine(line) || line.rfind("YUV4MPEG2", 0) != 0) return Fail(why, path + ": not a YUV4MPEG2 file");
    std::string colour = "420";
    size_t pos = 9;
    while (pos < line.size()) {
      while (pos < line.size() && line[pos] == ' ') ++pos;
      size_t end = line.find(' ', pos);
      if (end == std::string::npos) end = line.size();
      const std::string tok = line.substr(pos, end - pos);
      pos = end;
      if (tok.empty()) continue;
      const std::string v = tok.substr(1);
      switch (tok[0]) {
        case 'W': width_ = uint32_t(std::strtoul(v.c_str(), nullptr, 10)); break;
        case 'H': height_ = uint32_t(std::strtoul(v.c_str(), nullptr, 10)); break;
        case 'F': {
          unsigned n = 0, d = 0;
          if (std::sscanf(v.c_str(), "%u:%u", &n, &d) == 2 && n && d) {
            rateNum_ = n;
            rateDen_ = d;
          }
          break;
        }
        case 'C': colour = v; break;
        default: break;
      }
    }
    if (width_ == 0 || height_ == 0 || width_ > 16384 || height_ > 16384)
      return Fail(why, path + ": picture size missing or out of range");
    if (colour == "mono") {
      grey_ = true;
    } else if (colour == "444" || colour == "444alpha") {
      full_ = true;
      hasAlpha_ = colour == "444alpha";
    } else if (colour != "420" && colour != "420jpeg" && colour != "420paldv" && colour != "420mpeg2") {
      return Fail(why, path + ": unsupported colour space C" + colour + " (8-bit 4:2:0, 4:4:4, 4:4:4 with alpha and mono only)");
    }
    if (!rateNum_) {
      rateNum_ = 25;
      rateDen_ = 1;
    }
    const uint64_t cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
    frameBytes_ = full_ ? uint64_t(width_) * height_ * (hasAlpha_ ? 4 : 3)
                        : uint64_t(width_) * height_ + (grey_ ? 0 : 2 * cw * ch);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      const long start = std::ftell(file_.get());
      if (start > 0 && uint64_t(st.st_size) > uint64_t(start))
        frameCountHint_ = uint32_t((uint64_t(st.st_size) - uint64_t(start)) / (frameBytes_ + 6));
    }
    return true;
  }

  bool Next(Picture& pic) override {
    std::string line;
    if (!ReadLine(line)) return false;  // clean end
    if (line.rfind("FRAME", 0) != 0) {
      error_ = "bad frame header in YUV4MPEG2 stream";
      return false;
    }
    pic.width = width_;
    pic.height = height_;
    const size_t cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
    pic.y.resize(size_t(width_) * height_);
    pic.a.clear();
    if (!ReadAll(pic.y)) return false;
    if (grey_) {
      pic.cb.clear();
      pic.cr.clear();
      return true;
    }
    pic.cb.resize(cw * ch);
    pic.cr.resize(cw * ch);
    if (!full_) return ReadAll(pic.cb) && ReadAll(pic.cr);
    // 4:4:4: each chroma plane read whole and averaged over 2 x 2 pixels
    // (over what lies inside the picture at an odd edge).
    full444_.resize(pic.y.size());
    for (std::vector<uint8_t>* plane : {&pic.cb, &pic.cr}) {
      if (!ReadAll(full444_)) return false;
      for (size_t cy = 0; cy < ch; ++cy) {
        for (size_t cx = 0; cx < cw; ++cx) {
          uint32_t sum = 0, n = 0;
          for (size_t y = 2 * cy; y < std::min<size_t>(2 * cy + 2, height_); ++y) {
            for (size_t x = 2 * cx; x < std::min<size_t>(2 * cx + 2, width_); ++x, ++n) sum += full444_[y * width_ + x];
          }
          (*plane)[cy * cw + cx] = uint8_t((sum + n / 2) / n);
        }
      }
    }
    if (!hasAlpha_) return true;
    pic.a.resize(pic.y.size());
    return ReadAll(pic.a);
  }

 private:
  bool Fail(std::string* why, const std::string& what) {
    if (why) *why = what;
    return false;
  }
  bool ReadLine(std::string& line) {
    line.clear();
    int c;
    while ((c = std::fgetc(file_.get())) != EOF && c != '\n') {
      line.push_back(char(c));
      if (line.size() > 4096) return false;
    }
    return c != EOF || !line.empty();
  }
  bool ReadAll(std::vector<uint8_t>& v) {
    if (std::fread(v.data(), 1, v.size(), file_.get()) != v.size()) {
      error_ = "YUV4MPEG2 stream ends inside a frame";
      return false;
    }
    return true;
  }

  std::unique_ptr<FILE, FileCloser> file_;
  uint64_t frameBytes_ = 0;
  bool full_ = false;              // 4:4:4 chroma (with alpha when hasAlpha_)
  std::vector<uint8_t> full444_;   // one full-size chroma plane
};

std::string Numbered(const std::string& pattern, uint32_t n) {
  char buf[4096];
  std::snprintf(buf, sizeof buf, pattern.c_str(), n);
  return buf;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// True when pattern holds exactly one integer conversion and nothing else
// that printf would read an argument for.
bool ValidPattern(const std::string& p) {
  int conversions = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] != '%') continue;
    if (i + 1 < p.size() && p[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < p.size() && (std::isdigit(uint8_t(p[j])) || p[j] == '0')) ++j;
    if (j >= p.size() || (p[j] != 'd' && p[j] != 'u' && p[j] != 'i')) return false;
    ++conversions;
    i = j;
  }
  return conversions == 1;
}

class PngSource : public PictureSource {
 public:
  bool Open(const std::string& pattern, std::string* why) {
    if (!ValidPattern(pattern)) {
      if (why) *why = pattern + ": the picture pattern needs one %d (like frame_%04d.png)";
      return false;
    }
    pattern_ = pattern;
    next_ = Exists(Numbered(pattern, 0)) ? 0 : 1;
    if (!Exists(Numbered(pattern, next_))) {
      if (why) *why = "no picture matches " + pattern;
      return false;
    }
    uint32_t n = next_;
    while (Exists(Numbered(pattern, n))) ++n;
    frameCountHint_ = n - next_;
    png_image image;
    if (!Probe(Numbered(pattern, next_), image, why)) return false;
    width_ = image.width;
    height_ = image.height;
    hasAlpha_ = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    png_image_free(&image);
    rateNum_ = 25;
    rateDen_ = 1;
    return true;
  }

  bool Next(Picture& pic) override {
    const std::string name = Numbered(pattern_, next_);
    if (!Exists(name)) return false;
    ++next_;
    png_image image;
    if (!Probe(name, image, &error_)) return false;
    if (image.width != width_ || image.height != height_) {
      png_image_free(&image);
      error_ = name + ": size " + std::to_string(image.width) + "x" + std::to_string(image.height) +
               " differs from the first picture's " + std::to_string(width_) + "x" + std::to_string(height_);
      return false;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) {
      error_ = name + ": " + image.message;
      png_image_free(&image);
      return false;
    }
    Convert(rgba, pic);
    return true;
  }

 private:
  static bool Probe(const std::string& name, png_image& image, std::string* why) {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, name.c_str())) {
      if (why) *why = name + ": " + image.message;
      return false;
    }
    if (image.width == 0 || image.height == 0 || image.width > 16384 || image.height > 16384) {
      png_image_free(&image);
      if (why) *why = name + ": picture size out of range";
      return false;
    }
    return true;
  }

  void Convert(const std::vector<uint8_t>& rgba, Picture& pic) const {
    const uint32_t w = width_, h = height_, cw = (w + 1) / 2, ch = (h + 1) / 2;
    pic.width = w;
    pic.height = h;
    pic.y.resize(size_t(w) * h);
    pic.a.resize(size_t(w) * h);
    pic.cb.assign(size_t(cw) * ch, 0);
    pic.cr.assign(size_t(cw) * ch, 0);
    std::vector<double> sumCb(size_t(cw) * ch), sumCr(size_t(cw) * ch), count(size_t(cw) * ch);
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = &rgba[(size_t(y) * w + x) * 4];
        double Y, Cb, Cr;
        RgbToYuv(p[0], p[1], p[2], &Y, &Cb, &Cr);
        pic.y[size_t(y) * w + x] = uint8_t(std::clamp(std::lround(Y), 0L, 255L));
        pic.a[size_t(y) * w + x] = p[3];
        const size_t c = size_t(y / 2) * cw + x / 2;
        sumCb[c] += Cb;
        sumCr[c] += Cr;
        count[c] += 1;
      }
    }
    for (size_t c = 0; c < sumCb.size(); ++c) {
      pic.cb[c] = uint8_t(std::clamp(std::lround(sumCb[c] / count[c]), 0L, 255L));
      pic.cr[c] = uint8_t(std::clamp(std::lround(sumCr[c] / count[c]), 0L, 255L));
    }
  }

  std::string pattern_;
  uint32_t next_ = 0;
};

}  // namespace

void RgbToYuv(int r, int g, int b, double* y, double* cb, double* cr) {
  // The player computes R = Y' + 4v, G = Y' - 2v - u, B = Y' + 5u with
  // Y' = (Y - 16) * 255 / 219 and u, v = (C - 128) * 26572 / 65536.
  const double v = (1.2 * r - 0.2 * b - g) / 6.8;
  const double yp = r - 4 * v;
  const double u = (b - yp) / 5.0;
  *y = yp * 219.0 / 255.0 + 16.0;
  *cr = v * 65536.0 / 26572.0 + 128.0;
  *cb = u * 65536.0 / 26572.0 + 128.0;
}

std::unique_ptr<PictureSource> OpenY4m(const std::string& path, std::string* why) {
  auto s = std::make_unique<Y4mSource>();
  if (!s->Open(path, why)) return nullptr;
  return s;
}

std::unique_ptr<PictureSource> OpenPngSequence(const std::string& pattern, std::string* why) {
  auto s = std::make_unique<PngSource>();
  if (!s->Open(pattern, why)) return nullptr;
  return s;
}

bool ReadSound(const std::string& path, Sound& out, std::string* why) {
  SF_INFO info;
  std::memset(&info, 0, sizeof info);
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    if (why) *why = "cannot read sound " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  auto fail = [&](const std::string& what) {
    sf_close(f);
    if (why) *why = path + ": " + what;
    return false;
  };
  if (info.channels != 1 && info.channels != 2) return fail("only mono or stereo sound is supported");
  if (info.samplerate < 1000 || info.samplerate > 65535) return fail("sample rate out of range (1000-65535 Hz)");
  if (info.frames < 0 || info.frames > (int64_t(1) << 31)) return fail("sound too long");
  const int sub = info.format & SF_FORMAT_SUBMASK;
  out.sampleRate = uint32_t(info.samplerate);
  out.channels = uint32_t(info.channels);
  out.eightBit = sub == SF_FORMAT_PCM_S8 || sub == SF_FORMAT_PCM_U8;
  out.samples.resize(size_t(info.frames) * size_t(info.channels));
  const sf_count_t got = sf_readf_short(f, out.samples.data(), info.frames);
  if (got < 0) return fail("read error");
  out.samples.resize(size_t(got) * size_t(info.channels));
  sf_close(f);
  return true;
}

}  // namespace tarn::encoder
