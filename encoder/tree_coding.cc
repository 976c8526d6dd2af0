// Tree and bundle coding. A plane's values are cut into chunks, its trees
// fitted to the symbols the chunks send, the cuts chosen again with those
// trees' code lengths (where a chunk of one repeated value pays, rows go in
// chunks of their own), the trees fitted once more, and the plane written.
#include "encoder/tree_coding.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <utility>

#include "encoder/video_tables.h"
#include "video/stream_codes.h"

namespace tarn::encoder {

namespace {

int BitLength(uint32_t v) { return int(std::bit_width(v)); }

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
  uint32_t counts[kTreeCount][16] = {};
  void Bits(uint32_t, int) override {}
  void Symbol(int tree, int symbol) override { ++counts[tree][symbol]; }
};

// Adds up the bits a chunk takes with given code lengths.
struct CostSink : Sink {
  const uint8_t (*length)[16];
  double bits = 0;
  explicit CostSink(const uint8_t (*l)[16]) : length(l) {}
  void Bits(uint32_t, int n) override { bits += n; }
  void Symbol(int tree, int symbol) override { bits += length[tree][symbol]; }
};

struct Tree {
  int shape = 0;
  uint8_t map[16];     // code index -> symbol
  uint8_t codeOf[16];  // symbol -> code index
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

// Codes a colour value with the context trees.
void ColourValue(Sink& s, int byte, bool oldColours, int& lastHigh) {
  const int v = ColourSymbolValue(byte, oldColours);
  const int high = v >> 4;
  s.Symbol(TREE_COLOUR_CONTEXT + lastHigh, high);
  lastHigh = high;
  s.Symbol(TREE_COLOUR, v & 15);
}

// The kinds whose chunks may be one value repeated (a mode bit says which).
bool HasRepeatMode(int kind) {
  return kind != BUNDLE_PATTERN && kind != BUNDLE_INTRA_DC && kind != BUNDLE_INTER_DC;
}

// Codes one chunk. repeat chooses the one-value form for a chunk whose
// values are all equal (it is ignored for other chunks).
void CodeChunk(Sink& s, const Chunk& ch, int countBits, bool oldColours, int& lastHigh, bool repeat) {
  const auto& v = ch.values;
  s.Bits(uint32_t(v.size()), countBits);
  if (v.empty()) return;
  const int n = int(v.size());
  repeat = repeat && AllEqual(v);
  switch (ch.kind) {
    case BUNDLE_BLOCK_TYPE:
    case BUNDLE_SUB_BLOCK_TYPE: {
      const int tree = ch.kind == BUNDLE_BLOCK_TYPE ? TREE_TYPE : TREE_SUB;
      if (repeat) {
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
      s.Bits(repeat, 1);
      if (repeat) {
        ColourValue(s, v[0], oldColours, lastHigh);
        return;
      }
      for (int x : v) ColourValue(s, x, oldColours, lastHigh);
      return;
    case BUNDLE_PATTERN:
      for (int x : v) {
        s.Symbol(TREE_PATTERN, x & 15);
        s.Symbol(TREE_PATTERN, x >> 4);
      }
      return;
    case BUNDLE_X_OFFSET:
    case BUNDLE_Y_OFFSET: {
      const int tree = ch.kind == BUNDLE_X_OFFSET ? TREE_X : TREE_Y;
      s.Bits(repeat, 1);
      if (repeat) {
        s.Bits(uint32_t(std::abs(v[0])), 4);
        if (v[0]) s.Bits(v[0] < 0, 1);
        return;
      }
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
      s.Bits(repeat, 1);
      if (repeat) {
        s.Bits(uint32_t(v[0]), 4);
        return;
      }
      for (int x : v) s.Symbol(TREE_RUN, x);
      return;
  }
}

// The shortest description of a map: an explicit list when the map is a
// short prefix followed by the unnamed values in increasing order, else the
// merge levels of a bottom-up merge sort of 0..15 into the map's order.
void DescribeMap(const uint8_t map[16], BitWriter& header) {
  int explicitCount = -1;
  for (int n = 0; n <= 7 && explicitCount < 0; ++n) {
    bool named[16] = {};
    for (int i = 0; i <= n; ++i) named[map[i]] = true;
    int next = n + 1;
    bool ok = true;
    for (int v = 0; v < 16 && ok; ++v) {
      if (named[v]) continue;
      ok = map[next++] == v;
    }
    if (ok) explicitCount = n;
  }
  int rank[16];
  for (int i = 0; i < 16; ++i) rank[map[i]] = i;
  BitWriter merge;
  int levels = 0;
  int cur[16], next[16];
  for (int i = 0; i < 16; ++i) cur[i] = i;
  for (int k = 0; k < 4; ++k) {
    const int run = 1 << k;
    int out = 0;
    for (int start = 0; start < 16; start += 2 * run) {
      int a = start, b = start + run;
      const int aEnd = start + run, bEnd = start + 2 * run;
      while (a < aEnd && b < bEnd) {
        const bool second = rank[cur[b]] < rank[cur[a]];
        merge.Put(second, 1);
        next[out++] = second ? cur[b++] : cur[a++];
      }
      while (a < aEnd) next[out++] = cur[a++];
      while (b < bEnd) next[out++] = cur[b++];
    }
    std::copy_n(next, 16, cur);
    levels = k;
    if (std::equal(cur, cur + 16, map)) break;
  }
  const uint64_t explicitBits = explicitCount >= 0 ? 3 + 4 * uint64_t(explicitCount + 1) : ~0ull;
  if (explicitBits <= 2 + merge.BitCount()) {
    header.Put(1, 1);
    header.Put(uint32_t(explicitCount), 3);
    for (int i = 0; i <= explicitCount; ++i) header.Put(map[i], 4);
  } else {
    header.Put(0, 1);
    header.Put(uint32_t(levels), 2);
    header.Append(merge);
  }
}

// The shape and map that code the histogram and their own description in
// the fewest bits. Symbols sharing a code length are kept in increasing
// order, which keeps the description short.
Tree ChooseTree(const uint32_t counts[16]) {
  uint64_t total = 0;
  for (int i = 0; i < 16; ++i) total += counts[i];
  int order[16];  // symbols by decreasing count, ties by value
  for (int i = 0; i < 16; ++i) order[i] = i;
  std::stable_sort(order, order + 16, [&](int a, int b) { return counts[a] > counts[b]; });
  Tree best;
  best.shape = 0;
  for (int i = 0; i < 16; ++i) best.map[i] = uint8_t(i);
  uint64_t bestBits = 4 + 4 * total;  // shape 0: plain four-bit symbols
  for (int shape = 1; shape < kCodeShapeCount && total; ++shape) {
    const CodeWord* words = CodeShapes()[shape];
    int byLength[16];
    for (int i = 0; i < 16; ++i) byLength[i] = i;
    std::stable_sort(byLength, byLength + 16, [&](int a, int b) { return words[a].length < words[b].length; });
    uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) bits += uint64_t(counts[order[i]]) * words[byLength[i]].length;
    if (bits + 4 >= bestBits) continue;
    Tree t;
    t.shape = shape;
    for (int i = 0; i < 16; ++i) t.map[byLength[i]] = uint8_t(order[i]);
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
    BitWriter description;
    DescribeMap(t.map, description);
    bits += 4 + description.BitCount();
    if (bits < bestBits) {
      best = t;
      bestBits = bits;
    }
  }
  for (int i = 0; i < 16; ++i) best.codeOf[best.map[i]] = uint8_t(i);
  return best;
}

void LengthsOf(const Tree trees[kTreeCount], uint8_t length[kTreeCount][16]) {
  for (int t = 0; t < kTreeCount; ++t)
    for (int s = 0; s < 16; ++s) length[t][s] = CodeShapes()[trees[t].shape][trees[t].codeOf[s]].length;
}

// The chunks of a plane, row by row: chunksAt[r] are read at the start of row r.
using ChunkPlan = std::vector<std::vector<Chunk>>;

// Chunks of one kind: each is read at a row start once the one before is
// used up and holds the values of whole rows. With code lengths, the cuts
// minimise the bits (a run of rows of one repeated value can be a chunk of
// its own); without, every chunk takes as many rows as fit.
void CutKind(const std::vector<RowData>& rows, int kind, uint32_t maxCount, int countBits, bool oldColours,
             const uint8_t (*length)[16], ChunkPlan& plan) {
  const size_t n = rows.size();
  auto count = [&](size_t r) { return rows[r].values[kind].size(); };
  std::vector<size_t> end(n + 1, n);  // end[r]: the chunk read at row r covers rows [r, end[r])
  if (length && HasRepeatMode(kind)) {
    // Per row, what its values cost in a chunk of separate values (the
    // colour contexts run on across rows as they do in the stream).
    std::vector<double> each(n, 0);
    int lastHigh = 0;
    for (size_t r = 0; r < n; ++r) {
      if (!count(r)) continue;
      CostSink cs(length);
      CodeChunk(cs, Chunk{kind, rows[r].values[kind]}, 0, oldColours, lastHigh, false);
      each[r] = cs.bits - 1;  // the mode bit is counted once per chunk below
    }
    // Whether each row's values are all one value, and that value.
    std::vector<char> rowEqual(n, 1);
    for (size_t r = 0; r < n; ++r)
      for (int v : rows[r].values[kind]) rowEqual[r] = rowEqual[r] && v == rows[r].values[kind][0];
    std::vector<double> best(n + 1, 0);
    for (size_t r = n; r-- > 0;) {
      size_t first = r;
      while (first < n && !count(first)) ++first;
      if (first == n) {  // nothing left: a chunk of count 0 ends the bundle
        best[r] = countBits;
        end[r] = n;
        continue;
      }
      best[r] = 1e300;
      size_t values = 0;
      double separate = 0;
      bool equal = true;
      const int v0 = rows[first].values[kind][0];
      for (size_t e = first; e < n; ++e) {
        values += count(e);
        if (values > maxCount) break;
        separate += each[e];
        equal = equal && (!count(e) || (rowEqual[e] && rows[e].values[kind][0] == v0));
        if (!count(e)) continue;  // a chunk ends on a row that takes values
        double bits = countBits + 1 + separate;
        if (equal) {
          CostSink cs(length);
          int high = 0;
          CodeChunk(cs, Chunk{kind, {v0}}, 0, oldColours, high, true);
          bits = std::min(bits, countBits + cs.bits);
        }
        if (bits + best[e + 1] < best[r]) {
          best[r] = bits + best[e + 1];
          end[r] = e + 1;
        }
      }
    }
  }
  size_t remaining = 0;
  bool finished = false;
  for (size_t r = 0; r < n; ++r) {
    if (remaining == 0 && !finished) {
      Chunk ch{kind, {}};
      size_t s = r;
      const size_t stop = length && HasRepeatMode(kind) ? end[r] : n;
      while (s < stop && ch.values.size() + count(s) <= maxCount) {
        ch.values.insert(ch.values.end(), rows[s].values[kind].begin(), rows[s].values[kind].end());
        ++s;
      }
      if (ch.values.empty()) finished = true;
      remaining = ch.values.size();
      plan[r].push_back(std::move(ch));
    }
    remaining -= count(r);
  }
}

ChunkPlan CutPlane(const std::vector<RowData>& rows, const uint32_t maxCount[], const int countBits[], bool oldColours,
                   const uint8_t (*length)[16]) {
  ChunkPlan plan(rows.size());
  for (int k = 0; k < kVideoBundleCount; ++k) CutKind(rows, k, maxCount[k], countBits[k], oldColours, length, plan);
  // Within a row the chunks are read in kind order.
  for (auto& at : plan) std::stable_sort(at.begin(), at.end(), [](const Chunk& a, const Chunk& b) { return a.kind < b.kind; });
  return plan;
}

// Whether a chunk of one repeated value is cheaper in the one-value form.
bool RepeatPays(const Chunk& ch, int countBits, bool oldColours, int lastHigh, const uint8_t (*length)[16]) {
  if (ch.values.empty() || !HasRepeatMode(ch.kind) || !AllEqual(ch.values)) return false;
  CostSink a(length), b(length);
  int h1 = lastHigh, h2 = lastHigh;
  CodeChunk(a, ch, countBits, oldColours, h1, true);
  CodeChunk(b, ch, countBits, oldColours, h2, false);
  return a.bits <= b.bits;
}

void FitTrees(const ChunkPlan& plan, const int countBits[], bool oldColours, const uint8_t (*length)[16],
              Tree trees[kTreeCount]) {
  HistogramSink hist;
  int lastHigh = 0;
  for (const auto& at : plan)
    for (const Chunk& ch : at) {
      const bool repeat = length ? RepeatPays(ch, countBits[ch.kind], oldColours, lastHigh, length)
                                 : ch.values.size() >= 2 && HasRepeatMode(ch.kind);
      CodeChunk(hist, ch, countBits[ch.kind], oldColours, lastHigh, repeat);
    }
  for (int t = 0; t < kTreeCount; ++t) trees[t] = ChooseTree(hist.counts[t]);
}

}  // namespace

void WritePlane(std::vector<RowData>& rows, uint32_t width, bool oldColours, std::vector<uint8_t>& out,
                PlaneCoding* coding) {
  int countBits[kVideoBundleCount];
  uint32_t maxCount[kVideoBundleCount];
  for (int k = 0; k < kVideoBundleCount; ++k) {
    countBits[k] = BundleCountBits(k, width);
    maxCount[k] = BundleRowValues(k, width) + 511;
  }
  // Cuts without costs, trees for them; cuts with those trees' lengths,
  // trees again; the plane is written with the last trees.
  Tree trees[kTreeCount];
  uint8_t length[kTreeCount][16];
  ChunkPlan plan = CutPlane(rows, maxCount, countBits, oldColours, nullptr);
  FitTrees(plan, countBits, oldColours, nullptr, trees);
  LengthsOf(trees, length);
  plan = CutPlane(rows, maxCount, countBits, oldColours, length);
  FitTrees(plan, countBits, oldColours, length, trees);
  LengthsOf(trees, length);

  BitWriter w;
  for (int t = 0; t < kTreeCount; ++t) {
    w.Put(uint32_t(trees[t].shape), 4);
    if (trees[t].shape != 0) DescribeMap(trees[t].map, w);
  }
  WriterSink sink;
  sink.out = &w;
  sink.trees = trees;
  int lastHigh = 0;
  double typeBits = 0, shared = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    for (const Chunk& ch : plan[r]) {
      const bool repeat = RepeatPays(ch, countBits[ch.kind], oldColours, lastHigh, length);
      const uint64_t before = w.BitCount();
      CodeChunk(sink, ch, countBits[ch.kind], oldColours, lastHigh, repeat);
      const double bits = double(w.BitCount() - before);
      if (ch.kind == BUNDLE_BLOCK_TYPE) typeBits += bits;
      if ((ch.kind == BUNDLE_X_OFFSET || ch.kind == BUNDLE_Y_OFFSET) && repeat) shared += double(ch.values.size()) / 2;
    }
    w.Append(rows[r].bits);
  }
  w.FlushTo(out);
  if (!coding) return;

  *coding = PlaneCoding{};
  std::copy_n(&length[0][0], kTreeCount * 16, &coding->length[0][0]);
  // Types that differ from the one before them in their row are charged
  // their symbol; the rest of the types' bits went to the repeated ones.
  double newBits = 0, same = 0;
  uint32_t pairs[31][31] = {};
  for (const RowData& row : rows) {
    const auto& t = row.values[BUNDLE_BLOCK_TYPE];
    for (size_t i = 0; i < t.size(); ++i) {
      if (i > 0 && t[i] == t[i - 1]) {
        ++same;
      } else {
        newBits += length[TREE_TYPE][t[i] & 15];
      }
    }
    const auto& x = row.values[BUNDLE_X_OFFSET];
    const auto& y = row.values[BUNDLE_Y_OFFSET];
    for (size_t i = 0; i < x.size() && i < y.size(); ++i) ++pairs[x[i] + 15][y[i] + 15];
    coding->vectorCount += double(x.size());
  }
  coding->sameTypeCount = same;
  coding->sameTypeBits = std::max(0.0, typeBits - newBits);
  coding->sharedCount = shared;
  uint32_t most = 0;
  for (int x = 0; x < 31; ++x)
    for (int y = 0; y < 31; ++y)
      if (pairs[x][y] > most) {
        most = pairs[x][y];
        coding->commonX = x - 15;
        coding->commonY = y - 15;
      }
  coding->commonCount = most;
}

}  // namespace tarn::encoder
