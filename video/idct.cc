// Coefficient and residue readers, the 8 x 8 integer inverse transform and the
// residue adder. Blocks are 8 x 8 at dst/src with the given strides; nothing
// outside those 64 (or, doubled, 256) samples is touched.
#include <cstring>

#include "common/little_endian.h"
#include "video/idct.h"
#include "video/video_internal.h"

namespace tarn {

namespace {

// Entry lists hold (index << 2) | mode, never 0. Front insertions
// (at most one per index 0..63) grow down from kListFront, the start entries
// and their appends (at most 15) grow up from it.
constexpr int kListFront = 64;
constexpr int kListSize = kListFront + 16;

enum : uint8_t { MODE_SPLIT = 0, MODE_QUAD = 1, MODE_GROUP = 2, MODE_VALUE = 3 };

inline uint8_t Entry(uint32_t index, uint32_t mode) { return uint8_t(index << 2 | mode); }

// A coefficient of magnitude 2^b .. 2^(b+1) - 1: b low bits, then the sign
// (at b = 0 the sign bit alone: +1 or -1).
inline int16_t ReadValue(BitReader& reader, int b) {
  const uint32_t v = reader.Bits(b + 1);
  const int m = int(v & ((1u << b) - 1)) + (1 << b);
  return int16_t((v >> b) ? -m : m);
}

// Walks the entry list once for one bit level. visit(index) is called for
// each index that becomes significant and returns false to stop reading.
// Every entry in [head, tail) is non-empty when a walk starts: entries whose
// bit is 0 are moved down over those the walk used up, in the same pass.
template <typename Visit>
bool WalkList(BitReader& reader, uint8_t* list, int& head, int& tail, Visit&& visit) {
  auto group = [&](uint32_t c) {
    for (uint32_t j = c; j < c + 4; ++j) {
      if (reader.Bit()) {
        list[--head] = Entry(j, MODE_VALUE);
      } else if (!visit(j)) {
        return false;
      }
    }
    return true;
  };
  int kept = head;
  for (int i = head; i < tail;) {
    // A run of 0 bits leaves its entries as they are.
    const int limit = tail - i < 56 ? tail - i : 56;
    const int quiet = reader.ZeroRun(limit);
    if (kept == i) {
      kept += quiet;
      i += quiet;
    } else {
      for (const int end = i + quiet; i < end;) list[kept++] = list[i++];
    }
    if (quiet == limit) {
      reader.Skip(quiet);
      continue;
    }
    reader.Skip(quiet + 1);
    const uint8_t e = list[i];
    const uint32_t c = e >> 2;
    switch (e & 3) {
      case MODE_SPLIT:  // stays current: examined again as MODE_QUAD
        list[i] = Entry(c + 4, MODE_QUAD);
        if (!group(c)) return false;
        break;
      case MODE_QUAD:  // stays current: examined again as MODE_GROUP
        list[i] = Entry(c, MODE_GROUP);
        list[tail++] = Entry(c + 4, MODE_GROUP);
        list[tail++] = Entry(c + 8, MODE_GROUP);
        list[tail++] = Entry(c + 12, MODE_GROUP);
        break;
      case MODE_GROUP:
        ++i;
        if (!group(c)) return false;
        break;
      default:
        ++i;
        if (!visit(c)) return false;
        break;
    }
  }
  tail = kept;
  return true;
}

using u32 = uint32_t;

}  // namespace

void ReadCoefficients(BitReader& stream, int16_t block[64]) {
  BitReader reader = stream;  // a local copy stays in registers
  uint8_t list[kListSize];
  int head = kListFront, tail = kListFront;
  list[tail++] = Entry(4, MODE_SPLIT);
  list[tail++] = Entry(24, MODE_SPLIT);
  list[tail++] = Entry(44, MODE_SPLIT);
  list[tail++] = Entry(1, MODE_VALUE);
  list[tail++] = Entry(2, MODE_VALUE);
  list[tail++] = Entry(3, MODE_VALUE);
  for (int level = int(reader.Bits(4)); level >= 1; --level) {
    const int b = level - 1;
    WalkList(reader, list, head, tail, [&](uint32_t k) {
      block[kCoefficientScan[k]] = ReadValue(reader, b);
      return true;
    });
  }
  stream = reader;
}

namespace {

inline void ReadResidueBits(BitReader& reader, uint32_t limit, uint8_t residue[64]) {
  std::memset(residue, 0, 64);
  uint8_t list[kListSize];
  int head = kListFront, tail = kListFront;
  list[tail++] = Entry(4, MODE_SPLIT);
  list[tail++] = Entry(24, MODE_SPLIT);
  list[tail++] = Entry(44, MODE_SPLIT);
  list[tail++] = Entry(0, MODE_GROUP);
  uint8_t nonZero[64];
  uint32_t nonZeroCount = 0, changes = 0;
  const int levels = int(reader.Bits(3)) + 1;
  for (int level = 0; level < levels; ++level) {
    const uint8_t mask = uint8_t(1u << (levels - 1 - level));
    for (uint32_t j = 0; j < nonZeroCount; ++j) {
      if (!reader.Bit()) continue;
      uint8_t& r = residue[nonZero[j]];
      r = int8_t(r) >= 0 ? uint8_t(r + mask) : uint8_t(r - mask);
      if (changes++ == limit) return;
    }
    const bool more = WalkList(reader, list, head, tail, [&](uint32_t k) {
      residue[k] = reader.Bit() ? uint8_t(-mask) : mask;
      nonZero[nonZeroCount++] = uint8_t(k);
      return changes++ != limit;
    });
    if (!more) return;
  }
}

}  // namespace

void ReadResidue(BitReader& stream, uint32_t limit, uint8_t residue[64]) {
  BitReader reader = stream;  // a local copy stays in registers
  ReadResidueBits(reader, limit, residue);
  stream = reader;
}

void AddResidue(const uint8_t residue[64], uint8_t* dst, const uint8_t* src, ptrdiff_t stride) {
  uint8_t byPosition[64];
  for (int k = 0; k < 64; ++k) byPosition[kCoefficientScan[k]] = residue[k];
  for (int y = 0; y < 8; ++y) {
    const uint64_t a = LoadLe64(src + y * stride), b = LoadLe64(byPosition + 8 * y);
    // Eight byte adds modulo 256: the low seven bits of each, then the top bit.
    const uint64_t sum = ((a & 0x7F7F7F7F7F7F7F7Full) + (b & 0x7F7F7F7F7F7F7F7Full)) ^ ((a ^ b) & 0x8080808080808080ull);
    StoreLe64(dst + y * stride, sum);
  }
}

void AddResidueInOrder(const uint8_t residue[64], uint8_t* dst, const uint8_t* src, ptrdiff_t stride) {
  for (int k = 0; k < 64; ++k) {
    const ptrdiff_t p = (kCoefficientScan[k] >> 3) * stride + (kCoefficientScan[k] & 7);
    dst[p] = uint8_t(src[p] + residue[k]);
  }
}

void IdctBlock(const int16_t block[64], const int32_t* quant, uint8_t out[64]) {
  u32 tmp[64];
  for (int x = 0; x < 8; ++x) {
    const u32 dc = IdctDequant(block[x], quant[x]);
    if (!(block[8 + x] | block[16 + x] | block[24 + x] | block[32 + x] | block[40 + x] | block[48 + x] |
          block[56 + x])) {
      for (int i = 0; i < 8; ++i) tmp[i * 8 + x] = dc;
      continue;
    }
    u32 s[8], t[8];
    s[0] = dc;
    for (int i = 1; i < 8; ++i) s[i] = IdctDequant(block[i * 8 + x], quant[i * 8 + x]);
    IdctButterfly(s, t, IdctFixedMul{});
    for (int i = 0; i < 8; ++i) tmp[i * 8 + x] = t[i];
  }
  for (int y = 0; y < 8; ++y) {
    const u32* row = tmp + y * 8;
    if (!(row[1] | row[2] | row[3] | row[4] | row[5] | row[6] | row[7])) {
      std::memset(out + y * 8, uint8_t(IdctDescale(row[0])), 8);
      continue;
    }
    u32 t[8];
    IdctButterfly(row, t, IdctFixedMul{});
    for (int i = 0; i < 8; ++i) out[y * 8 + i] = uint8_t(IdctDescale(t[i]));
  }
}

void IdctPut(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t stride) {
  uint8_t out[64];
  IdctBlock(block, quant, out);
  for (int y = 0; y < 8; ++y) std::memcpy(dst + y * stride, out + y * 8, 8);
}

void IdctPutDoubled(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t stride) {
  uint8_t out[64];
  IdctBlock(block, quant, out);
  for (int y = 0; y < 8; ++y) {
    uint8_t row[16];
    for (int i = 0; i < 8; ++i) row[2 * i] = row[2 * i + 1] = out[y * 8 + i];
    std::memcpy(dst + 2 * y * stride, row, 16);
    std::memcpy(dst + (2 * y + 1) * stride, row, 16);
  }
}

void IdctAdd(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t dstStride,
             const uint8_t* src, ptrdiff_t srcStride) {
  uint8_t out[64];
  IdctBlock(block, quant, out);
  for (int y = 0; y < 8; ++y) {
    for (int i = 0; i < 8; ++i) dst[y * dstStride + i] = uint8_t(src[y * srcStride + i] + out[y * 8 + i]);
  }
}

void IdctDspInit(IdctDsp& dsp, CpuFlags cpu) {
  dsp.put = IdctPut;
  dsp.add = IdctAdd;
  dsp.block = IdctBlock;
#if defined(__x86_64__) || defined(__i386__)
  if (cpu & CPU_SSE2) IdctDspInitSse2(dsp);
#else
  (void)cpu;
#endif
}

}  // namespace tarn
