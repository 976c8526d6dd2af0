// Video encoder, frame assembly: pads each plane to whole blocks, has the
// rows of 2 x 2 areas chosen on the pool (all planes at once), writes each
// plane's stream, keeps the decoder's result as the next frame's reference
// and lays out the planes of a frame's video data. A plane whose costs were
// never fitted to a frame of its kind is chosen twice, the second time with
// the costs of the trees the first time gave.
#include "encoder/video_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/worker_pool.h"
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

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

// Rate weights, measured over the photograph pans against the bytes at equal
// luma PSNR: key frames are weighed at half (they are the reference of every
// frame after them), chroma at twice (which keeps its PSNR about a decibel
// under the luma's where the same weight would spend a tenth more bytes).
constexpr double kKeyLambdaScale = 0.5, kChromaLambdaScale = 2;

// The quantiser row and rate weight of a quality (fractions interpolate).
void ParamsFor(double quality, CodingParams& p) {
  static const double kScale[16] = {1, 4 / 3.0, 5 / 3.0, 2, 8 / 3.0, 3.5, 4, 5, 6, 8, 12, 17, 22, 28, 34, 44};
  quality = std::clamp(quality, 1.0, 100.0);
  const double qf = std::clamp((100 - quality) * 15 / 50.0, 0.0, 15.0);
  const int lo = std::min(int(qf), 14);
  const double scale = std::exp(std::log(kScale[lo]) + (qf - lo) * (std::log(kScale[lo + 1]) - std::log(kScale[lo])));
  p.q = std::clamp(int(std::lround(qf)), 0, 15);
  p.lambda = 0.35 * scale * scale + 1.5;
  if (quality < 50) p.lambda *= std::pow(2.0, (50 - quality) / 8.0);
  // Past the finest row only the weight can go on: the top of the scale
  // reaches about 52 dB.
  if (quality > 90) p.lambda *= std::pow(2.0, (90 - quality) / 3.0);
  p.residueShift = quality >= 90 ? 0 : quality >= 70 ? 1 : quality >= 50 ? 2 : 3;
}

// The vector most of a plane moved by: tried near the last frame's common
// vector on a grid of sample blocks, and over the whole range when none of
// those fits. Reads only the source and the reference.
MotionVector EstimateCommonVector(const PlaneContext& pc, MotionVector guess) {
  const int bw = int(pc.width / 8), bh = int(pc.height / 8);
  if (bw < 3 || bh < 3) return guess;
  struct Sample {
    int x, y;
    uint8_t t[64];
  };
  std::vector<Sample> samples;
  const int nx = std::min(bw - 2, 8), ny = std::min(bh - 2, 6);
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) {
      Sample s;
      s.x = 8 * (1 + i * (bw - 2) / nx);
      s.y = 8 * (1 + j * (bh - 2) / ny);
      for (int r = 0; r < 8; ++r) std::memcpy(s.t + 8 * r, pc.src + size_t(s.y + r) * pc.width + s.x, 8);
      samples.push_back(s);
    }
  // Mean SAD per sample of the blocks a vector can move; a vector that keeps
  // fewer than half of them inside the plane does not count.
  auto score = [&](int dx, int dy) {
    double sum = 0;
    int n = 0;
    for (const Sample& s : samples) {
      if (s.x + dx < 0 || s.y + dy < 0 || uint32_t(s.x + dx + 8) > pc.width || uint32_t(s.y + dy + 8) > pc.height)
        continue;
      sum += BlockSad(s.t, pc.ref, pc.width, s.x + dx, s.y + dy, 1 << 30);
      ++n;
    }
    return 2 * n >= int(samples.size()) ? sum / (64.0 * n) : 1e300;
  };
  MotionVector best{};
  double bestScore = score(0, 0);
  auto consider = [&](int dx, int dy) {
    if (std::abs(dx) > 15 || std::abs(dy) > 15) return;
    const double s = score(dx, dy);
    if (s < bestScore) {
      bestScore = s;
      best = {dx, dy};
    }
  };
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx) consider(guess.x + dx, guess.y + dy);
  if (bestScore > 3) {
    for (int dy = -15; dy <= 15; ++dy)
      for (int dx = -15; dx <= 15; ++dx) consider(dx, dy);
  }
  return best;
}

}  // namespace

VideoEncoder::VideoEncoder(const VideoEncoderConfig& config)
    : config_(config), pool_(std::make_unique<WorkerPool>(config.threads)) {
  const uint32_t lw = (config.width + 7) & ~7u, lh = (config.height + 7) & ~7u;
  const uint32_t cw = (((config.width + 1) / 2) + 7) & ~7u, ch = (((config.height + 1) / 2) + 7) & ~7u;
  for (int i = 0; i < 4; ++i) {
    const bool chroma = i == 1 || i == 2;
    ReconPlane& p = state_.recon[i];
    p.width = chroma ? cw : lw;
    p.height = chroma ? ch : lh;
    p.samples.assign(size_t(p.width) * p.height, 0);
    state_.field[i].assign(size_t(p.width / 8) * (p.height / 8), MotionVector{});
  }
}

VideoEncoder::~VideoEncoder() = default;

void VideoEncoder::UndoFrame() { std::swap(state_, saved_); }

void VideoEncoder::EncodeFrame(const SourcePicture& pic, bool key, double quality, std::vector<uint8_t>& out,
                               FrameStats* statsOut) {
  saved_ = state_;
  key = key || !state_.havePrevious;
  CodingParams params;
  ParamsFor(quality, params);
  params.key = key;
  // A key frame is the reference of the frames after it: coding it finer
  // pays for itself many times over.
  if (key) params.lambda *= kKeyLambdaScale;
  params.oldColours = config_.revision != 'i';

  // The planes in stream order: alpha, luma, then the chroma planes in the
  // order the revision codes them (h and i: Cr first; f and g: Cb first);
  // the first coded is what the decoder calls chroma 1.
  const uint32_t cw = (config_.width + 1) / 2, ch = (config_.height + 1) / 2;
  const bool crFirst = config_.revision == 'h' || config_.revision == 'i';
  struct Job {
    int plane;
    const uint8_t* src;
    uint32_t srcStride, srcWidth, srcHeight;
    std::vector<uint8_t> padded;
    PlaneContext pc;
    PlaneCosts costs;
    std::vector<RowData> rows;
    std::vector<uint8_t> bytes;
    PlaneCoding coding;
  };
  std::vector<Job> jobs;
  auto add = [&](int plane, const uint8_t* src, uint32_t stride, uint32_t w, uint32_t h) {
    Job j;
    j.plane = plane;
    j.src = src;
    j.srcStride = stride;
    j.srcWidth = w;
    j.srcHeight = h;
    jobs.push_back(std::move(j));
  };
  if (config_.alpha) add(3, pic.a, pic.aStride, config_.width, config_.height);
  add(0, pic.y, pic.yStride, config_.width, config_.height);
  if (!config_.grey) {
    add(1, crFirst ? pic.cr : pic.cb, pic.cStride, cw, ch);
    add(2, crFirst ? pic.cb : pic.cr, pic.cStride, cw, ch);
  }

  struct RowTask {
    int job, areaRow;
  };
  std::vector<RowTask> tasks;
  for (size_t ji = 0; ji < jobs.size(); ++ji) {
    Job& j = jobs[ji];
    ReconPlane& recon = state_.recon[j.plane];
    const uint32_t w = recon.width, h = recon.height;
    j.padded.resize(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t* row = j.src + size_t(std::min(y, j.srcHeight - 1)) * j.srcStride;
      uint8_t* dst = &j.padded[size_t(y) * w];
      std::memcpy(dst, row, j.srcWidth);
      std::memset(dst + j.srcWidth, row[j.srcWidth - 1], w - j.srcWidth);
    }
    j.pc.width = w;
    j.pc.height = h;
    j.pc.src = j.padded.data();
    j.pc.ref = key ? nullptr : saved_.recon[j.plane].samples.data();
    j.pc.out = recon.samples.data();
    j.costs = saved_.costs[key][j.plane];
    if (!key) {
      const MotionVector common =
          EstimateCommonVector(j.pc, {saved_.costs[0][j.plane].commonX(), saved_.costs[0][j.plane].commonY()});
      j.costs.SetCommon(common.x, common.y);
    }
    for (uint32_t r = 0; r < (h / 8 + 1) / 2; ++r) tasks.push_back({int(ji), int(r)});
  }

  std::vector<FrameStats> rowStats(tasks.size());
  const bool twice = std::any_of(jobs.begin(), jobs.end(), [&](const Job& j) { return !saved_.fitted[key][j.plane]; });
  for (int round = 0; round < (twice ? 2 : 1); ++round) {
    for (Job& j : jobs) j.rows.assign(j.pc.height / 8, RowData{});
    auto chooseRow = [&](int t) {
      Job& j = jobs[size_t(tasks[size_t(t)].job)];
      const int by = 2 * tasks[size_t(t)].areaRow;
      const PlaneContext& pc = j.pc;
      const int bw = int(pc.width / 8), bh = int(pc.height / 8);
      CodingParams p = params;
      if (j.plane == 1 || j.plane == 2) p.lambda *= kChromaLambdaScale;
      const PlaneChoice choice{&pc, &p, &j.costs, key ? nullptr : saved_.field[j.plane].data()};
      FrameStats& st = rowStats[size_t(t)];
      st = FrameStats{};
      std::vector<AreaCode> areas;
      ChooseAreaRow(choice, by, state_.field[j.plane].data(), areas);
      for (int bx = 0; bx < bw; bx += 2) {
        const AreaCode& a = areas[size_t(bx / 2)];
        if (a.scaled) {
          for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c)
              pc.out[size_t(by * 8 + r) * pc.width + bx * 8 + c] = a.code.result[(r / 2) * 8 + c / 2];
          Emit(j.rows[size_t(by)], a.code, false);
          BlockCode cont;
          cont.type = BLOCK_SCALED;
          Emit(j.rows[size_t(by + 1)], cont, true);
          if (j.plane != 3) ++st.blocks[BLOCK_SCALED];
          continue;
        }
        for (int k = 0; k < 4; ++k) {
          const int cx = bx + (k & 1), cy = by + (k >> 1);
          if (cx >= bw || cy >= bh) continue;
          const BlockCode& c = a.cells[k];
          for (int r = 0; r < 8; ++r)
            std::memcpy(pc.out + size_t(cy * 8 + r) * pc.width + cx * 8, c.result + r * 8, 8);
          Emit(j.rows[size_t(cy)], c, false);
          if (j.plane != 3) ++st.blocks[c.type];
        }
      }
      // The error over the picture's own samples (not the padding).
      const uint32_t y1 = std::min<uint32_t>(uint32_t(by + 2) * 8, j.srcHeight);
      for (uint32_t y = uint32_t(by) * 8; y < y1; ++y) {
        const uint8_t* a = j.src + size_t(y) * j.srcStride;
        const uint8_t* b = pc.out + size_t(y) * pc.width;
        double sse = 0;
        for (uint32_t x = 0; x < j.srcWidth; ++x) {
          const int d = int(a[x]) - int(b[x]);
          sse += d * d;
        }
        st.sse[j.plane] += sse;
        st.samples[j.plane] += j.srcWidth;
      }
    };
    pool_->Run(int(tasks.size()), chooseRow);
    auto writePlane = [&](int i) {
      Job& j = jobs[size_t(i)];
      j.bytes.clear();
      WritePlane(j.rows, j.pc.width, params.oldColours, j.bytes, &j.coding);
      j.costs = PlaneCosts(j.coding);
    };
    pool_->Run(int(jobs.size()), writePlane);
  }

  for (Job& j : jobs) {
    state_.costs[key][j.plane] = j.costs;
    state_.fitted[key][j.plane] = true;
  }
  size_t at = 0;
  auto bytesOf = [&](int plane) -> std::vector<uint8_t>& {
    for (Job& j : jobs)
      if (j.plane == plane) return j.bytes;
    return jobs[0].bytes;
  };
  if (config_.alpha) {
    at = out.size();
    out.resize(out.size() + 4);
    const auto& a = bytesOf(3);
    out.insert(out.end(), a.begin(), a.end());
    Put32(out, at, uint32_t(out.size() - at));
  }
  if (config_.revision == 'i') {
    at = out.size();
    out.resize(out.size() + 4);
  }
  const auto& y = bytesOf(0);
  out.insert(out.end(), y.begin(), y.end());
  if (config_.revision == 'i') Put32(out, at, uint32_t(out.size() - at));
  if (!config_.grey) {
    for (int plane : {1, 2}) {
      const auto& c = bytesOf(plane);
      out.insert(out.end(), c.begin(), c.end());
    }
  }
  state_.havePrevious = true;
  if (statsOut) {
    *statsOut = FrameStats{};
    for (const FrameStats& s : rowStats) {
      for (int t = 0; t < kBlockTypeCount; ++t) statsOut->blocks[t] += s.blocks[t];
      for (int p = 0; p < 4; ++p) {
        statsOut->sse[p] += s.sse[p];
        statsOut->samples[p] += s.samples[p];
      }
    }
  }
}

}  // namespace tarn::encoder
