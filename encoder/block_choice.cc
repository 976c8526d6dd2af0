// Block choice: the block types a block could take are tried in turn, each
// worked out for real (its bundle values and decoded result) and charged
// its distortion plus lambda times its bits as the plane's costs price them;
// the cheapest is kept. Trials that cannot win are not run: a prediction
// that is already close ends the search, and the bits of a type bound its
// cost from below. The winner's stream bits are written last.
#include "encoder/block_choice.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "encoder/block_coding.h"
#include "encoder/video_tables.h"

namespace tarn::encoder {

namespace {

// The most run values one run block may take: keeps a row of run blocks
// inside the run bundle's capacity (48 per block).
constexpr int kMaxRunsPerBlock = 48;

uint8_t Legal(int v, bool oldColours) {
  v = std::clamp(v, 0, 255);
  if (oldColours && v == 0) v = 1;
  return uint8_t(v);
}

int Sse(const int* target, const uint8_t* result) {
  int s = 0;
  for (int i = 0; i < 64; ++i) {
    const int d = target[i] - result[i];
    s += d * d;
  }
  return s;
}

// A candidate's code beyond what BlockCode keeps for emission: what its
// stream bits are written from once it has won.
struct Candidate {
  BlockCode code;
  int16_t coef[64] = {};
  int q = 0;
  int8_t residue[64] = {};
  uint8_t scan = 0;
  uint8_t same[64] = {};  // per run: 1 = one colour for the run

  // Starts a new code of a type; the arrays are written by whoever fills them.
  Candidate& Start(uint8_t type) {
    code.type = type;
    code.sub = 0;
    code.hasMotion = code.hasDc = false;
    code.mx = code.my = 0;
    code.dc = 0;
    code.nColours = code.nPatterns = code.nRuns = 0;
    code.cost = 1e300;
    code.distortion = 0;
    q = 0;
    scan = 0;
    return *this;
  }
};

// The cheapest candidate so far and a spare the next trial is built in: a
// trial that wins swaps the two, so nothing is copied.
struct Pick {
  Candidate* best;
  Candidate* spare;
  Pick(Candidate& a, Candidate& b) : best(&a), spare(&b) { best->Start(BLOCK_SKIP); }
  Candidate& Next(uint8_t type) { return spare->Start(type); }
  double cost() const { return best->code.cost; }
};

// What the trials of one block share.
struct Trial {
  const int* t;  // the target, 64 samples by position
  const CodingParams& p;
  const PlaneCosts& costs;
  const RowContext& ctx;
  double lambda;
  bool small;  // the small block of a scaled area: it takes no type of its own

  double TypeBits(int type) const { return small ? 0 : costs.Type(type, ctx.prevType); }
  double Colours(const uint8_t* c, int n) const {
    int high = ctx.lastHigh;
    double bits = 0;
    for (int i = 0; i < n; ++i) bits += costs.Colour(ColourSymbolValue(c[i], p.oldColours), high);
    return bits;
  }
  // The spare becomes the best when it is cheaper.
  void Offer(Pick& pick, double distortion, double bits) const {
    BlockCode& c = pick.spare->code;
    c.distortion = distortion;
    c.cost = distortion + lambda * bits;
    if (c.cost < pick.cost()) std::swap(pick.best, pick.spare);
  }
};

void TryFill(const Trial& tr, Pick& pick) {
  int sum = 0;
  for (int i = 0; i < 64; ++i) sum += tr.t[i];
  Candidate& c = pick.Next(BLOCK_FILL);
  c.code.nColours = 1;
  c.code.colours[0] = Legal((sum + 32) >> 6, tr.p.oldColours);
  std::memset(c.code.result, c.code.colours[0], 64);
  tr.Offer(pick, Sse(tr.t, c.code.result), tr.TypeBits(BLOCK_FILL) + tr.Colours(c.code.colours, 1));
}

void TryPattern(const Trial& tr, Pick& pick) {
  // Two colours and eight rows of two symbols cost a few dozen bits.
  if (tr.lambda * (tr.TypeBits(BLOCK_PATTERN) + 24) >= pick.cost()) return;
  int sum = 0;
  for (int i = 0; i < 64; ++i) sum += tr.t[i];
  const int mean = (sum + 32) >> 6;
  int s0 = 0, n0 = 0, s1 = 0, n1 = 0;
  for (int i = 0; i < 64; ++i) {
    if (tr.t[i] > mean) {
      s1 += tr.t[i];
      ++n1;
    } else {
      s0 += tr.t[i];
      ++n0;
    }
  }
  if (!n0 || !n1) return;
  BlockCode& b = pick.Next(BLOCK_PATTERN).code;
  b.nColours = 2;
  b.colours[0] = Legal((s0 + n0 / 2) / n0, tr.p.oldColours);
  b.colours[1] = Legal((s1 + n1 / 2) / n1, tr.p.oldColours);
  b.nPatterns = 8;
  double bits = tr.TypeBits(BLOCK_PATTERN) + tr.Colours(b.colours, 2);
  for (int r = 0; r < 8; ++r) {
    uint8_t row = 0;
    for (int x = 0; x < 8; ++x) {
      const int v = tr.t[r * 8 + x];
      const bool one = std::abs(v - b.colours[1]) < std::abs(v - b.colours[0]);
      row = uint8_t(row | one << x);
      b.result[r * 8 + x] = one ? b.colours[1] : b.colours[0];
    }
    b.patterns[r] = row;
    bits += tr.costs.PatternRow(row);
  }
  tr.Offer(pick, Sse(tr.t, b.result), bits);
}

void TryRaw(const Trial& tr, Pick& pick) {
  if (tr.lambda * (tr.TypeBits(BLOCK_RAW) + 64 * 2.0) >= pick.cost()) return;
  Candidate& c = pick.Next(BLOCK_RAW);
  c.code.nColours = 64;
  for (int i = 0; i < 64; ++i) c.code.result[i] = c.code.colours[i] = Legal(tr.t[i], tr.p.oldColours);
  tr.Offer(pick, Sse(tr.t, c.code.result), tr.TypeBits(BLOCK_RAW) + tr.Colours(c.code.colours, 64));
}

// Splits 64 values along a scan into runs: one colour for two or more equal
// values, else separate colours up to the next pair. Calls run(start, length,
// same) for each; returns false when there would be too many runs.
template <class F>
bool SplitRuns(const uint8_t v[64], F&& run) {
  int i = 0, runs = 0;
  while (i < 63) {
    int len = 1;
    while (i + len < 64 && len < 16 && v[i + len] == v[i]) ++len;
    const bool same = len >= 2;
    if (!same) {
      while (i + len < 64 && len < 16 && !(i + len + 1 < 64 && v[i + len] == v[i + len + 1])) ++len;
    }
    run(i, len, same);
    i += len;
    if (++runs > kMaxRunsPerBlock) return false;
  }
  return true;
}

// Lossless run coding along the cheapest of the sixteen scans.
void TryRun(const Trial& tr, Pick& pick) {
  // Runs pay only where many neighbours are equal.
  int equal = 0;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      if (c < 7) equal += tr.t[r * 8 + c] == tr.t[r * 8 + c + 1];
      if (r < 7) equal += tr.t[r * 8 + c] == tr.t[r * 8 + c + 8];
    }
  if (equal < 48) return;
  // Every change of value along a scan starts a run or takes a colour: the
  // rows' changes (the fewer of rows and columns) bound the bits from below.
  const int changes = std::min(112 - equal, 56);
  const double typeBits = tr.TypeBits(BLOCK_RUN);
  if (tr.lambda * (typeBits + 4 + 3 * changes / 2) >= pick.cost()) return;
  uint8_t v[64];
  int bestScan = -1;
  double bestBits = 1e300;
  for (int s = 0; s < kRunScanCount; ++s) {
    for (int i = 0; i < 64; ++i) v[i] = Legal(tr.t[kRunScans[s][i]], tr.p.oldColours);
    double bits = 4;
    int high = tr.ctx.lastHigh;
    int end = 0;
    const bool ok = SplitRuns(v, [&](int i, int len, bool same) {
      bits += 1 + tr.costs.Run(len - 1);
      for (int k = 0; k < (same ? 1 : len); ++k) bits += tr.costs.Colour(ColourSymbolValue(v[i + k], tr.p.oldColours), high);
      end = i + len;
    });
    if (end == 63) bits += tr.costs.Colour(ColourSymbolValue(v[63], tr.p.oldColours), high);
    if (ok && bits < bestBits) {
      bestBits = bits;
      bestScan = s;
    }
  }
  if (bestScan < 0 || tr.lambda * (typeBits + bestBits) >= pick.cost()) return;
  Candidate& c = pick.Next(BLOCK_RUN);
  BlockCode& b = c.code;
  c.scan = uint8_t(bestScan);
  const uint8_t* scan = kRunScans[bestScan];
  for (int i = 0; i < 64; ++i) v[i] = Legal(tr.t[scan[i]], tr.p.oldColours);
  int end = 0;
  SplitRuns(v, [&](int i, int len, bool same) {
    c.same[b.nRuns] = same;
    b.runs[b.nRuns++] = uint8_t(len - 1);
    for (int k = 0; k < (same ? 1 : len); ++k) b.colours[b.nColours++] = v[i + k];
    end = i + len;
  });
  if (end == 63) b.colours[b.nColours++] = v[63];
  for (int k = 0; k < 64; ++k) b.result[scan[k]] = v[k];
  tr.Offer(pick, Sse(tr.t, b.result), typeBits + bestBits);
}

// Transform block: intra (pred == nullptr) or inter onto pred, at the
// plane's quantiser and its neighbours.
void TryTransform(const Trial& tr, const uint8_t* pred, MotionVector mv, Pick& pick) {
  const int type = pred ? BLOCK_INTER : BLOCK_INTRA;
  const double fixedBits = tr.TypeBits(type) + (pred ? tr.costs.Vector(mv.x, mv.y) : 0) + 4;
  if (tr.lambda * (fixedBits + 4) >= pick.cost()) return;
  double in[64], s[64];
  for (int i = 0; i < 64; ++i) in[i] = tr.t[i] - (pred ? pred[i] : 0);
  ForwardTransform(in, s);
  const int prevDc = pred ? tr.ctx.prevInterDc : tr.ctx.prevIntraDc;
  const int dcMin = pred ? -1023 : 0, dcMax = pred ? 1023 : 2047;
  const auto& table = pred ? InterQuantTable() : IntraQuantTable();
  const int q0 = tr.p.q;
  if (pred) {
    // A first look at the plane's quantiser: a correction that quantises to
    // nothing is the copy itself, already weighed, and one whose error and
    // estimated bits come to more than the best so far is not worth working
    // out.
    int16_t coef[64];
    int estimate = 0;
    const double error = QuantiseTrial(s, true, q0, dcMin, dcMax, coef, &estimate);
    if (estimate == 4 && coef[0] == 0) return;
    if (error + tr.lambda * (fixedBits + estimate + 4) >= 1.25 * pick.cost()) return;
  }
  // Each row is weighed by its error in the transform domain and, first,
  // an estimate of its bits; the two best are counted exactly, and the best
  // that the decoder's samples keep in range is worked out.
  struct Option {
    int q;
    double error, cost;
    int bits;
    int16_t coef[64];
  } options[5];
  int count = 0;
  // The rows the choice lands on, measured over the photographs: intra
  // blocks a few rows finer than the plane's, inter blocks a row coarser.
  const int lo = pred ? q0 - 1 : q0 - 4, hi = pred ? q0 + 2 : q0;
  for (int q = std::max(lo, 0); q <= std::min(hi, kQuantRows - 1); ++q) {
    Option& o = options[count];
    o.q = q;
    o.error = QuantiseTrial(s, pred != nullptr, q, dcMin, dcMax, o.coef, &o.bits);
    o.cost = o.error + tr.lambda * (fixedBits + o.bits + DcBits(o.coef[0], prevDc));
    if (o.cost < 1.25 * pick.cost()) ++count;
  }
  auto byCost = [&] {
    for (int i = 1; i < count; ++i)
      for (int k = i; k > 0 && options[k].cost < options[k - 1].cost; --k) std::swap(options[k], options[k - 1]);
  };
  byCost();
  count = std::min(count, 2);
  for (int i = 0; i < count; ++i) {
    Option& o = options[i];
    o.bits = CoefficientBits(o.coef);
    o.cost = o.bits < 0 ? 1e300 : o.error + tr.lambda * (fixedBits + o.bits + DcBits(o.coef[0], prevDc));
  }
  byCost();
  while (count > 0 && options[count - 1].bits < 0) --count;
  for (int i = 0; i < count; ++i) {
    const Option& o = options[i];
    Candidate& c = pick.Next(uint8_t(type));
    int32_t out[64];
    IdctSamples(o.coef, table[o.q], out);
    bool inRange = true;
    for (int k = 0; k < 64 && inRange; ++k) {
      const int v = out[k] + (pred ? pred[k] : 0);
      inRange = v >= 0 && v <= 255;
      c.code.result[k] = uint8_t(v);
    }
    if (!inRange) continue;
    std::memcpy(c.coef, o.coef, sizeof c.coef);
    c.q = o.q;
    c.code.hasDc = true;
    c.code.dc = o.coef[0];
    c.code.hasMotion = pred != nullptr;
    c.code.mx = int8_t(mv.x);
    c.code.my = int8_t(mv.y);
    tr.Offer(pick, Sse(tr.t, c.code.result), fixedBits + o.bits + DcBits(o.coef[0], prevDc));
    return;
  }
}

void TryResidue(const Trial& tr, const uint8_t* pred, MotionVector mv, Pick& pick) {
  const int sh = tr.p.residueShift;
  // A residue codes every sample change on its own: worth it only for a few
  // small changes, which bounds its cost from below by their count.
  int changed = 0;
  for (int i = 0; i < 64; ++i) changed += std::abs(tr.t[i] - pred[i]) >= (1 << sh);
  if (changed == 0 || changed > 24) return;
  const double fixedBits = tr.TypeBits(BLOCK_RESIDUE) + tr.costs.Vector(mv.x, mv.y) + 10;
  if (tr.lambda * (fixedBits + 3 * changed) >= pick.cost()) return;
  Candidate& c = pick.Next(BLOCK_RESIDUE);
  for (int k = 0; k < 64; ++k) {
    const int pos = kCoefficientScan[k];
    int r = tr.t[pos] - pred[pos];
    if (sh > 0) r = r < 0 ? -((-r + (1 << (sh - 1))) >> sh << sh) : (r + (1 << (sh - 1))) >> sh << sh;
    r = std::clamp(r, -pred[pos], 255 - pred[pos]);
    c.residue[k] = int8_t(std::clamp(r, -127, 127));
  }
  BitWriter bits;
  int8_t decoded[64];
  WriteResidue(bits, c.residue, 128, decoded);
  c.code.hasMotion = true;
  c.code.mx = int8_t(mv.x);
  c.code.my = int8_t(mv.y);
  for (int k = 0; k < 64; ++k) {
    const int pos = kCoefficientScan[k];
    c.code.result[pos] = uint8_t(pred[pos] + decoded[k]);
  }
  tr.Offer(pick, Sse(tr.t, c.code.result), fixedBits - 10 + double(bits.BitCount()));
}

// The stream bits of a block that won.
void WriteBits(const Candidate& c, BlockCode& out) {
  out = c.code;
  out.bits.Clear();
  switch (c.code.type == BLOCK_SCALED ? c.code.sub : c.code.type) {
    case BLOCK_INTRA:
    case BLOCK_INTER:
      WriteCoefficients(out.bits, c.coef);
      out.bits.Put(uint32_t(c.q), 4);
      break;
    case BLOCK_RESIDUE: {
      int8_t decoded[64];
      WriteResidue(out.bits, c.residue, 128, decoded);
      break;
    }
    case BLOCK_RUN:
      out.bits.Put(c.scan, 4);
      for (int i = 0; i < c.code.nRuns; ++i) out.bits.Put(c.same[i], 1);
      break;
    default:
      break;
  }
}

void Load8(const uint8_t* plane, uint32_t stride, int x, int y, int* dst) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) dst[r * 8 + c] = plane[(y + r) * stride + x + c];
}

void Load8u(const uint8_t* plane, uint32_t stride, int x, int y, uint8_t* dst) {
  for (int r = 0; r < 8; ++r) std::memcpy(dst + r * 8, plane + (y + r) * stride + x, 8);
}

// The error a block keeps when coded at the plane's quantiser, in units of
// lambda (measured: about 8 over the photographs at every quality), and
// the errors of a prediction under which correcting it or coding the block
// afresh does not pay.
constexpr double kNoise = 8;
constexpr double kCorrectBelow = 0.6 * kNoise, kFreshBelow = 1.6 * kNoise;

// Which vectors a block may take.
enum class VectorRule { kAny, kCommon, kNone };

// Whether the plane's common vector moves the block at (x, y) to a block
// that lies inside the reference.
bool CommonCopyFits(const PlaneContext& pc, const PlaneCosts& costs, int x, int y) {
  const int mx = costs.commonX(), my = costs.commonY();
  return x + mx >= 0 && y + my >= 0 && uint32_t(x + mx + 8) <= pc.width && uint32_t(y + my + 8) <= pc.height;
}

// The codes that predict from the last picture: a displaced copy, and the
// transform and residue corrections of it. The vector is searched, or the
// plane's common one. True when the best is close enough that coding the
// block afresh cannot win.
bool Predict(const Trial& tr, const PlaneContext& pc, int x, int y, const MotionVector* seeds, int seedCount,
             VectorRule rule, Pick& pick, MotionVector* mvOut) {
  const double lambda = tr.p.lambda;
  MotionVector mv{tr.costs.commonX(), tr.costs.commonY()};
  if (rule == VectorRule::kAny) {
    uint8_t t8[64];
    for (int i = 0; i < 64; ++i) t8[i] = uint8_t(tr.t[i]);
    int sad = 0;
    mv = SearchMotion(pc, t8, x, y, seeds, seedCount, tr.costs, 0.8 * std::sqrt(lambda), &sad);
  }
  *mvOut = mv;
  uint8_t pred[64];
  Load8u(pc.ref, pc.width, x + mv.x, y + mv.y, pred);
  // ChooseBlock has offered the common vector's copy already.
  const bool offered = mv.x == tr.costs.commonX() && mv.y == tr.costs.commonY() && CommonCopyFits(pc, tr.costs, x, y);
  if ((mv.x || mv.y) && !offered) {
    Candidate& motion = pick.Next(BLOCK_MOTION);
    motion.code.hasMotion = true;
    motion.code.mx = int8_t(mv.x);
    motion.code.my = int8_t(mv.y);
    std::memcpy(motion.code.result, pred, 64);
    tr.Offer(pick, Sse(tr.t, pred), tr.TypeBits(BLOCK_MOTION) + tr.costs.Vector(mv.x, mv.y));
  }
  // Coding at the plane's quantiser leaves an error of about kNoise lambda
  // in a block: a copy within a good part of that is not corrected, and one
  // within a few times it is not beaten by coding the block afresh.
  if (pick.best->code.distortion <= kCorrectBelow * lambda) return true;
  TryTransform(tr, pred, mv, pick);
  TryResidue(tr, pred, mv, pick);
  return pick.best->code.distortion <= kFreshBelow * lambda;
}

// Best single 8 x 8 code for the block at (x, y), in one of the two
// candidates given; returns which.
Candidate* ChooseBlock(const PlaneChoice& ch, const RowContext& ctx, int x, int y, const MotionVector* seeds,
                       int seedCount, Candidate pair[2], MotionVector* mvOut, VectorRule rule = VectorRule::kAny) {
  const PlaneContext& pc = *ch.pc;
  const CodingParams& p = *ch.p;
  const PlaneCosts& costs = *ch.costs;
  int t[64];
  Load8(pc.src, pc.width, x, y, t);
  const Trial tr{t, p, costs, ctx, p.lambda, false};
  Pick pick(pair[0], pair[1]);
  *mvOut = {};
  if (!p.key) {
    Candidate& skip = pick.Next(BLOCK_SKIP);
    Load8u(pc.ref, pc.width, x, y, skip.code.result);
    tr.Offer(pick, Sse(t, skip.code.result), tr.TypeBits(BLOCK_SKIP));
    // The common vector's copy, which rows of moving pictures mostly are.
    const int mx = costs.commonX(), my = costs.commonY();
    if ((mx || my) && rule != VectorRule::kNone && CommonCopyFits(pc, costs, x, y)) {
      Candidate& motion = pick.Next(BLOCK_MOTION);
      motion.code.hasMotion = true;
      motion.code.mx = int8_t(mx);
      motion.code.my = int8_t(my);
      Load8u(pc.ref, pc.width, x + mx, y + my, motion.code.result);
      tr.Offer(pick, Sse(t, motion.code.result), tr.TypeBits(BLOCK_MOTION) + costs.Vector(mx, my));
      if (pick.best->code.type == BLOCK_MOTION) *mvOut = {mx, my};
    }
    // A block whose copy differs from the picture by less than the eye and
    // the error measure can tell is left at that.
    if (pick.best->code.distortion <= 64 && pick.best->code.distortion <= p.lambda) return pick.best;
    if (rule != VectorRule::kNone && Predict(tr, pc, x, y, seeds, seedCount, rule, pick, mvOut)) return pick.best;
  }
  TryFill(tr, pick);
  if (pick.best->code.distortion <= 16) return pick.best;
  TryPattern(tr, pick);
  TryTransform(tr, nullptr, {}, pick);
  TryRun(tr, pick);
  TryRaw(tr, pick);
  return pick.best;
}

// Best scaled code for the 16 x 16 area at (x, y): the area averaged to 8 x 8,
// coded as fill, pattern, run, raw or intra and doubled back; charged the
// scaled type in both block rows, the sub-type and the small block's bits.
// Returns the code (one of the pair) when it costs less than areaCost.
Candidate* ChooseScaled(const PlaneChoice& ch, const RowContext rows[2], int x, int y, double areaCost,
                        Candidate pair[2]) {
  const PlaneContext& pc = *ch.pc;
  const PlaneCosts& costs = *ch.costs;
  const double lambda = ch.p->lambda;
  const double typeBits = costs.Type(BLOCK_SCALED, rows[0].prevType) + costs.Type(BLOCK_SCALED, rows[1].prevType);
  if (lambda * (typeBits + costs.Sub(BLOCK_FILL) + 4) >= areaCost) return nullptr;
  int t[64], full[256];
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c) full[r * 16 + c] = pc.src[(y + r) * pc.width + x + c];
  // Doubling loses at least what the area has within its 2 x 2 squares.
  int within = 0;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      const int* q = &full[2 * r * 16 + 2 * c];
      const int sum = q[0] + q[1] + q[16] + q[17];
      t[r * 8 + c] = (sum + 2) >> 2;
      within += 4 * (q[0] * q[0] + q[1] * q[1] + q[16] * q[16] + q[17] * q[17]) - sum * sum;
    }
  if (within / 4 + lambda * (typeBits + costs.Sub(BLOCK_FILL) + 4) >= areaCost) return nullptr;
  // The small block's error counts four times, as it covers four times the area.
  const Trial tr{t, *ch.p, costs, rows[0], lambda / 4, true};
  Pick small(pair[0], pair[1]);
  TryFill(tr, small);
  TryPattern(tr, small);
  TryTransform(tr, nullptr, {}, small);
  TryRun(tr, small);
  BlockCode& b = small.best->code;
  if (b.cost >= 1e299) return nullptr;
  int sse = 0;
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c) {
      const int d = full[r * 16 + c] - b.result[(r / 2) * 8 + c / 2];
      sse += d * d;
    }
  const double bits = (b.cost - b.distortion) / tr.lambda + typeBits + costs.Sub(b.type);
  const double cost = sse + lambda * bits;
  if (cost >= areaCost) return nullptr;
  b.sub = b.type;
  b.type = BLOCK_SCALED;
  b.cost = cost;
  b.distortion = sse;
  return small.best;
}

}  // namespace

void AdvanceContext(RowContext& ctx, const BlockCode& c, bool oldColours, bool continuation) {
  ctx.prevType = c.type;
  if (continuation) return;
  if (c.hasDc) (c.type == BLOCK_INTER ? ctx.prevInterDc : ctx.prevIntraDc) = c.dc;
  if (c.nColours) ctx.lastHigh = ColourSymbolValue(c.colours[c.nColours - 1], oldColours) >> 4;
}

namespace {

// The seeds of block (cx, cy): its left and upper neighbours in this area
// row (already chosen), and last frame's vectors at it and around it.
int SeedsOf(const PlaneChoice& ch, const MotionVector* field, int cx, int cy, bool upper, MotionVector seeds[8]) {
  const int bw = int(ch.pc->width / 8), bh = int(ch.pc->height / 8);
  int ns = 0;
  if (cx > 0) seeds[ns++] = field[size_t(cy) * bw + cx - 1];
  if (upper) seeds[ns++] = field[size_t(cy - 1) * bw + cx];
  if (const MotionVector* prev = ch.previousField) {
    seeds[ns++] = prev[size_t(cy) * bw + cx];
    if (cx + 1 < bw) seeds[ns++] = prev[size_t(cy) * bw + cx + 1];
    if (cy + 1 < bh) seeds[ns++] = prev[size_t(cy + 1) * bw + cx];
    if (cx > 0) seeds[ns++] = prev[size_t(cy) * bw + cx - 1];
    if (cy > 0) seeds[ns++] = prev[size_t(cy - 1) * bw + cx];
  }
  return ns;
}

// Candidates the choice of an area row works in, made once per row.
struct Scratch {
  Candidate cells[4][2];
  Candidate scaled[2];
  Candidate again[2];
};

// The area whose top-left block is (bx, by), its rows' contexts advanced.
void ChooseArea(const PlaneChoice& ch, int bx, int by, MotionVector* field, RowContext rows[2], AreaCode& area,
                Scratch& scratch) {
  const PlaneContext& pc = *ch.pc;
  const int bw = int(pc.width / 8), bh = int(pc.height / 8);
  RowContext ctx[2] = {rows[0], rows[1]};
  const Candidate* chosen[4] = {};
  double sum = 0;
  int n = 0;
  for (int j = 0; j < 2; ++j) {
    for (int i = 0; i < 2; ++i) {
      const int cx = bx + i, cy = by + j;
      if (cx >= bw || cy >= bh) continue;
      MotionVector seeds[8];
      const int ns = SeedsOf(ch, field, cx, cy, j == 1, seeds);
      const Candidate* c = chosen[j * 2 + i] =
          ChooseBlock(ch, ctx[j], cx * 8, cy * 8, seeds, ns, scratch.cells[j * 2 + i], &field[size_t(cy) * bw + cx]);
      AdvanceContext(ctx[j], c->code, ch.p->oldColours);
      sum += c->code.cost;
      ++n;
    }
  }
  area.scaled = false;
  // A scaled code must beat the four blocks together.
  if (n == 4) {
    if (const Candidate* s = ChooseScaled(ch, rows, bx * 8, by * 8, sum, scratch.scaled)) {
      area.scaled = true;
      WriteBits(*s, area.code);
      AdvanceContext(rows[0], area.code, ch.p->oldColours);
      AdvanceContext(rows[1], area.code, ch.p->oldColours, true);
      return;
    }
  }
  for (int k = 0; k < 4; ++k)
    if (chosen[k]) WriteBits(*chosen[k], area.cells[k]);
  rows[0] = ctx[0];
  rows[1] = ctx[1];
}

// Block row cy of the areas: its blocks whose vector is not the common one
// are chosen again with the common vector (or none where that leaves the
// plane) when what that costs is less than the bits the row's vectors save
// by going as one repeated value.
void ShareRowVector(const PlaneChoice& ch, int cy, int j, MotionVector* field, std::vector<AreaCode>& areas,
                    Scratch& scratch) {
  const PlaneCosts& costs = *ch.costs;
  const int bw = int(ch.pc->width / 8);
  const int cx0 = costs.commonX(), cy0 = costs.commonY();
  double treeBits = 0;
  int odd = 0, vectors = 0;
  for (const AreaCode& a : areas) {
    if (a.scaled) continue;
    for (int i = 0; i < 2; ++i) {
      const BlockCode& c = a.cells[j * 2 + i];
      if (!c.hasMotion) continue;
      ++vectors;
      treeBits += costs.VectorTreeBits(c.mx, c.my);
      odd += c.mx != cx0 || c.my != cy0;
    }
  }
  // Two chunks of one value (x and y) against every vector on its own.
  const double saved = treeBits - 32;
  if (odd == 0 || odd > vectors / 4 + 1 || saved <= 0) return;
  RowContext ctx;
  double extra = 0;
  // What is chosen again is written to the row only once all of it pays.
  struct Change {
    size_t area;
    int cell;
    BlockCode code;
    MotionVector mv;
  };
  std::vector<Change> changes;
  for (size_t ai = 0; ai < areas.size(); ++ai) {
    AreaCode& a = areas[ai];
    if (a.scaled) {
      AdvanceContext(ctx, a.code, ch.p->oldColours, j == 1);
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      const int cell = j * 2 + i;
      const int cx = int(ai) * 2 + i;
      if (cx >= bw) continue;
      const BlockCode& c = a.cells[cell];
      if (c.hasMotion && (c.mx != cx0 || c.my != cy0)) {
        const int x = cx * 8, y = cy * 8;
        const bool fits = x + cx0 >= 0 && y + cy0 >= 0 && uint32_t(x + cx0 + 8) <= ch.pc->width &&
                          uint32_t(y + cy0 + 8) <= ch.pc->height;
        Change change{ai, cell, {}, {}};
        const Candidate* again = ChooseBlock(ch, ctx, x, y, nullptr, 0, scratch.again, &change.mv,
                                             fits ? VectorRule::kCommon : VectorRule::kNone);
        extra += again->code.cost - c.cost;
        if (extra >= ch.p->lambda * saved) return;
        WriteBits(*again, change.code);
        AdvanceContext(ctx, change.code, ch.p->oldColours);
        changes.push_back(std::move(change));
        continue;
      }
      AdvanceContext(ctx, c, ch.p->oldColours);
    }
  }
  for (Change& change : changes) {
    areas[change.area].cells[change.cell] = std::move(change.code);
    const int cx = int(change.area) * 2 + (change.cell & 1);
    field[size_t(cy) * bw + cx] = change.mv;
  }
}

}  // namespace

void ChooseAreaRow(const PlaneChoice& ch, int by, MotionVector* field, std::vector<AreaCode>& areas) {
  const int bw = int(ch.pc->width / 8), bh = int(ch.pc->height / 8);
  areas.resize(size_t(bw + 1) / 2);
  RowContext rows[2];
  auto scratch = std::make_unique<Scratch>();
  for (int bx = 0; bx < bw; bx += 2) ChooseArea(ch, bx, by, field, rows, areas[size_t(bx / 2)], *scratch);
  if (ch.p->key) return;
  ShareRowVector(ch, by, 0, field, areas, *scratch);
  if (by + 1 < bh) ShareRowVector(ch, by + 1, 1, field, areas, *scratch);
}

}  // namespace tarn::encoder
