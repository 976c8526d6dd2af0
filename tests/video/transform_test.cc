// Coefficient and residue readers, quantiser tables and the inverse transform.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "tests/support/video_stream_builder.h"
#include "video/bit_writer.h"
#include "video/video_internal.h"

namespace tarn {
namespace {

using test::PutCode;

struct Stream {
  std::vector<uint8_t> bytes;
  explicit Stream(BitWriter w) {
    w.Put(0x2D, 6);  // marker: the reader must stop right before it
    w.FlushTo(bytes);
  }
};

int At(const int16_t* block, int k) { return block[kCoefficientScan[k]]; }

TEST(Quant, RowsFromRow15RuleAndCorrections) {
  const int32_t intra0[4] = {65536, 90901, 85627, 91511};
  const int32_t inter0[4] = {65536, 96582, 90979, 86695};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(kIntraQuant[0][i], intra0[i]);
    EXPECT_EQ(kInterQuant[0][i], inter0[i]);
  }
  EXPECT_EQ(kIntraQuant[0][58], 85638);    // 3768094 / 44 rounds to 85639, corrected down
  EXPECT_EQ(kIntraQuant[1][0], 87381);     // 2883584 * 4 / 132, rounded
  EXPECT_EQ(kInterQuant[14][3], 2947629);  // 3814578 * 34 / 44, corrected up
  EXPECT_EQ(kInterQuant[5][32], 329728);   // halves round up: 4145152 * 7 / 88 = 329728.0
  EXPECT_EQ(kIntraQuant[15][7 * 8 + 7], 1138655);
}

// Value coding: at b = 3 the bits 1 0 1 and sign 1 give -13; at b = 0 one bit
// gives +1 (0) or -1 (1). Levels below the first see every entry once.
TEST(ReadCoefficients, ValueCoding) {
  BitWriter w;
  w.Put(4, 4);                          // four levels, b = 3 first
  PutCode(w, "000");                     // the three mode-0 entries stay quiet
  PutCode(w, "1" "1011");                // (1, 3): -(5 + 8)
  PutCode(w, "00");                      // (2, 3), (3, 3)
  for (int b = 2; b >= 1; --b) PutCode(w, "00000");
  PutCode(w, "000" "10" "11");           // b = 0: (2, 3) -> +1, (3, 3) -> -1
  Stream s(w);
  BitReader r(s.bytes.data(), s.bytes.size());
  int16_t block[64] = {};
  block[0] = 77;
  ReadCoefficients(r, block);
  EXPECT_EQ(r.Bits(6), 0x2Du);
  EXPECT_EQ(block[0], 77);
  EXPECT_EQ(At(block, 1), -13);
  EXPECT_EQ(At(block, 2), 1);
  EXPECT_EQ(At(block, 3), -1);
  for (int k = 4; k < 64; ++k) EXPECT_EQ(At(block, k), 0) << k;
}

// A mode-0 entry handles its group and stays current as a mode-1 entry, which
// is examined at once and then again as mode 2; appended entries are walked
// in the same pass, front insertions are not.
TEST(ReadCoefficients, ModeOneEntryExaminedTwice) {
  BitWriter w;
  w.Put(1, 4);
  PutCode(w, "1" "00" "111");  // (4, 0): group 4..7, 4 = +1, 5..7 wait
  PutCode(w, "1");             // now (8, 1): appends 12, 16, 20
  PutCode(w, "1" "01" "111");  // now (8, 2): group 8..11, 8 = -1
  PutCode(w, "0" "0");         // (24, 0), (44, 0)
  PutCode(w, "000");           // (1..3, 3)
  PutCode(w, "0");             // (12, 2)
  PutCode(w, "1" "00" "111");  // (16, 2): 16 = +1
  PutCode(w, "0");             // (20, 2)
  Stream s(w);
  BitReader r(s.bytes.data(), s.bytes.size());
  int16_t block[64] = {};
  ReadCoefficients(r, block);
  EXPECT_EQ(r.Bits(6), 0x2Du);
  for (int k = 1; k < 64; ++k) EXPECT_EQ(At(block, k), k == 4 ? 1 : k == 8 ? -1 : k == 16 ? 1 : 0) << k;
}

// The builder's encoder and the reader agree on random sparse blocks with
// magnitudes up to the 15-level limit.
TEST(ReadCoefficients, RoundTripsRandomBlocks) {
  std::mt19937 rng(1234);
  for (int iter = 0; iter < 300; ++iter) {
    int16_t coef[64] = {};
    const int count = int(rng() % 64), bits = 1 + int(rng() % 15);
    for (int i = 0; i < count; ++i) {
      const int k = 1 + int(rng() % 63);
      const int v = int(rng() % (1u << bits));
      coef[k] = int16_t(rng() & 1 ? -v : v);
    }
    BitWriter w;
    test::PutCoefficients(w, coef);
    Stream s(w);
    BitReader r(s.bytes.data(), s.bytes.size());
    int16_t block[64] = {};
    ReadCoefficients(r, block);
    ASSERT_EQ(r.Bits(6), 0x2Du) << "iter " << iter;
    for (int k = 1; k < 64; ++k) ASSERT_EQ(At(block, k), coef[k]) << "iter " << iter << " k " << k;
  }
}

TEST(ReadResidue, ChangeLimitAndWrappingRefinement) {
  {  // limit 0: the first change ends the block, no bit after it is read
    BitWriter w;
    w.Put(2, 3);                  // mask 4
    PutCode(w, "000" "1" "0" "1");  // (0, 2): group 0..3, index 0 new with sign 1
    Stream s(w);
    BitReader r(s.bytes.data(), s.bytes.size());
    uint8_t res[64];
    ReadResidue(r, 0, res);
    EXPECT_EQ(r.Bits(6), 0x2Du);
    EXPECT_EQ(res[0], uint8_t(-4));
    EXPECT_EQ(std::count(res, res + 64, 0), 63);
  }
  {  // +128 is the byte 0x80, which the next level refines downwards
    BitWriter w;
    w.Put(7, 3);
    PutCode(w, "000" "1" "00" "111");  // index 0 becomes +128
    PutCode(w, "1");                   // refine at mask 64: 0x80 - 64
    Stream s(w);
    BitReader r(s.bytes.data(), s.bytes.size());
    uint8_t res[64];
    ReadResidue(r, 1, res);
    EXPECT_EQ(r.Bits(6), 0x2Du);
    EXPECT_EQ(res[0], 0x40);
  }
}

TEST(ReadResidue, RoundTripsAndAddsThroughTheScan) {
  std::mt19937 rng(99);
  for (int iter = 0; iter < 200; ++iter) {
    int8_t residue[64] = {};
    int changes = 0;
    for (int i = 0; i < 40; ++i) {
      const int k = int(rng() % 64), v = int(rng() % 128) * (rng() & 1 ? -1 : 1);
      const int before = std::popcount(unsigned(std::abs(residue[k])));
      const int after = std::popcount(unsigned(std::abs(v)));
      if (changes - before + after > 128) continue;
      changes += after - before;
      residue[k] = int8_t(v);
    }
    BitWriter w;
    ASSERT_TRUE(test::PutResidue(w, residue));
    Stream s(w);
    BitReader r(s.bytes.data(), s.bytes.size());
    uint8_t res[64];
    ReadResidue(r, r.Bits(7), res);
    ASSERT_EQ(r.Bits(6), 0x2Du) << "iter " << iter;
    uint8_t src[8 * 12], dst[8 * 12];
    for (int i = 0; i < 96; ++i) src[i] = uint8_t(rng()), dst[i] = 0xEE;
    AddResidue(res, dst, src, 12);
    for (int k = 0; k < 64; ++k) {
      ASSERT_EQ(res[k], uint8_t(residue[k])) << "iter " << iter << " k " << k;
      const int p = (kCoefficientScan[k] >> 3) * 12 + (kCoefficientScan[k] & 7);
      ASSERT_EQ(dst[p], uint8_t(src[p] + residue[k]));
    }
    for (int y = 0; y < 8; ++y) {
      for (int x = 8; x < 12; ++x) ASSERT_EQ(dst[y * 12 + x], 0xEE);  // nothing beside the block
    }
  }
}

// The row-wise adder equals the one-sample-at-a-time adder for a separate
// source and for the block itself, at any stride; it leaves the gap alone.
TEST(AddResidue, RowsMatchSampleOrder) {
  std::mt19937 rng(5);
  for (int iter = 0; iter < 200; ++iter) {
    const ptrdiff_t stride = 8 + ptrdiff_t(rng() % 9);
    uint8_t res[64], src[8 * 16], a[8 * 16], b[8 * 16];
    for (auto& v : res) v = uint8_t(rng() % 3 ? rng() : (rng() & 1) * 255);
    for (int i = 0; i < 8 * 16; ++i) src[i] = uint8_t(rng()), a[i] = b[i] = uint8_t(rng());
    const bool self = iter % 2;
    AddResidue(res, a, self ? a : src, stride);
    AddResidueInOrder(res, b, self ? b : src, stride);
    ASSERT_TRUE(std::equal(a, a + 8 * 16, b)) << "iter " << iter;
  }
}

// The list walk one bit at a time, as the format describes it: the model the
// reader's run skipping and in-pass compaction must reproduce bit for bit.
namespace model {

struct List {
  uint8_t e[80];
  int head = 64, tail = 64;
};

template <typename Visit>
bool Walk(BitReader& r, List& l, Visit&& visit) {
  auto group = [&](uint32_t c) {
    for (uint32_t j = c; j < c + 4; ++j) {
      if (r.Bit()) {
        l.e[--l.head] = uint8_t(j << 2 | 3);
      } else if (!visit(j)) {
        return false;
      }
    }
    return true;
  };
  const int start = l.head;
  for (int i = start; i < l.tail;) {
    const uint8_t e = l.e[i];
    if (e == 0 || !r.Bit()) {
      ++i;
      continue;
    }
    const uint32_t c = e >> 2;
    switch (e & 3) {
      case 0: l.e[i] = uint8_t((c + 4) << 2 | 1); if (!group(c)) return false; break;
      case 1:
        l.e[i] = uint8_t(c << 2 | 2);
        for (uint32_t d : {4u, 8u, 12u}) l.e[l.tail++] = uint8_t((c + d) << 2 | 2);
        break;
      case 2: l.e[i++] = 0; if (!group(c)) return false; break;
      default: l.e[i++] = 0; if (!visit(c)) return false; break;
    }
  }
  int kept = start;
  for (int i = start; i < l.tail; ++i) {
    if (l.e[i]) l.e[kept++] = l.e[i];
  }
  l.tail = kept;
  return true;
}

void Coefficients(BitReader& r, int16_t block[64]) {
  List l;
  for (uint8_t e : {4 << 2, 24 << 2, 44 << 2, 1 << 2 | 3, 2 << 2 | 3, 3 << 2 | 3}) l.e[l.tail++] = e;
  for (int level = int(r.Bits(4)); level >= 1; --level) {
    const int b = level - 1;
    Walk(r, l, [&](uint32_t k) {
      const uint32_t v = r.Bits(b + 1);
      const int m = int(v & ((1u << b) - 1)) + (1 << b);
      block[kCoefficientScan[k]] = int16_t((v >> b) ? -m : m);
      return true;
    });
  }
}

void Residue(BitReader& r, uint32_t limit, uint8_t res[64]) {
  std::fill(res, res + 64, 0);
  List l;
  for (uint8_t e : {4 << 2, 24 << 2, 44 << 2, 0 << 2 | 2}) l.e[l.tail++] = e;
  uint8_t nonZero[64];
  uint32_t count = 0, changes = 0;
  const int levels = int(r.Bits(3)) + 1;
  for (int level = 0; level < levels; ++level) {
    const uint8_t mask = uint8_t(1u << (levels - 1 - level));
    for (uint32_t j = 0; j < count; ++j) {
      if (!r.Bit()) continue;
      uint8_t& v = res[nonZero[j]];
      v = int8_t(v) >= 0 ? uint8_t(v + mask) : uint8_t(v - mask);
      if (changes++ == limit) return;
    }
    if (!Walk(r, l, [&](uint32_t k) {
          res[k] = r.Bit() ? uint8_t(-mask) : mask;
          nonZero[count++] = uint8_t(k);
          return changes++ != limit;
        }))
      return;
  }
}

}  // namespace model

// Random bit streams of every density, many shorter than what they describe
// (the zero feed then decides): values, bits consumed and the overrun agree
// with the one-bit-at-a-time model, block after block.
TEST(ListReaders, MatchTheBitAtATimeModel) {
  std::mt19937 rng(4321);
  for (int iter = 0; iter < 3000; ++iter) {
    std::vector<uint8_t> bytes(rng() % (iter % 4 == 0 ? 8 : 160));
    const uint32_t density = rng() % 4;  // 1 bits are rare .. common
    for (auto& b : bytes) {
      for (int bit = 0; bit < 8; ++bit) b |= uint8_t((rng() % 8 < 1 + 2 * density) << bit);
    }
    auto exact = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    BitReader a(exact.get(), bytes.size()), b(exact.get(), bytes.size());
    for (int block = 0; block < 4; ++block) {
      if (iter % 2) {
        int16_t got[64] = {}, want[64] = {};
        ReadCoefficients(a, got);
        model::Coefficients(b, want);
        ASSERT_TRUE(std::equal(got, got + 64, want)) << "iter " << iter << " block " << block;
      } else {
        const uint32_t limit = rng() % 129;
        uint8_t got[64], want[64];
        ReadResidue(a, limit, got);
        model::Residue(b, limit, want);
        ASSERT_TRUE(std::equal(got, got + 64, want)) << "iter " << iter << " block " << block;
      }
      ASSERT_EQ(a.Consumed(), b.Consumed()) << "iter " << iter << " block " << block;
      ASSERT_EQ(a.Overrun(), b.Overrun());
    }
  }
}

// DC only: a flat block of ((DC * f0) >> 11 + 127) >> 8, stored modulo 256.
TEST(Idct, DcOnlyIsFlatAndWraps) {
  struct Case {
    int dc;
    uint8_t sample;
  } const cases[] = {{1024, 128}, {2048, 0}, {-4, 255}, {-1, 0}, {0, 0}, {2040, 255}, {2047, 0}};
  for (const Case& c : cases) {
    int16_t block[64] = {};
    block[0] = int16_t(c.dc);
    uint8_t out[16 * 8];
    std::fill(std::begin(out), std::end(out), 0xAA);
    IdctPut(block, kIntraQuant[0], out, 16);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 16; ++x) ASSERT_EQ(out[y * 16 + x], x < 8 ? c.sample : 0xAA) << "dc " << c.dc;
    }
  }
}

// Each single coefficient gives its cosine basis function (at an amplitude
// of its own) to within the rounding: catches a wrong constant or butterfly.
TEST(Idct, SingleCoefficientsGiveCosineBases) {
  int32_t quant[64];
  std::fill(std::begin(quant), std::end(quant), 2048);  // dequantised = coefficient
  quant[0] = 65536;
  for (int p = 1; p < 64; ++p) {
    int16_t block[64] = {};
    block[0] = 1024;  // mid grey
    block[p] = 1024;
    uint8_t out[64];
    IdctBlock(block, quant, out);
    const int u = p & 7, v = p >> 3;
    double basis[64], num = 0, den = 0;
    for (int i = 0; i < 64; ++i) {
      basis[i] = std::cos((2 * (i & 7) + 1) * u * M_PI / 16) * std::cos((2 * (i >> 3) + 1) * v * M_PI / 16);
      num += (out[i] - 128.0) * basis[i];
      den += basis[i] * basis[i];
    }
    const double amp = num / den;
    EXPECT_GT(amp, 2.0) << "position " << p;
    for (int i = 0; i < 64; ++i) ASSERT_NEAR(out[i] - 128.0, amp * basis[i], 1.0) << "position " << p;
  }
}

TEST(Idct, AddAndDoubledStores) {
  int16_t block[64] = {};
  block[0] = 64;  // flat +8 with the flat quantiser below
  block[1] = 300;
  int32_t quant[64];
  std::fill(std::begin(quant), std::end(quant), 2048);
  quant[0] = 65536;
  uint8_t flat[64];
  IdctBlock(block, quant, flat);
  uint8_t src[64], dst[64];
  for (int i = 0; i < 64; ++i) src[i] = uint8_t(250 + i);
  IdctAdd(block, quant, dst, 8, src, 8);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(dst[i], uint8_t(src[i] + flat[i]));  // wraps, no clamp
  uint8_t big[16 * 20];
  std::fill(std::begin(big), std::end(big), 0x11);
  IdctPutDoubled(block, quant, big, 20);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 20; ++x) ASSERT_EQ(big[y * 20 + x], x < 16 ? flat[(y / 2) * 8 + x / 2] : 0x11);
  }
}

}  // namespace
}  // namespace tarn
