// Readers of the encoder's inputs: YUV4MPEG2 streams, numbered PNG pictures
// (converted to the player's YUV) and sound files through libsndfile.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tarn::encoder {

// One picture in planar form: luma and alpha width x height, chroma
// (width + 1) / 2 x (height + 1) / 2. Chroma empty for grey sources.
struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> y, cb, cr, a;

  // Sizes every plane for a colour picture of w x h (alpha only when asked);
  // new samples are 0.
  void Resize(uint32_t w, uint32_t h, bool alpha) {
    const size_t luma = size_t(w) * h, chroma = size_t((w + 1) / 2) * ((h + 1) / 2);
    width = w, height = h;
    y.resize(luma);
    cb.resize(chroma);
    cr.resize(chroma);
    a.resize(alpha ? luma : 0);
  }
};

class PictureSource {
 public:
  virtual ~PictureSource() = default;
  // Reads the next picture into pic. False at the end or on error (then
  // error() is not empty).
  virtual bool Next(Picture& pic) = 0;
  const std::string& error() const { return error_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t rateNumerator() const { return rateNum_; }
  uint32_t rateDenominator() const { return rateDen_; }
  bool grey() const { return grey_; }
  bool hasAlpha() const { return hasAlpha_; }
  uint32_t frameCountHint() const { return frameCountHint_; }  // 0 when unknown

 protected:
  std::string error_;
  uint32_t width_ = 0, height_ = 0, rateNum_ = 0, rateDen_ = 1;
  bool grey_ = false, hasAlpha_ = false;
  uint32_t frameCountHint_ = 0;
};

// A .y4m file with 4:2:0, 4:4:4 (chroma averaged down to 4:2:0), 4:4:4 with
// alpha or mono pictures. Null with a reason in *why.
std::unique_ptr<PictureSource> OpenY4m(const std::string& path, std::string* why);

// Pictures named by a printf pattern with one integer conversion, numbered
// from 0 or 1 up to the first missing number. All must have one size.
std::unique_ptr<PictureSource> OpenPngSequence(const std::string& pattern, std::string* why);

// RGB to the player's YUV: the inverse of its table-driven conversion.
void RgbToYuv(int r, int g, int b, double* y, double* cb, double* cr);

struct Sound {
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  bool eightBit = false;         // the source had 8-bit samples
  std::vector<int16_t> samples;  // interleaved
};

// Reads a whole sound file, mono or stereo. False with a reason in *why.
bool ReadSound(const std::string& path, Sound& out, std::string* why);

}  // namespace tarn::encoder
