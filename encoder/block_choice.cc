// Block choice: every block type a block could take is tried in turn, each
// coded for real (its bundle values, bits and decoded result), and the
// cheapest by distortion + lambda * estimated bits is kept.
#include "encoder/block_choice.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "encoder/block_coding.h"
#include "encoder/video_tables.h"

namespace tarn::encoder {

namespace {

// Rough bit costs of bundle values, for the block decisions only.
constexpr double kTypeBits = 2.5, kColourBits = 6, kPatternBits = 6, kRunBits = 3, kDcBits = 6;
double MotionBits(int v) { return v ? 4.0 : 2.0; }

// The most run values one run block may take: keeps a row of run blocks
// inside the run bundle's capacity (48 per block).
constexpr int kMaxRunsPerBlock = 48;

uint8_t Legal(int v, const CodingParams& p) {
  v = std::clamp(v, 0, 255);
  if (p.oldColours && v == 0) v = 1;
  return uint8_t(v);
}

double Sse(const int* target, const uint8_t* result) {
  double s = 0;
  for (int i = 0; i < 64; ++i) {
    const int d = target[i] - result[i];
    s += d * d;
  }
  return s;
}

void TryFill(const int* t, const CodingParams& p, BlockCode& best) {
  int sum = 0;
  for (int i = 0; i < 64; ++i) sum += t[i];
  BlockCode c;
  c.type = BLOCK_FILL;
  c.nColours = 1;
  c.colours[0] = Legal((sum + 32) >> 6, p);
  std::memset(c.result, c.colours[0], 64);
  c.cost = Sse(t, c.result) + p.lambda * (kTypeBits + kColourBits);
  if (c.cost < best.cost) best = c;
}

void TryPattern(const int* t, const CodingParams& p, BlockCode& best) {
  int sum = 0;
  for (int i = 0; i < 64; ++i) sum += t[i];
  const int mean = (sum + 32) >> 6;
  int s0 = 0, n0 = 0, s1 = 0, n1 = 0;
  for (int i = 0; i < 64; ++i) {
    if (t[i] > mean) {
      s1 += t[i];
      ++n1;
    } else {
      s0 += t[i];
      ++n0;
    }
  }
  if (!n0 || !n1) return;
  BlockCode c;
  c.type = BLOCK_PATTERN;
  c.nColours = 2;
  c.colours[0] = Legal((s0 + n0 / 2) / n0, p);
  c.colours[1] = Legal((s1 + n1 / 2) / n1, p);
  c.nPatterns = 8;
  for (int r = 0; r < 8; ++r) {
    uint8_t bits = 0;
    for (int x = 0; x < 8; ++x) {
      const int v = t[r * 8 + x];
      const bool one = std::abs(v - c.colours[1]) < std::abs(v - c.colours[0]);
      bits = uint8_t(bits | one << x);
      c.result[r * 8 + x] = one ? c.colours[1] : c.colours[0];
    }
    c.patterns[r] = bits;
  }
  c.cost = Sse(t, c.result) + p.lambda * (kTypeBits + 2 * kColourBits + 8 * kPatternBits);
  if (c.cost < best.cost) best = c;
}

void TryRaw(const int* t, const CodingParams& p, BlockCode& best) {
  if (p.lambda * (kTypeBits + 64 * kColourBits) >= best.cost) return;
  BlockCode c;
  c.type = BLOCK_RAW;
  c.nColours = 64;
  for (int i = 0; i < 64; ++i) c.result[i] = c.colours[i] = Legal(t[i], p);
  c.cost = Sse(t, c.result) + p.lambda * (kTypeBits + 64 * kColourBits);
  if (c.cost < best.cost) best = c;
}

// Lossless run coding along the cheapest of the sixteen scans.
void TryRun(const int* t, const CodingParams& p, BlockCode& best) {
  // Runs pay only where many neighbours are equal; the cheapest run block
  // still costs several bits per run, so skip blocks that cannot win.
  int equal = 0;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      if (c < 7) equal += t[r * 8 + c] == t[r * 8 + c + 1];
      if (r < 7) equal += t[r * 8 + c] == t[r * 8 + c + 8];
    }
  if (equal < 48) return;
  if (p.lambda * (kTypeBits + 4 + 4 * (1 + kRunBits + kColourBits)) >= best.cost) return;
  uint8_t v[64];
  int bestScan = -1;
  double bestBits = 1e300;
  for (int s = 0; s < 16; ++s) {
    for (int i = 0; i < 64; ++i) v[i] = Legal(t[kRunScans[s][i]], p);
    double bits = 4;
    int i = 0, runs = 0;
    while (i < 63) {
      int len = 1;
      while (i + len < 64 && len < 16 && v[i + len] == v[i]) ++len;
      if (len >= 2) {
        bits += 1 + kRunBits + kColourBits;
      } else {
        len = 1;
        while (i + len < 64 && len < 16 && !(i + len + 1 < 64 && v[i + len] == v[i + len + 1])) ++len;
        bits += 1 + kRunBits + len * kColourBits;
      }
      i += len;
      ++runs;
    }
    if (i == 63) bits += kColourBits;
    if (runs <= kMaxRunsPerBlock && bits < bestBits) {
      bestBits = bits;
      bestScan = s;
    }
  }
  if (bestScan < 0) return;
  const double cost0 = p.lambda * (kTypeBits + bestBits);
  if (cost0 >= best.cost) return;
  BlockCode c;
  c.type = BLOCK_RUN;
  const uint8_t* scan = kRunScans[bestScan];
  for (int i = 0; i < 64; ++i) v[i] = Legal(t[scan[i]], p);
  c.bits.Put(uint32_t(bestScan), 4);
  int i = 0;
  while (i < 63) {
    int len = 1;
    while (i + len < 64 && len < 16 && v[i + len] == v[i]) ++len;
    if (len >= 2) {
      c.bits.Put(1, 1);
      c.runs[c.nRuns++] = uint8_t(len - 1);
      c.colours[c.nColours++] = v[i];
    } else {
      len = 1;
      while (i + len < 64 && len < 16 && !(i + len + 1 < 64 && v[i + len] == v[i + len + 1])) ++len;
      c.bits.Put(0, 1);
      c.runs[c.nRuns++] = uint8_t(len - 1);
      for (int k = 0; k < len; ++k) c.colours[c.nColours++] = v[i + k];
    }
    i += len;
  }
  if (i == 63) c.colours[c.nColours++] = v[63];
  for (int k = 0; k < 64; ++k) c.result[scan[k]] = v[k];
  c.cost = Sse(t, c.result) + cost0;
  if (c.cost < best.cost) best = c;
}

// Transform block: intra (pred == nullptr) or inter onto pred.
void TryTransform(const int* t, const uint8_t* pred, int mx, int my, const CodingParams& p,
                  BlockCode& best) {
  double in[64], s[64];
  for (int i = 0; i < 64; ++i) in[i] = t[i] - (pred ? pred[i] : 0);
  ForwardTransform(in, s);
  for (int q = p.q; q >= 0; q -= 4) {
    const int32_t* quant = pred ? InterQuantTable()[q] : IntraQuantTable()[q];
    int16_t coef[64];
    QuantiseBlock(s, quant, 0.25, pred ? -1023 : 0, pred ? 1023 : 2047, coef);
    int32_t out[64];
    IdctSamples(coef, quant, out);
    BlockCode c;
    bool inRange = true;
    for (int i = 0; i < 64 && inRange; ++i) {
      const int v = out[i] + (pred ? pred[i] : 0);
      inRange = v >= 0 && v <= 255;
      c.result[i] = uint8_t(v);
    }
    if (!inRange) continue;
    if (!WriteCoefficients(c.bits, coef)) continue;
    c.bits.Put(uint32_t(q), 4);
    c.type = pred ? BLOCK_INTER : BLOCK_INTRA;
    c.hasDc = true;
    c.dc = coef[0];
    double bits = kTypeBits + kDcBits + double(c.bits.BitCount());
    if (pred) {
      c.hasMotion = true;
      c.mx = int8_t(mx);
      c.my = int8_t(my);
      bits += MotionBits(mx) + MotionBits(my);
    }
    c.cost = Sse(t, c.result) + p.lambda * bits;
    if (c.cost < best.cost) best = std::move(c);
    return;
  }
}

void TryResidue(const int* t, const uint8_t* pred, int mx, int my, const CodingParams& p,
                BlockCode& best) {
  int8_t target[64], decoded[64];
  const int sh = p.residueShift;
  // A residue codes every sample change on its own: worth it only for a few
  // small changes, which bounds its cost from below by their count.
  int changed = 0;
  for (int i = 0; i < 64; ++i) changed += std::abs(t[i] - pred[i]) >= (1 << sh);
  if (changed == 0 || changed > 24) return;
  if (p.lambda * (kTypeBits + 10 + 3 * changed) >= best.cost) return;
  for (int k = 0; k < 64; ++k) {
    const int pos = kCoefficientScan[k];
    int r = t[pos] - pred[pos];
    if (sh > 0) r = r < 0 ? -((-r + (1 << (sh - 1))) >> sh << sh) : (r + (1 << (sh - 1))) >> sh << sh;
    r = std::clamp(r, -pred[pos], 255 - pred[pos]);
    target[k] = int8_t(std::clamp(r, -127, 127));
  }
  BlockCode c;
  WriteResidue(c.bits, target, 128, decoded);
  c.type = BLOCK_RESIDUE;
  c.hasMotion = true;
  c.mx = int8_t(mx);
  c.my = int8_t(my);
  for (int k = 0; k < 64; ++k) {
    const int pos = kCoefficientScan[k];
    c.result[pos] = uint8_t(pred[pos] + decoded[k]);
  }
  c.cost = Sse(t, c.result) +
           p.lambda * (kTypeBits + MotionBits(mx) + MotionBits(my) + double(c.bits.BitCount()));
  if (c.cost < best.cost) best = std::move(c);
}

void Load8(const uint8_t* plane, uint32_t stride, int x, int y, int* dst) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) dst[r * 8 + c] = plane[(y + r) * stride + x + c];
}

void Load8u(const uint8_t* plane, uint32_t stride, int x, int y, uint8_t* dst) {
  for (int r = 0; r < 8; ++r) std::memcpy(dst + r * 8, plane + (y + r) * stride + x, 8);
}

// Best single 8 x 8 code for the block at (x, y).
void ChooseBlock(const PlaneContext& pc, const CodingParams& p, int x, int y, const MotionVector* seeds,
                 int seedCount, BlockCode& best, MotionVector* mvOut) {
  int t[64];
  Load8(pc.src, pc.width, x, y, t);
  best = BlockCode();
  *mvOut = {};
  if (!p.key) {
    uint8_t same[64];
    Load8u(pc.ref, pc.width, x, y, same);
    BlockCode skip;
    skip.type = BLOCK_SKIP;
    std::memcpy(skip.result, same, 64);
    skip.cost = Sse(t, same) + p.lambda * 1.5;
    best = skip;
    if (best.cost <= p.lambda * 4) return;  // nothing cheaper can win
    int sad = 0;
    uint8_t t8[64];
    Load8u(pc.src, pc.width, x, y, t8);
    const MotionVector mv = SearchMotion(pc, t8, x, y, seeds, seedCount, &sad);
    *mvOut = mv;
    uint8_t pred[64];
    Load8u(pc.ref, pc.width, x + mv.x, y + mv.y, pred);
    if (mv.x || mv.y) {
      BlockCode motion;
      motion.type = BLOCK_MOTION;
      motion.hasMotion = true;
      motion.mx = int8_t(mv.x);
      motion.my = int8_t(mv.y);
      std::memcpy(motion.result, pred, 64);
      motion.cost = Sse(t, pred) + p.lambda * (kTypeBits + MotionBits(mv.x) + MotionBits(mv.y));
      if (motion.cost < best.cost) best = motion;
    }
    if (best.cost <= p.lambda * 8) return;
    TryTransform(t, pred, mv.x, mv.y, p, best);
    TryResidue(t, pred, mv.x, mv.y, p, best);
    // A prediction this cheap is not beaten by coding the block afresh.
    if (best.cost <= p.lambda * 24) return;
  }
  TryFill(t, p, best);
  if (best.cost <= p.lambda * (kTypeBits + kColourBits) * 1.5) return;
  TryPattern(t, p, best);
  TryTransform(t, nullptr, 0, 0, p, best);
  TryRun(t, p, best);
  TryRaw(t, p, best);
}

// Best scaled code for the 16 x 16 area at (x, y): the area averaged to 8 x 8,
// coded as fill, pattern, run, raw or intra and doubled back.
void ChooseScaled(const PlaneContext& pc, const CodingParams& p, int x, int y, BlockCode& best) {
  int t[64], full[256];
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c) full[r * 16 + c] = pc.src[(y + r) * pc.width + x + c];
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      const int* q = &full[2 * r * 16 + 2 * c];
      t[r * 8 + c] = (q[0] + q[1] + q[16] + q[17] + 2) >> 2;
    }
  BlockCode small;
  // The small block is judged at four times its weight, as it covers 4x the area.
  CodingParams sp = p;
  sp.lambda = p.lambda / 4;
  TryFill(t, sp, small);
  TryPattern(t, sp, small);
  TryTransform(t, nullptr, 0, 0, sp, small);
  TryRun(t, sp, small);
  if (small.cost >= 1e299) return;
  double sse = 0;
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c) {
      const int d = full[r * 16 + c] - small.result[(r / 2) * 8 + c / 2];
      sse += d * d;
    }
  const double bits = (small.cost - Sse(t, small.result)) / sp.lambda + kTypeBits * 3;
  const double cost = sse + p.lambda * bits;
  if (cost < best.cost) {
    best = std::move(small);
    best.sub = best.type;
    best.type = BLOCK_SCALED;
    best.cost = cost;
  }
}

}  // namespace

bool ChooseArea(const PlaneContext& pc, const CodingParams& p, int bx, int by, MotionVector* field,
                BlockCode cells[4], BlockCode& scaled) {
  const int bw = int(pc.width / 8), bh = int(pc.height / 8);
  double sum = 0;
  int n = 0;
  for (int j = 0; j < 2; ++j) {
    for (int i = 0; i < 2; ++i) {
      const int cx = bx + i, cy = by + j;
      if (cx >= bw || cy >= bh) continue;
      MotionVector seeds[4];
      int ns = 0;
      if (cx > 0) seeds[ns++] = field[size_t(cy) * bw + cx - 1];
      if (cy > 0) seeds[ns++] = field[size_t(cy - 1) * bw + cx];
      if (cy > 0 && cx + 1 < bw) seeds[ns++] = field[size_t(cy - 1) * bw + cx + 1];
      ChooseBlock(pc, p, cx * 8, cy * 8, seeds, ns, cells[j * 2 + i], &field[size_t(cy) * bw + cx]);
      sum += cells[j * 2 + i].cost;
      ++n;
    }
  }
  if (n < 4) return false;
  // A scaled code must beat the four blocks together.
  scaled = BlockCode();
  scaled.cost = sum;
  ChooseScaled(pc, p, bx * 8, by * 8, scaled);
  return scaled.type == BLOCK_SCALED;
}

}  // namespace tarn::encoder
