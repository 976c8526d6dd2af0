// Symbol trees and the nine bundles of a plane: each chunk is decoded into the
// bundle's own work buffer and never past its capacity, whatever the count says.
#include <bit>
#include <cstring>

#include "video/video_internal.h"

namespace tarn {

SymbolTree ReadSymbolTree(BitReader& reader, bool* corrupt) {
  SymbolTree tree;
  tree.shape = uint8_t(reader.Bits(4));
  for (int i = 0; i < 16; ++i) tree.map[i] = uint8_t(i);
  if (tree.shape == 0) return tree;
  if (reader.Bit()) {
    // Explicit list of n + 1 values, completed by the others in increasing order.
    const uint32_t n = reader.Bits(3);
    bool used[16] = {};
    int k = 0;
    for (uint32_t i = 0; i <= n; ++i) {
      const uint32_t v = reader.Bits(4);
      if (used[v]) {
        *corrupt = true;
        continue;
      }
      used[v] = true;
      tree.map[k++] = uint8_t(v);
    }
    for (int v = 0; v < 16; ++v) {
      if (!used[v]) tree.map[k++] = uint8_t(v);
    }
    return tree;
  }
  // Merge list: levels 0..d, each merging neighbouring runs of 2^level values.
  const uint32_t depth = reader.Bits(2);
  uint8_t order[16];
  std::memcpy(order, tree.map, 16);
  for (uint32_t level = 0; level <= depth; ++level) {
    const int run = 1 << level;
    uint8_t merged[16];
    int o = 0;
    for (int start = 0; start < 16; start += 2 * run) {
      int a = start, b = start + run;
      const int aEnd = b, bEnd = b + run;
      while (a < aEnd && b < bEnd) merged[o++] = reader.Bit() ? order[b++] : order[a++];
      while (a < aEnd) merged[o++] = order[a++];
      while (b < bEnd) merged[o++] = order[b++];
    }
    std::memcpy(order, merged, 16);
  }
  std::memcpy(tree.map, order, 16);
  return tree;
}

void BuildSymbolTable(const SymbolTree& tree, uint8_t table[kShapeLookupSize]) {
  const uint8_t* shape = kShapeLookup[tree.shape & 15];
  for (int i = 0; i < kShapeLookupSize; ++i) table[i] = uint8_t((shape[i] & 0xF0) | tree.map[shape[i] & 15]);
}

uint32_t BundleRowValues(int kind, uint32_t planeWidth) {
  const uint32_t b = planeWidth / 8;
  switch (kind) {
    case BUNDLE_SUB_BLOCK_TYPE: return planeWidth / 16;
    case BUNDLE_COLOR: return b * 64;
    case BUNDLE_PATTERN: return b * 8;
    case BUNDLE_RUN: return b * 48;
    default: return b;
  }
}

int BundleCountBits(int kind, uint32_t planeWidth) { return std::bit_width(BundleRowValues(kind, planeWidth) + 511); }

void PlaneBundlesInit(PlaneBundles& pb, const VideoWork& work, uint32_t planeWidth, bool oldColorRule) {
  for (int k = 0; k < kVideoBundleCount; ++k) {
    Bundle& b = pb.bundle[k];
    b.data = work.buffers[k];
    const bool wide = k == BUNDLE_INTRA_DC || k == BUNDLE_INTER_DC;
    b.capacity = b.data ? (wide ? work.sizes[k] / 2 : work.sizes[k]) : 0;
    b.readPos = b.end = 0;
    b.countBits = BundleCountBits(k, planeWidth);
    b.finished = false;
  }
  pb.lastHigh = 0;
  pb.oldColorRule = oldColorRule;
  pb.corrupt = false;
}

void ReadPlaneTrees(BitReader& reader, PlaneBundles& pb) {
  bool corrupt = false;
  BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.table[BUNDLE_BLOCK_TYPE]);
  BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.table[BUNDLE_SUB_BLOCK_TYPE]);
  for (int c = 0; c < 16; ++c) BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.colorContext[c]);
  BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.table[BUNDLE_COLOR]);
  BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.table[BUNDLE_PATTERN]);
  BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.table[BUNDLE_X_OFFSET]);
  BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.table[BUNDLE_Y_OFFSET]);
  BuildSymbolTable(ReadSymbolTree(reader, &corrupt), pb.table[BUNDLE_RUN]);
  if (corrupt) pb.corrupt = true;
  pb.lastHigh = 0;
  for (Bundle& b : pb.bundle) b.readPos = b.end = 0;
}

namespace {

// Block and sub-block types: a repeated 4-bit value, or symbols where 12..15
// repeat the last value 4, 8, 12 or 32 times.
void ReadTypes(BitReader& reader, PlaneBundles& pb, const uint8_t* table, uint8_t* out, uint32_t count) {
  if (reader.Bit()) {
    std::memset(out, int(reader.Bits(4)), count);
    return;
  }
  static constexpr uint32_t kRepeat[4] = {4, 8, 12, 32};
  uint8_t last = 0;
  uint32_t i = 0;
  while (i < count) {
    const uint32_t s = reader.Symbol(table);
    if (s < 12) {
      last = uint8_t(s);
      out[i++] = last;
      continue;
    }
    uint32_t n = kRepeat[s - 12];
    if (n > count - i) {  // runs past the chunk: keep what fits
      pb.corrupt = true;
      n = count - i;
    }
    std::memset(out + i, last, n);
    i += n;
  }
}

inline uint8_t ReadColor(BitReader& reader, PlaneBundles& pb) {
  const uint32_t high = reader.Symbol(pb.colorContext[pb.lastHigh]);
  pb.lastHigh = high;
  const uint32_t v = high << 4 | reader.Symbol(pb.table[BUNDLE_COLOR]);
  if (!pb.oldColorRule) return uint8_t(v);
  return uint8_t((v & 0x80) ? 128 - (v & 127) : 128 + (v & 127));
}

inline uint8_t SignedValue(BitReader& reader, uint32_t v) {
  if (v != 0 && reader.Bit()) return uint8_t(-int(v));
  return uint8_t(v);
}

void StoreDc(uint8_t* out, uint32_t i, uint16_t v) { std::memcpy(out + 2 * size_t(i), &v, 2); }

void ReadDc(BitReader& reader, bool inter, uint8_t* out, uint32_t count) {
  uint16_t prev;
  if (inter) {
    const uint32_t v = reader.Bits(10);
    prev = uint16_t((v != 0 && reader.Bit()) ? -int(v) : int(v));
  } else {
    prev = uint16_t(reader.Bits(11));
  }
  StoreDc(out, 0, prev);
  for (uint32_t i = 1; i < count;) {
    const uint32_t group = count - i < 8 ? count - i : 8;
    const uint32_t s = reader.Bits(4);
    for (uint32_t g = 0; g < group; ++g, ++i) {
      if (s != 0) {
        const uint32_t d = reader.Bits(int(s));
        prev = uint16_t(prev + ((d != 0 && reader.Bit()) ? -int(d) : int(d)));
      }
      StoreDc(out, i, prev);
    }
  }
}

void ReadChunk(BitReader& reader, PlaneBundles& pb, int kind) {
  Bundle& b = pb.bundle[kind];
  const uint32_t count = reader.Bits(b.countBits);
  b.readPos = b.end = 0;
  if (count == 0) {
    b.finished = true;
    return;
  }
  if (count > b.capacity) {  // would overrun the work buffer: the bundle ends here
    pb.corrupt = true;
    b.finished = true;
    return;
  }
  uint8_t* out = b.data;
  switch (kind) {
    case BUNDLE_BLOCK_TYPE:
    case BUNDLE_SUB_BLOCK_TYPE:
      ReadTypes(reader, pb, pb.table[kind], out, count);
      break;
    case BUNDLE_COLOR:
      if (reader.Bit()) {
        std::memset(out, ReadColor(reader, pb), count);
      } else {
        for (uint32_t i = 0; i < count; ++i) out[i] = ReadColor(reader, pb);
      }
      break;
    case BUNDLE_PATTERN:
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t low = reader.Symbol(pb.table[kind]);
        out[i] = uint8_t(low | reader.Symbol(pb.table[kind]) << 4);
      }
      break;
    case BUNDLE_X_OFFSET:
    case BUNDLE_Y_OFFSET:
      if (reader.Bit()) {
        std::memset(out, SignedValue(reader, reader.Bits(4)), count);
      } else {
        for (uint32_t i = 0; i < count; ++i) out[i] = SignedValue(reader, reader.Symbol(pb.table[kind]));
      }
      break;
    case BUNDLE_INTRA_DC:
    case BUNDLE_INTER_DC:
      ReadDc(reader, kind == BUNDLE_INTER_DC, out, count);
      break;
    case BUNDLE_RUN:
      if (reader.Bit()) {
        std::memset(out, int(reader.Bits(4)), count);
      } else {
        for (uint32_t i = 0; i < count; ++i) out[i] = uint8_t(reader.Symbol(pb.table[kind]));
      }
      break;
    default:
      break;
  }
  b.end = count;
}

}  // namespace

void RefillBundles(BitReader& reader, PlaneBundles& pb) {
  for (int k = 0; k < kVideoBundleCount; ++k) {
    const Bundle& b = pb.bundle[k];
    if (b.readPos >= b.end && !b.finished) ReadChunk(reader, pb, k);
  }
}

}  // namespace tarn
