// The video encoder: one frame's planes into the video data of a frame record,
// keeping its own copy of what the decoder will rebuild so that the next
// frame predicts from exactly the decoder's reference. Rows of blocks are
// chosen on several threads; every choice reads only what is fixed before
// the frame starts, so the output is the same for any thread count.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "encoder/bit_costs.h"
#include "encoder/motion_search.h"
#include "video/stream_codes.h"

namespace tarn {
class WorkerPool;
}

namespace tarn::encoder {

struct VideoEncoderConfig {
  uint32_t width = 0;   // picture size in pixels, 1..16384
  uint32_t height = 0;
  char revision = 'i';  // 'f', 'g', 'h' or 'i'
  bool grey = false;    // luma only
  bool alpha = false;   // an alpha section precedes the picture
  int threads = 1;      // 1..kMaxThreads; the output does not depend on it
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

// What a frame came to: its block types, and the squared error of its
// decoded picture against the source over the picture's own samples, per
// plane (0 luma, 1 Cr, 2 Cb, 3 alpha).
struct FrameStats {
  BlockHistogram blocks{};
  double sse[4] = {};
  double samples[4] = {};
};

// Reconstructed plane as the decoder holds it: the plane size rounded up to 8.
struct ReconPlane {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> samples;  // stride = width
};

class VideoEncoder {
 public:
  explicit VideoEncoder(const VideoEncoderConfig& config);
  ~VideoEncoder();

  // Encodes one picture. quality 1..100 (fractions allowed, as rate control
  // uses them); key frames use no block that reads the previous picture.
  // Appends the video data to out; stats, when given, receive the frame's.
  void EncodeFrame(const SourcePicture& picture, bool key, double quality, std::vector<uint8_t>& out,
                   FrameStats* stats = nullptr);

  // Forgets the last EncodeFrame, as if it had not been called (once).
  void UndoFrame();

  // The decoder's picture after the last EncodeFrame: 0 luma, 1 Cr, 2 Cb, 3 alpha.
  const ReconPlane& Recon(int plane) const { return state_.recon[plane]; }

 private:
  // What one frame leaves for the next.
  struct State {
    ReconPlane recon[4];
    std::vector<MotionVector> field[4];  // each block's vector, width / 8 per row
    PlaneCosts costs[2][4];               // [key][plane]: from the last frame of that kind
    bool fitted[2][4] = {};
    bool havePrevious = false;
  };
  VideoEncoderConfig config_;
  State state_, saved_;
  std::unique_ptr<WorkerPool> pool_;
};

}  // namespace tarn::encoder
