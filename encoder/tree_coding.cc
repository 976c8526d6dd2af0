// Tree and bundle coding: the chunks are coded twice, once to count the
// symbols of every tree and once to write them with the trees chosen.
#include "encoder/tree_coding.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <utility>

#include "encoder/video_tables.h"
#include "video/stream_codes.h"

namespace tarn::encoder {

namespace {

// Tree numbers in the order the plane header carries them.
enum : int {
  T_TYPE = 0, T_SUB = 1, T_COLOUR_CONTEXT = 2, T_COLOUR = 18, T_PATTERN = 19, T_X = 20, T_Y = 21,
  T_RUN = 22, kTrees = 23
};

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

}  // namespace

void WritePlane(std::vector<RowData>& rows, uint32_t width, bool oldColours, std::vector<uint8_t>& out) {
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

}  // namespace tarn::encoder
