// Video encoder: chooses one of the ten block types per 8 x 8 block by rate
// and distortion, lays the block values out in per-row bundle chunks, picks
// each bundle's code shape and symbol map, and writes the planes.
#include "encoder/video_encoder.h"

#include <bit>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "video/bit_writer.h"
#include "encoder/block_coding.h"
#include "encoder/video_tables.h"
#include "video/stream_codes.h"
#include "video/video.h"

namespace tarn::encoder {

namespace {

// Tree numbers in the order the plane header carries them.
enum : int {
  T_TYPE = 0, T_SUB = 1, T_COLOUR_CONTEXT = 2, T_COLOUR = 18, T_PATTERN = 19, T_X = 20, T_Y = 21,
  T_RUN = 22, kTrees = 23
};

// Rough bit costs of bundle values, for the block decisions only.
constexpr double kTypeBits = 2.5, kColourBits = 6, kPatternBits = 6, kRunBits = 3, kDcBits = 6;
double MotionBits(int v) { return v ? 4.0 : 2.0; }

// The most run values one run block may take: keeps a row of run blocks
// inside the run bundle's capacity (48 per block).
constexpr int kMaxRunsPerBlock = 48;

int BitLength(uint32_t v) { return int(std::bit_width(v)); }

struct Params {
  int q = 0;
  double lambda = 1;
  bool key = true;
  bool oldColours = false;  // revisions f, g, h: colour byte 0 cannot be coded
  int residueShift = 0;     // residue bits dropped below this level
};

uint8_t Legal(int v, const Params& p) {
  v = std::clamp(v, 0, 255);
  if (p.oldColours && v == 0) v = 1;
  return uint8_t(v);
}

// One block's coded form: its type, bundle values, stream bits, and the 8 x 8
// result (the decoded block; for a scaled area the result before doubling).
struct BlockCode {
  uint8_t type = BLOCK_SKIP;
  uint8_t sub = 0;
  bool hasMotion = false;
  int8_t mx = 0, my = 0;
  bool hasDc = false;
  int16_t dc = 0;
  int nColours = 0, nPatterns = 0, nRuns = 0;
  uint8_t colours[64] = {};
  uint8_t patterns[8] = {};
  uint8_t runs[64] = {};
  BitWriter bits;
  double cost = 1e300;
  uint8_t result[64] = {};
};

double Sse(const int* target, const uint8_t* result) {
  double s = 0;
  for (int i = 0; i < 64; ++i) {
    const int d = target[i] - result[i];
    s += d * d;
  }
  return s;
}

void TryFill(const int* t, const Params& p, BlockCode& best) {
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

void TryPattern(const int* t, const Params& p, BlockCode& best) {
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

void TryRaw(const int* t, const Params& p, BlockCode& best) {
  if (p.lambda * (kTypeBits + 64 * kColourBits) >= best.cost) return;
  BlockCode c;
  c.type = BLOCK_RAW;
  c.nColours = 64;
  for (int i = 0; i < 64; ++i) c.result[i] = c.colours[i] = Legal(t[i], p);
  c.cost = Sse(t, c.result) + p.lambda * (kTypeBits + 64 * kColourBits);
  if (c.cost < best.cost) best = c;
}

// Lossless run coding along the cheapest of the sixteen scans.
void TryRun(const int* t, const Params& p, BlockCode& best) {
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
void TryTransform(const int* t, const uint8_t* pred, int mx, int my, const Params& p,
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

void TryResidue(const int* t, const uint8_t* pred, int mx, int my, const Params& p,
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

// The coded picture area of one plane and its reference.
struct PlaneContext {
  uint32_t width = 0, height = 0;   // multiples of 8
  const uint8_t* src = nullptr;     // padded source, stride width
  const uint8_t* ref = nullptr;     // previous decoded plane or null, stride width
  uint8_t* out = nullptr;           // decoded plane being built, stride width
};

void Load8(const uint8_t* plane, uint32_t stride, int x, int y, int* dst) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) dst[r * 8 + c] = plane[(y + r) * stride + x + c];
}

void Load8u(const uint8_t* plane, uint32_t stride, int x, int y, uint8_t* dst) {
  for (int r = 0; r < 8; ++r) std::memcpy(dst + r * 8, plane + (y + r) * stride + x, 8);
}

// Sum of absolute differences of an 8 x 8 target and a plane block; stops
// early once limit is reached (then returns a value >= limit).
int Sad(const uint8_t* t, const uint8_t* plane, uint32_t stride, int x, int y, int limit) {
  int s = 0;
  for (int r = 0; r < 8; r += 2) {
    const uint8_t* a = plane + size_t(y + r) * stride + x;
    const uint8_t* b = a + stride;
    int part = 0;
    for (int c = 0; c < 8; ++c) part += std::abs(int(t[r * 8 + c]) - int(a[c]));
    for (int c = 0; c < 8; ++c) part += std::abs(int(t[r * 8 + 8 + c]) - int(b[c]));
    s += part;
    if (s >= limit) return s;
  }
  return s;
}

struct Vector {
  int x = 0, y = 0;
};

// Predictive search within +-15 that keeps the displaced block inside the plane.
Vector SearchMotion(const PlaneContext& pc, const uint8_t* t, int x, int y, const Vector* seeds,
                    int seedCount, int* bestSad) {
  auto valid = [&](int dx, int dy) {
    return dx >= -15 && dx <= 15 && dy >= -15 && dy <= 15 && x + dx >= 0 && y + dy >= 0 &&
           uint32_t(x + dx + 8) <= pc.width && uint32_t(y + dy + 8) <= pc.height;
  };
  Vector best;
  int bestCost = Sad(t, pc.ref, pc.width, x, y, 1 << 30);
  auto consider = [&](int dx, int dy) {
    if (!valid(dx, dy)) return false;
    const int s = Sad(t, pc.ref, pc.width, x + dx, y + dy, bestCost) + 2 * (std::abs(dx) + std::abs(dy));
    if (s < bestCost) {
      bestCost = s;
      best = {dx, dy};
      return true;
    }
    return false;
  };
  for (int i = 0; i < seedCount; ++i) consider(seeds[i].x, seeds[i].y);
  // A wide look only when no neighbour's vector fits well.
  if (bestCost > 4 * 64) {
    for (int dy = -12; dy <= 12; dy += 6)
      for (int dx = -12; dx <= 12; dx += 6) consider(best.x + dx, best.y + dy);
  }
  for (int step = 4; step >= 1; step /= 2) {
    for (int iter = 0; iter < 8; ++iter) {
      const Vector c = best;
      bool moved = false;
      moved |= consider(c.x + step, c.y);
      moved |= consider(c.x - step, c.y);
      moved |= consider(c.x, c.y + step);
      moved |= consider(c.x, c.y - step);
      if (!moved) break;
    }
  }
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) consider(best.x + dx, best.y + dy);
  *bestSad = bestCost;
  return best;
}

// Best single 8 x 8 code for the block at (x, y).
void ChooseBlock(const PlaneContext& pc, const Params& p, int x, int y, const Vector* seeds,
                 int seedCount, BlockCode& best, Vector* mvOut) {
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
    const Vector mv = SearchMotion(pc, t8, x, y, seeds, seedCount, &sad);
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
void ChooseScaled(const PlaneContext& pc, const Params& p, int x, int y, BlockCode& best) {
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
  Params sp = p;
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

struct RowData {
  std::vector<int> values[kVideoBundleCount];
  BitWriter bits;
};

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

// ---- Bundle chunks and trees ----

struct Chunk {
  int kind;
  std::vector<int> values;  // empty: the count-0 chunk that ends the bundle
};

// Receives the coded form of chunks: raw bits and tree symbols.
struct Sink {
  virtual ~Sink() = default;
  virtual void Bits(uint32_t v, int n) = 0;
  virtual void Symbol(int tree, int symbol) = 0;
};

struct HistogramSink : Sink {
  uint32_t counts[kTrees][16] = {};
  void Bits(uint32_t, int) override {}
  void Symbol(int tree, int symbol) override { ++counts[tree][symbol]; }
};

struct Tree {
  int shape = 0;
  uint8_t map[16];      // code index -> symbol
  uint8_t codeOf[16];   // symbol -> code index
};

struct WriterSink : Sink {
  BitWriter* out;
  const Tree* trees;
  void Bits(uint32_t v, int n) override { out->Put(v, n); }
  void Symbol(int tree, int symbol) override {
    const Tree& t = trees[tree];
    const CodeWord& w = CodeShapes()[t.shape][t.codeOf[symbol]];
    out->Put(w.bits, w.length);
  }
};

bool AllEqual(const std::vector<int>& v) {
  for (int x : v)
    if (x != v[0]) return false;
  return true;
}

// Codes a colour value with the context trees; bytes of revisions f, g, h
// are stored through their sign-folded form.
void ColourValue(Sink& s, int byte, bool oldColours, int& lastHigh) {
  int v = byte;
  if (oldColours) v = byte >= 128 ? byte - 128 : (0x80 | (128 - byte));
  const int high = v >> 4;
  s.Symbol(T_COLOUR_CONTEXT + lastHigh, high);
  lastHigh = high;
  s.Symbol(T_COLOUR, v & 15);
}

void CodeChunk(Sink& s, const Chunk& ch, int countBits, bool oldColours, int& lastHigh) {
  const auto& v = ch.values;
  s.Bits(uint32_t(v.size()), countBits);
  if (v.empty()) return;
  const int n = int(v.size());
  switch (ch.kind) {
    case BUNDLE_BLOCK_TYPE:
    case BUNDLE_SUB_BLOCK_TYPE: {
      const int tree = ch.kind == BUNDLE_BLOCK_TYPE ? T_TYPE : T_SUB;
      if (n >= 4 && AllEqual(v)) {
        s.Bits(1, 1);
        s.Bits(uint32_t(v[0]), 4);
        return;
      }
      s.Bits(0, 1);
      int last = 0;
      int i = 0;
      while (i < n) {
        if (v[i] == last) {
          int run = 0;
          while (i + run < n && v[i + run] == last && run < 32) ++run;
          if (run >= 32) { s.Symbol(tree, 15); i += 32; continue; }
          if (run >= 12) { s.Symbol(tree, 14); i += 12; continue; }
          if (run >= 8) { s.Symbol(tree, 13); i += 8; continue; }
          if (run >= 4) { s.Symbol(tree, 12); i += 4; continue; }
        }
        s.Symbol(tree, v[i]);
        last = v[i];
        ++i;
      }
      return;
    }
    case BUNDLE_COLOR:
      if (n >= 2 && AllEqual(v)) {
        s.Bits(1, 1);
        ColourValue(s, v[0], oldColours, lastHigh);
        return;
      }
      s.Bits(0, 1);
      for (int x : v) ColourValue(s, x, oldColours, lastHigh);
      return;
    case BUNDLE_PATTERN:
      for (int x : v) {
        s.Symbol(T_PATTERN, x & 15);
        s.Symbol(T_PATTERN, x >> 4);
      }
      return;
    case BUNDLE_X_OFFSET:
    case BUNDLE_Y_OFFSET: {
      const int tree = ch.kind == BUNDLE_X_OFFSET ? T_X : T_Y;
      if (n >= 2 && AllEqual(v)) {
        s.Bits(1, 1);
        s.Bits(uint32_t(std::abs(v[0])), 4);
        if (v[0]) s.Bits(v[0] < 0, 1);
        return;
      }
      s.Bits(0, 1);
      for (int x : v) {
        s.Symbol(tree, std::abs(x));
        if (x) s.Bits(x < 0, 1);
      }
      return;
    }
    case BUNDLE_INTRA_DC:
    case BUNDLE_INTER_DC: {
      if (ch.kind == BUNDLE_INTRA_DC) {
        s.Bits(uint32_t(v[0]), 11);
      } else {
        s.Bits(uint32_t(std::abs(v[0])), 10);
        if (v[0]) s.Bits(v[0] < 0, 1);
      }
      for (int g = 1; g < n; g += 8) {
        const int end = std::min(n, g + 8);
        int maxDelta = 0;
        for (int i = g; i < end; ++i) maxDelta = std::max(maxDelta, std::abs(int(int16_t(v[i] - v[i - 1]))));
        const int bits = BitLength(uint32_t(maxDelta));
        s.Bits(uint32_t(bits), 4);
        if (!bits) continue;
        for (int i = g; i < end; ++i) {
          const int d = int16_t(v[i] - v[i - 1]);
          s.Bits(uint32_t(std::abs(d)), bits);
          if (d) s.Bits(d < 0, 1);
        }
      }
      return;
    }
    case BUNDLE_RUN:
      if (n >= 2 && AllEqual(v)) {
        s.Bits(1, 1);
        s.Bits(uint32_t(v[0]), 4);
        return;
      }
      s.Bits(0, 1);
      for (int x : v) s.Symbol(T_RUN, x);
      return;
  }
}

// Picks the shape and map that code the histogram in the fewest bits and
// writes its description. Symbols sharing a code length are kept in
// increasing order, which keeps the explicit list short.
Tree ChooseTree(const uint32_t counts[16], BitWriter* header) {
  uint64_t total = 0;
  for (int i = 0; i < 16; ++i) total += counts[i];
  int order[16];  // symbols by decreasing count, ties by value
  for (int i = 0; i < 16; ++i) order[i] = i;
  std::stable_sort(order, order + 16, [&](int a, int b) { return counts[a] > counts[b]; });
  Tree best;
  uint64_t bestBits = 4 * total;  // shape 0: plain four-bit symbols
  best.shape = 0;
  for (int i = 0; i < 16; ++i) best.map[i] = uint8_t(i);
  for (int shape = 1; shape < kCodeShapeCount && total; ++shape) {
    const CodeWord* words = CodeShapes()[shape];
    int byLength[16];
    for (int i = 0; i < 16; ++i) byLength[i] = i;
    std::stable_sort(byLength, byLength + 16, [&](int a, int b) { return words[a].length < words[b].length; });
    uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) bits += uint64_t(counts[order[i]]) * words[byLength[i]].length;
    if (bits + 40 < bestBits) {
      Tree t;
      t.shape = shape;
      for (int i = 0; i < 16; ++i) t.map[byLength[i]] = uint8_t(order[i]);
      // Within one code length, ascending symbols.
      for (int i = 0; i < 16;) {
        int j = i;
        while (j < 16 && words[byLength[j]].length == words[byLength[i]].length) ++j;
        uint8_t syms[16];
        int idx[16];
        for (int k = i; k < j; ++k) {
          syms[k - i] = t.map[byLength[k]];
          idx[k - i] = byLength[k];
        }
        std::sort(syms, syms + (j - i));
        std::sort(idx, idx + (j - i));
        for (int k = 0; k < j - i; ++k) t.map[idx[k]] = syms[k];
        i = j;
      }
      best = t;
      bestBits = bits + 40;
    }
  }
  for (int i = 0; i < 16; ++i) best.codeOf[best.map[i]] = uint8_t(i);
  if (!header) return best;
  header->Put(uint32_t(best.shape), 4);
  if (best.shape == 0) return best;
  // Explicit list: the shortest prefix after which the map is the unnamed
  // values in increasing order.
  int explicitCount = -1;
  for (int n = 0; n <= 7 && explicitCount < 0; ++n) {
    bool named[16] = {};
    for (int i = 0; i <= n; ++i) named[best.map[i]] = true;
    int next = n + 1;
    bool ok = true;
    for (int v = 0; v < 16 && ok; ++v) {
      if (named[v]) continue;
      ok = best.map[next++] == v;
    }
    if (ok) explicitCount = n;
  }
  // Merge list: a bottom-up merge sort of 0..15 by position in the map.
  int rank[16];
  for (int i = 0; i < 16; ++i) rank[best.map[i]] = i;
  BitWriter merge;
  int levels = 0;
  {
    std::vector<int> cur(16);
    for (int i = 0; i < 16; ++i) cur[i] = i;
    for (int k = 0; k < 4; ++k) {
      std::vector<int> next;
      const int run = 1 << k;
      for (int start = 0; start < 16; start += 2 * run) {
        int a = start, b = start + run;
        const int aEnd = start + run, bEnd = start + 2 * run;
        while (a < aEnd && b < bEnd) {
          if (rank[cur[a]] < rank[cur[b]]) {
            merge.Put(0, 1);
            next.push_back(cur[a++]);
          } else {
            merge.Put(1, 1);
            next.push_back(cur[b++]);
          }
        }
        while (a < aEnd) next.push_back(cur[a++]);
        while (b < bEnd) next.push_back(cur[b++]);
      }
      cur = next;
      levels = k;
      bool done = true;
      for (int i = 0; i < 16; ++i) done &= cur[i] == best.map[i];
      if (done) break;
    }
  }
  const uint64_t explicitBits = explicitCount >= 0 ? 3 + 4 * uint64_t(explicitCount + 1) : ~0ull;
  if (explicitBits <= 2 + merge.BitCount()) {
    header->Put(1, 1);
    header->Put(uint32_t(explicitCount), 3);
    for (int i = 0; i <= explicitCount; ++i) header->Put(best.map[i], 4);
  } else {
    header->Put(0, 1);
    header->Put(uint32_t(levels), 2);
    header->Append(merge);
  }
  return best;
}

// Writes one plane's stream: trees, then per row the chunks of the bundles
// that the row finds exhausted, then the row's block bits.
void WritePlane(std::vector<RowData>& rows, uint32_t width, bool oldColours,
                std::vector<uint8_t>& out) {
  int countBits[kVideoBundleCount];
  uint32_t maxCount[kVideoBundleCount];
  for (int k = 0; k < kVideoBundleCount; ++k) {
    countBits[k] = BundleCountBits(k, width);
    maxCount[k] = BundleRowValues(k, width) + 511;
  }
  const size_t nRows = rows.size();
  std::vector<std::vector<Chunk>> chunksAt(nRows);
  size_t remaining[kVideoBundleCount] = {};
  bool finished[kVideoBundleCount] = {};
  for (size_t r = 0; r < nRows; ++r) {
    for (int k = 0; k < kVideoBundleCount; ++k) {
      if (remaining[k] == 0 && !finished[k]) {
        Chunk ch{k, {}};
        size_t s = r;
        while (s < nRows && rows[s].values[k].empty()) ++s;
        // Whole rows only, as many as fit one chunk.
        while (s < nRows && ch.values.size() + rows[s].values[k].size() <= maxCount[k]) {
          ch.values.insert(ch.values.end(), rows[s].values[k].begin(), rows[s].values[k].end());
          ++s;
        }
        if (ch.values.empty()) finished[k] = true;
        remaining[k] = ch.values.size();
        chunksAt[r].push_back(std::move(ch));
      }
      remaining[k] -= rows[r].values[k].size();
    }
  }
  HistogramSink hist;
  int lastHigh = 0;
  for (size_t r = 0; r < nRows; ++r)
    for (const Chunk& ch : chunksAt[r]) CodeChunk(hist, ch, countBits[ch.kind], oldColours, lastHigh);
  BitWriter w;
  Tree trees[kTrees];
  for (int t = 0; t < kTrees; ++t) trees[t] = ChooseTree(hist.counts[t], &w);
  WriterSink sink;
  sink.out = &w;
  sink.trees = trees;
  lastHigh = 0;
  for (size_t r = 0; r < nRows; ++r) {
    for (const Chunk& ch : chunksAt[r]) CodeChunk(sink, ch, countBits[ch.kind], oldColours, lastHigh);
    w.Append(rows[r].bits);
  }
  w.FlushTo(out);
}

// Encodes one plane from src (srcWidth x srcHeight) into out and leaves the
// decoder's result in recon. ref is the previous decoded plane (same size).
void EncodePlane(const uint8_t* src, uint32_t srcStride, uint32_t srcWidth, uint32_t srcHeight,
                 ReconPlane& recon, const ReconPlane* ref, const Params& p,
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
  Params params = p;
  if (!pc.ref) params.key = true;

  const int bw = int(w / 8), bh = int(h / 8);
  std::vector<RowData> rows(static_cast<size_t>(bh));
  std::vector<Vector> field(static_cast<size_t>(bw) * bh);
  std::vector<BlockCode> cells(4);
  auto store = [&](const BlockCode& c, int x, int y) {
    for (int r = 0; r < 8; ++r) std::memcpy(pc.out + size_t(y + r) * w + x, c.result + r * 8, 8);
  };
  for (int by = 0; by < bh; by += 2) {
    for (int bx = 0; bx < bw; bx += 2) {
      double sum = 0;
      int n = 0;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          const int cx = bx + i, cy = by + j;
          if (cx >= bw || cy >= bh) continue;
          Vector seeds[4];
          int ns = 0;
          if (cx > 0) seeds[ns++] = field[size_t(cy) * bw + cx - 1];
          if (cy > 0) seeds[ns++] = field[size_t(cy - 1) * bw + cx];
          if (cy > 0 && cx + 1 < bw) seeds[ns++] = field[size_t(cy - 1) * bw + cx + 1];
          ChooseBlock(pc, params, cx * 8, cy * 8, seeds, ns, cells[j * 2 + i],
                      &field[size_t(cy) * bw + cx]);
          sum += cells[j * 2 + i].cost;
          ++n;
        }
      }
      BlockCode scaled;
      if (n == 4) {
        scaled.cost = sum;
        ChooseScaled(pc, params, bx * 8, by * 8, scaled);
      }
      if (n == 4 && scaled.type == BLOCK_SCALED) {
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
  Params p;
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
