// Video encoder, frame assembly: pads each plane to whole blocks, has each
// 2 x 2 area's blocks chosen, keeps the decoder's result as the next frame's
// reference, and lays out the planes of a frame's video data.
#include "encoder/video_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "encoder/block_choice.h"
#include "encoder/tree_coding.h"
#include "video/stream_codes.h"

namespace tarn::encoder {

namespace {

// Adds a block's values and bits to its row; a continuation (the odd-row half
// of a scaled area) adds only its type.
void Emit(RowData& row, const BlockCode& c, bool continuation) {
  row.values[BUNDLE_BLOCK_TYPE].push_back(c.type);
  if (continuation) return;
  if (c.type == BLOCK_SCALED) row.values[BUNDLE_SUB_BLOCK_TYPE].push_back(c.sub);
  if (c.hasMotion) {
    row.values[BUNDLE_X_OFFSET].push_back(c.mx);
    row.values[BUNDLE_Y_OFFSET].push_back(c.my);
  }
  if (c.hasDc) {
    const int kind = (c.type == BLOCK_INTER) ? BUNDLE_INTER_DC : BUNDLE_INTRA_DC;
    row.values[kind].push_back(c.dc);
  }
  for (int i = 0; i < c.nColours; ++i) row.values[BUNDLE_COLOR].push_back(c.colours[i]);
  for (int i = 0; i < c.nPatterns; ++i) row.values[BUNDLE_PATTERN].push_back(c.patterns[i]);
  for (int i = 0; i < c.nRuns; ++i) row.values[BUNDLE_RUN].push_back(c.runs[i]);
  row.bits.Append(c.bits);
}

// Encodes one plane from src (srcWidth x srcHeight) into out and leaves the
// decoder's result in recon. ref is the previous decoded plane (same size).
void EncodePlane(const uint8_t* src, uint32_t srcStride, uint32_t srcWidth, uint32_t srcHeight,
                 ReconPlane& recon, const ReconPlane* ref, const CodingParams& p,
                 std::vector<uint8_t>& out, BlockHistogram* histogram) {
  const uint32_t w = recon.width, h = recon.height;
  std::vector<uint8_t> padded(size_t(w) * h);
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* row = src + size_t(std::min(y, srcHeight - 1)) * srcStride;
    uint8_t* dst = &padded[size_t(y) * w];
    std::memcpy(dst, row, srcWidth);
    std::memset(dst + srcWidth, row[srcWidth - 1], w - srcWidth);
  }
  PlaneContext pc;
  pc.width = w;
  pc.height = h;
  pc.src = padded.data();
  pc.ref = ref ? ref->samples.data() : nullptr;
  pc.out = recon.samples.data();
  CodingParams params = p;
  if (!pc.ref) params.key = true;

  const int bw = int(w / 8), bh = int(h / 8);
  std::vector<RowData> rows(static_cast<size_t>(bh));
  std::vector<MotionVector> field(static_cast<size_t>(bw) * bh);
  BlockCode cells[4], scaled;
  auto store = [&](const BlockCode& c, int x, int y) {
    for (int r = 0; r < 8; ++r) std::memcpy(pc.out + size_t(y + r) * w + x, c.result + r * 8, 8);
  };
  for (int by = 0; by < bh; by += 2) {
    for (int bx = 0; bx < bw; bx += 2) {
      if (ChooseArea(pc, params, bx, by, field.data(), cells, scaled)) {
        for (int r = 0; r < 16; ++r)
          for (int c = 0; c < 16; ++c)
            pc.out[size_t(by * 8 + r) * w + bx * 8 + c] = scaled.result[(r / 2) * 8 + c / 2];
        Emit(rows[size_t(by)], scaled, false);
        BlockCode cont;
        cont.type = BLOCK_SCALED;
        Emit(rows[size_t(by + 1)], cont, true);
        if (histogram) ++(*histogram)[BLOCK_SCALED];
      } else {
        for (int j = 0; j < 2; ++j)
          for (int i = 0; i < 2; ++i) {
            const int cx = bx + i, cy = by + j;
            if (cx >= bw || cy >= bh) continue;
            const BlockCode& c = cells[j * 2 + i];
            store(c, cx * 8, cy * 8);
            Emit(rows[size_t(cy)], c, false);
            if (histogram) ++(*histogram)[c.type];
          }
      }
    }
  }
  WritePlane(rows, w, params.oldColours, out);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

}  // namespace

VideoEncoder::VideoEncoder(const VideoEncoderConfig& config) : config_(config) {
  const uint32_t lw = (config.width + 7) & ~7u, lh = (config.height + 7) & ~7u;
  const uint32_t cw = (((config.width + 1) / 2) + 7) & ~7u, ch = (((config.height + 1) / 2) + 7) & ~7u;
  for (int i = 0; i < 4; ++i) {
    const bool chroma = i == 1 || i == 2;
    for (ReconPlane* p : {&recon_[i], &previous_[i]}) {
      p->width = chroma ? cw : lw;
      p->height = chroma ? ch : lh;
      p->samples.assign(size_t(p->width) * p->height, 0);
    }
  }
}

void VideoEncoder::EncodeFrame(const SourcePicture& pic, bool key, int quality,
                               std::vector<uint8_t>& out, BlockHistogram* histogram) {
  quality = std::clamp(quality, 1, 100);
  static const double kScale[16] = {1, 4 / 3.0, 5 / 3.0, 2, 8 / 3.0, 3.5, 4, 5, 6, 8, 12, 17, 22, 28, 34, 44};
  CodingParams p;
  p.q = std::clamp(int(std::lround((100 - quality) * 15 / 50.0)), 0, 15);
  p.lambda = 0.115 * kScale[p.q] * kScale[p.q] + 0.5;
  if (quality < 50) p.lambda *= std::pow(2.0, (50 - quality) / 8.0);
  p.key = key || !havePrevious_;
  p.oldColours = config_.revision != 'i';
  p.residueShift = quality >= 90 ? 0 : quality >= 70 ? 1 : quality >= 50 ? 2 : 3;

  std::swap(recon_, previous_);
  const ReconPlane* ref = p.key ? nullptr : previous_;
  const uint32_t cw = (config_.width + 1) / 2, ch = (config_.height + 1) / 2;
  if (config_.alpha) {
    const size_t lengthAt = out.size();
    out.resize(out.size() + 4);
    EncodePlane(pic.a, pic.aStride, config_.width, config_.height, recon_[3],
                ref ? &ref[3] : nullptr, p, out, nullptr);
    Put32(out, lengthAt, uint32_t(out.size() - lengthAt));
  }
  size_t offsetAt = 0;
  if (config_.revision == 'i') {
    offsetAt = out.size();
    out.resize(out.size() + 4);
  }
  EncodePlane(pic.y, pic.yStride, config_.width, config_.height, recon_[0], ref ? &ref[0] : nullptr,
              p, out, histogram);
  if (config_.revision == 'i') Put32(out, offsetAt, uint32_t(out.size() - offsetAt));
  if (!config_.grey) {
    // Revisions h and i code Cr first; f and g code Cb first. Either way the
    // first coded plane is what the decoder calls chroma 1.
    const bool crFirst = config_.revision == 'h' || config_.revision == 'i';
    const uint8_t* first = crFirst ? pic.cr : pic.cb;
    const uint8_t* second = crFirst ? pic.cb : pic.cr;
    EncodePlane(first, pic.cStride, cw, ch, recon_[1], ref ? &ref[1] : nullptr, p, out, histogram);
    EncodePlane(second, pic.cStride, cw, ch, recon_[2], ref ? &ref[2] : nullptr, p, out, histogram);
  }
  havePrevious_ = true;
}

}  // namespace tarn::encoder
