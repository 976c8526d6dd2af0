// Encoder side of the plane bit stream for tests and benchmarks.
#include "tests/support/video_stream_builder.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "video/video_internal.h"
#include "video/video_tables.h"

namespace tarn::test {

namespace {

[[noreturn]] void Misuse(const char* what) {
  std::fprintf(stderr, "PlaneStreamBuilder: %s\n", what);
  std::abort();
}

// The coefficient and residue entry lists, mirrored: `pending(lo, hi)` tells
// whether an index in lo..hi still has to be coded at this level, `code(j)`
// writes index j's value (and returns false to stop).
struct ListMirror {
  uint8_t list[96];
  int head = 64, tail = 64;
  void Push(uint32_t index, uint32_t mode) { list[tail++] = uint8_t(index << 2 | mode); }

  template <typename Pending, typename Code>
  bool Walk(BitWriter& w, Pending&& pending, Code&& code) {
    auto group = [&](uint32_t c) {
      for (uint32_t j = c; j < c + 4; ++j) {
        if (pending(j, j)) {
          w.PutBit(0);
          if (!code(j)) return false;
        } else {
          w.PutBit(1);
          list[--head] = uint8_t(j << 2 | 3);
        }
      }
      return true;
    };
    for (int i = head; i < tail;) {
      const uint8_t e = list[i];
      if (e == 0) {
        ++i;
        continue;
      }
      const uint32_t c = e >> 2, mode = e & 3;
      const uint32_t span = mode == 0 ? 20 : mode == 1 ? 16 : mode == 2 ? 4 : 1;
      const bool any = pending(c, c + span - 1);
      w.PutBit(any);
      if (!any) {
        ++i;
        continue;
      }
      if (mode == 0) {
        list[i] = uint8_t((c + 4) << 2 | 1);
        if (!group(c)) return false;
      } else if (mode == 1) {
        list[i] = uint8_t(c << 2 | 2);
        Push(c + 4, 2);
        Push(c + 8, 2);
        Push(c + 12, 2);
      } else if (mode == 2) {
        list[i++] = 0;
        if (!group(c)) return false;
      } else {
        list[i++] = 0;
        if (!code(c)) return false;
      }
    }
    return true;
  }
};

int Magnitude(int v) { return v < 0 ? -v : v; }

}  // namespace

void PutCode(BitWriter& w, std::string_view bits) {
  for (char c : bits) {
    if (c == '0' || c == '1') w.PutBit(c == '1');
  }
}

void PutShapeCode(BitWriter& w, int shape, int c) { PutCode(w, kCodeShapeWords[shape & 15][c & 15]); }

void PutCoefficients(BitWriter& w, const int16_t coef[64]) {
  int top = 0;
  for (int k = 1; k < 64; ++k) top = std::max(top, Magnitude(coef[k]));
  const int levels = std::bit_width(unsigned(top));
  if (levels > 15) Misuse("coefficient too large");
  w.Put(levels, 4);
  bool done[64] = {};
  ListMirror l;
  l.Push(4, 0);
  l.Push(24, 0);
  l.Push(44, 0);
  l.Push(1, 3);
  l.Push(2, 3);
  l.Push(3, 3);
  for (int level = levels; level >= 1; --level) {
    const int b = level - 1;
    auto pending = [&](uint32_t lo, uint32_t hi) {
      for (uint32_t j = lo; j <= hi && j < 64; ++j) {
        if (!done[j] && Magnitude(coef[j]) >= (1 << b)) return true;
      }
      return false;
    };
    l.Walk(w, pending, [&](uint32_t j) {
      const int v = coef[j], m = Magnitude(v);
      done[j] = true;
      if (b == 0) {
        w.PutBit(v < 0);
      } else {
        w.Put(uint32_t(m - (1 << b)) | uint32_t(v < 0) << b, b + 1);
      }
      return true;
    });
  }
}

bool PutResidue(BitWriter& w, const int8_t residue[64]) {
  int top = 0, changes = 0;
  for (int k = 0; k < 64; ++k) {
    top = std::max(top, Magnitude(residue[k]));
    changes += std::popcount(unsigned(Magnitude(residue[k])));
  }
  if (top > 127 || changes > 128) return false;
  const int e = top ? std::bit_width(unsigned(top)) - 1 : 0;
  const int limit = changes ? changes - 1 : 127;
  w.Put(uint32_t(limit), 7);
  w.Put(uint32_t(e), 3);
  bool done[64] = {};
  std::vector<int> nonZero;
  int made = 0;
  ListMirror l;
  l.Push(4, 0);
  l.Push(24, 0);
  l.Push(44, 0);
  l.Push(0, 2);
  for (int k = e; k >= 0; --k) {
    for (int j : nonZero) {
      const bool bit = (Magnitude(residue[j]) >> k) & 1;
      w.PutBit(bit);
      if (bit && ++made == changes) return true;
    }
    auto pending = [&](uint32_t lo, uint32_t hi) {
      for (uint32_t j = lo; j <= hi && j < 64; ++j) {
        if (!done[j] && Magnitude(residue[j]) >= (1 << k)) return true;
      }
      return false;
    };
    const bool more = l.Walk(w, pending, [&](uint32_t j) {
      done[j] = true;
      nonZero.push_back(int(j));
      w.PutBit(residue[j] < 0);
      return ++made != changes;
    });
    if (!more) return true;
  }
  return true;
}

PlaneStreamBuilder::PlaneStreamBuilder(uint32_t planeWidth, uint32_t workWidth, bool oldColorRule)
    : width_(planeWidth), old_(oldColorRule) {
  VideoWorkSizes(workWidth, sizes_);
  rows_.emplace_back();
}

void PlaneStreamBuilder::EndRow() { rows_.emplace_back(); }

void PlaneStreamBuilder::Add(const VideoBlock& b) {
  Row& row = rows_.back();
  auto value = [&](int kind, int v) { row.values[kind].push_back(v); };
  auto colors = [&](size_t n) {
    if (b.colors.size() < n) Misuse("too few colours");
    for (size_t i = 0; i < n; ++i) value(BUNDLE_COLOR, b.colors[i]);
  };
  auto motion = [&] {
    value(BUNDLE_X_OFFSET, b.dx);
    value(BUNDLE_Y_OFFSET, b.dy);
  };
  auto run = [&] {
    row.inline_.Put(b.scan, 4);
    uint32_t i = 0;
    size_t c = 0;
    for (const VideoRun& r : b.runs) {
      if (i >= 63) Misuse("a run starts at position 63 or later");
      row.inline_.PutBit(r.same);
      value(BUNDLE_RUN, r.length - 1);
      const size_t n = r.same ? 1 : r.length;
      for (size_t k = 0; k < n; ++k) value(BUNDLE_COLOR, b.colors.at(c++));
      i += r.length;
    }
    if (i == 63) value(BUNDLE_COLOR, b.colors.at(c++));
    if (i < 63) Misuse("runs must cover the block");  // past 64 is allowed: corrupt-input tests
  };
  auto intra = [&] {
    value(BUNDLE_INTRA_DC, b.dc);
    PutCoefficients(row.inline_, b.coef);
    row.inline_.Put(b.q, 4);
  };
  auto pattern = [&] {
    colors(2);
    for (uint8_t p : b.pattern) value(BUNDLE_PATTERN, p);
  };

  value(BUNDLE_BLOCK_TYPE, b.type);
  switch (b.type) {
    case BLOCK_SCALED:
      if (b.subType == 0) break;  // the odd-row half of a scaled area
      value(BUNDLE_SUB_BLOCK_TYPE, b.subType);
      switch (b.subType) {
        case BLOCK_RUN: run(); break;
        case BLOCK_INTRA: intra(); break;
        case BLOCK_FILL: colors(1); break;
        case BLOCK_PATTERN: pattern(); break;
        case BLOCK_RAW: colors(64); break;
        default: break;
      }
      break;
    case BLOCK_MOTION: motion(); break;
    case BLOCK_RUN: run(); break;
    case BLOCK_RESIDUE:
      motion();
      if (!PutResidue(row.inline_, b.residue)) Misuse("residue needs too many changes");
      break;
    case BLOCK_INTRA: intra(); break;
    case BLOCK_FILL: colors(1); break;
    case BLOCK_INTER:
      motion();
      value(BUNDLE_INTER_DC, b.dc);
      PutCoefficients(row.inline_, b.coef);
      row.inline_.Put(b.q, 4);
      break;
    case BLOCK_PATTERN: pattern(); break;
    case BLOCK_RAW: colors(64); break;
    default: break;
  }
}

void PlaneStreamBuilder::PutValues(BitWriter& w, int kind, const std::vector<int>& v) {
  w.Put(uint32_t(v.size()), BundleCountBits(kind, width_));
  if (v.empty()) return;  // the bundle is finished for the plane
  switch (kind) {
    case BUNDLE_BLOCK_TYPE:
    case BUNDLE_SUB_BLOCK_TYPE:
    case BUNDLE_RUN:
      w.PutBit(0);
      for (int x : v) {
        if (x > 11 && kind != BUNDLE_RUN) Misuse("type values 12..15 are repeat codes");
        w.Put(uint32_t(x), 4);
      }
      break;
    case BUNDLE_COLOR:
      w.PutBit(0);
      for (int x : v) {
        uint32_t c = uint32_t(x);
        if (old_) {
          if (c == 0) Misuse("colour 0 has no code before revision i");
          c = c >= 128 ? c - 128 : 0x80 | (128 - c);
        }
        w.Put(c >> 4, 4);
        w.Put(c & 15, 4);
      }
      break;
    case BUNDLE_PATTERN:
      for (int x : v) w.Put(uint32_t(x), 8);  // low nibble symbol, then high
      break;
    case BUNDLE_X_OFFSET:
    case BUNDLE_Y_OFFSET:
      w.PutBit(0);
      for (int x : v) {
        w.Put(uint32_t(Magnitude(x)), 4);
        if (x) w.PutBit(x < 0);
      }
      break;
    default: {  // DC: first value, then groups of 8 deltas
      const bool inter = kind == BUNDLE_INTER_DC;
      if (inter) {
        w.Put(uint32_t(Magnitude(v[0])), 10);
        if (v[0]) w.PutBit(v[0] < 0);
      } else {
        w.Put(uint32_t(v[0]), 11);
      }
      for (size_t i = 1; i < v.size(); i += 8) {
        const size_t n = std::min<size_t>(8, v.size() - i);
        int s = 0;
        for (size_t g = 0; g < n; ++g) s = std::max(s, int(std::bit_width(unsigned(Magnitude(v[i + g] - v[i + g - 1])))));
        w.Put(uint32_t(s), 4);
        if (s == 0) continue;
        for (size_t g = 0; g < n; ++g) {
          const int d = v[i + g] - v[i + g - 1];
          w.Put(uint32_t(Magnitude(d)), s);
          if (d) w.PutBit(d < 0);
        }
      }
      break;
    }
  }
}

std::vector<uint8_t> PlaneStreamBuilder::Finish() {
  if (rows_.back().values[BUNDLE_BLOCK_TYPE].empty()) rows_.pop_back();
  BitWriter w;
  for (int t = 0; t < 23; ++t) w.Put(0, 4);  // every tree the identity shape
  size_t left[9] = {};                       // values of the current chunk not yet used
  bool finished[9] = {};
  for (size_t r = 0; r < rows_.size(); ++r) {
    for (int k = 0; k < 9; ++k) {
      if (left[k] || finished[k]) continue;
      const bool wide = k == BUNDLE_INTRA_DC || k == BUNDLE_INTER_DC;
      const size_t limit = std::min<size_t>(wide ? sizes_[k] / 2 : sizes_[k],
                                            (size_t(1) << BundleCountBits(k, width_)) - 1);
      std::vector<int> chunk;
      for (size_t rr = r; rr < rows_.size(); ++rr) {
        const auto& v = rows_[rr].values[k];
        if (chunk.size() + v.size() > limit) break;
        chunk.insert(chunk.end(), v.begin(), v.end());
      }
      if (chunk.empty()) {
        bool more = false;
        for (size_t rr = r; rr < rows_.size(); ++rr) more |= !rows_[rr].values[k].empty();
        if (more) Misuse("a row's values do not fit one chunk");
        finished[k] = true;
      }
      PutValues(w, k, chunk);
      left[k] = chunk.size();
    }
    for (int k = 0; k < 9; ++k) left[k] -= rows_[r].values[k].size();
    w.Append(rows_[r].inline_);
  }
  std::vector<uint8_t> bytes;
  w.FlushTo(bytes);
  return bytes;
}

std::vector<uint8_t> MixedPlane(uint32_t width, uint32_t height, uint32_t workWidth, uint32_t seed,
                                bool oldColorRule, VideoMix mix) {
  // Cumulative percentages: skip, motion, fill, pattern, run, raw, intra, inter (rest residue).
  static constexpr uint32_t kHeavy[8] = {30, 45, 55, 63, 68, 70, 82, 94};
  static constexpr uint32_t kLight[8] = {50, 75, 80, 84, 86, 87, 92, 98};
  const uint32_t* cut = mix == VideoMix::kHeavy ? kHeavy : kLight;
  uint32_t state = seed * 2654435761u + 1;
  auto next = [&](uint32_t n) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % n;
  };
  auto color = [&] { return uint8_t(oldColorRule ? 1 + next(255) : next(256)); };
  auto offset = [&](uint32_t pos, uint32_t size) {
    const int lo = -std::min<int>(int(pos), 15), hi = std::min<int>(int(size - 8 - pos), 15);
    return int8_t(lo + int(next(uint32_t(hi - lo + 1))));
  };
  auto coefficients = [&](VideoBlock& b, int count, int range) {
    for (int i = 0; i < count; ++i) b.coef[1 + next(20)] = int16_t(int(next(2 * range + 1)) - range);
  };
  PlaneStreamBuilder builder(width, workWidth, oldColorRule);
  for (uint32_t y = 0; y < height; y += 8) {
    for (uint32_t x = 0; x < width; x += 8) {
      VideoBlock b;
      const uint32_t pick = next(100);
      if (pick < cut[0]) {
        b.type = BLOCK_SKIP;
      } else if (pick < cut[1]) {
        b.type = BLOCK_MOTION;
      } else if (pick < cut[2]) {
        b.type = BLOCK_FILL;
        b.colors = {color()};
      } else if (pick < cut[3]) {
        b.type = BLOCK_PATTERN;
        b.colors = {color(), color()};
        for (uint8_t& p : b.pattern) p = uint8_t(next(256));
      } else if (pick < cut[4]) {
        b.type = BLOCK_RUN;
        b.scan = uint8_t(next(16));
        int left = 64;
        while (left > 1) {  // a run never starts at 63: that position takes a lone colour
          const int n = std::min<int>(left, 1 + int(next(16)));
          const bool same = next(3) != 0;
          b.runs.push_back({same, uint8_t(n)});
          for (int k = 0; k < (same ? 1 : n); ++k) b.colors.push_back(color());
          left -= n;
        }
        if (left == 1) b.colors.push_back(color());
      } else if (pick < cut[5]) {
        b.type = BLOCK_RAW;
        for (int k = 0; k < 64; ++k) b.colors.push_back(color());
      } else if (pick < cut[6]) {
        b.type = BLOCK_INTRA;
        b.dc = int16_t(512 + next(1024));
        b.q = uint8_t(next(16));
        coefficients(b, int(next(10)), 40);
      } else if (pick < cut[7]) {
        b.type = BLOCK_INTER;
        b.dc = int16_t(int(next(101)) - 50);
        b.q = uint8_t(next(16));
        coefficients(b, int(next(6)), 20);
      } else {
        b.type = BLOCK_RESIDUE;
        for (int i = 0, n = int(next(12)); i < n; ++i) b.residue[next(64)] = int8_t(int(next(31)) - 15);
      }
      if (b.type == BLOCK_MOTION || b.type == BLOCK_INTER || b.type == BLOCK_RESIDUE) {
        b.dx = offset(x, width);
        b.dy = offset(y, height);
      }
      builder.Add(b);
    }
    builder.EndRow();
  }
  return builder.Finish();
}

std::vector<uint8_t> VideoFrameBytes(const std::vector<uint8_t>& luma, const std::vector<uint8_t>& chroma1,
                                     const std::vector<uint8_t>& chroma2, bool revisionI,
                                     const std::vector<uint8_t>* alpha) {
  std::vector<uint8_t> out;
  auto word = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
  };
  if (alpha) {
    word(uint32_t(alpha->size() + 4));
    out.insert(out.end(), alpha->begin(), alpha->end());
  }
  if (revisionI) word(uint32_t(luma.size() + 4));
  out.insert(out.end(), luma.begin(), luma.end());
  out.insert(out.end(), chroma1.begin(), chroma1.end());
  out.insert(out.end(), chroma2.begin(), chroma2.end());
  return out;
}

}  // namespace tarn::test
