// The video encoder: one frame's planes into the video data of a frame record,
// keeping its own copy of what the decoder will rebuild so that the next
// frame predicts from exactly the decoder's reference.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "video/stream_codes.h"

namespace tarn::encoder {

struct VideoEncoderConfig {
  uint32_t width = 0;   // picture size in pixels, 1..16384
  uint32_t height = 0;
  char revision = 'i';  // 'f', 'g', 'h' or 'i'
  bool grey = false;    // luma only
  bool alpha = false;   // an alpha section precedes the picture
};

// One source picture: luma (and alpha) width x height, chroma planes
// (width + 1) / 2 x (height + 1) / 2. Cb = U, Cr = V. Null chroma for grey.
struct SourcePicture {
  const uint8_t* y = nullptr;
  const uint8_t* cb = nullptr;
  const uint8_t* cr = nullptr;
  const uint8_t* a = nullptr;
  uint32_t yStride = 0, cStride = 0, aStride = 0;
};

// Counts of the block types written (scaled areas count once, as a type
// taken on an even row) per frame or accumulated.
using BlockHistogram = std::array<uint64_t, kBlockTypeCount>;

// Reconstructed plane as the decoder holds it: the plane size rounded up to 8.
struct ReconPlane {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> samples;  // stride = width
};

class VideoEncoder {
 public:
  explicit VideoEncoder(const VideoEncoderConfig& config);

  // Encodes one picture. quality 1..100; key frames use no block that reads
  // the previous picture. Appends the video data to out.
  void EncodeFrame(const SourcePicture& picture, bool key, int quality, std::vector<uint8_t>& out,
                   BlockHistogram* histogram = nullptr);

  // The decoder's picture after the last EncodeFrame: 0 luma, 1 Cr, 2 Cb, 3 alpha.
  const ReconPlane& Recon(int plane) const { return recon_[plane]; }

 private:
  VideoEncoderConfig config_;
  ReconPlane recon_[4];
  ReconPlane previous_[4];
  bool havePrevious_ = false;
};

}  // namespace tarn::encoder
