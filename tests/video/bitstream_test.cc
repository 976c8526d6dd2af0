// Bit reader, code shapes, symbol trees and bundle chunks on hand-built streams.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/video_stream_builder.h"
#include "video/bit_writer.h"
#include "video/video_internal.h"

namespace tarn {
namespace {

std::vector<uint8_t> Bytes(const BitWriter& w) {
  std::vector<uint8_t> bytes;
  w.FlushTo(bytes);
  return bytes;
}

TEST(BitReader, LsbFirstZeroFeedAndOverrun) {
  BitWriter w;
  w.Put(0x5, 3);
  w.Put(0x1234, 13);
  w.Put(0xDEADBEEF, 32);
  w.Put(1, 1);
  std::vector<uint8_t> bytes = Bytes(w);
  bytes.resize(7);  // 49 bits in 7 bytes
  BitReader r(bytes.data(), bytes.size());
  EXPECT_EQ(r.Bits(3), 0x5u);
  EXPECT_EQ(r.Bits(13), 0x1234u);
  EXPECT_EQ(r.Bits(32), 0xDEADBEEFu);
  EXPECT_EQ(r.Bit(), 1u);
  EXPECT_EQ(r.Bits(7), 0u);  // the padding of the last byte
  EXPECT_FALSE(r.Overrun());
  EXPECT_EQ(r.Bits(32), 0u);  // past the end: zeros, and the overrun sticks
  EXPECT_TRUE(r.Overrun());
  EXPECT_EQ(r.Bits(32), 0u);
  EXPECT_TRUE(r.Overrun());
}

TEST(BitReader, FastAndByteRefillAgree) {
  std::vector<uint8_t> bytes(37);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 73 + 11);
  for (int n = 1; n <= 32; ++n) {
    BitReader r(bytes.data(), bytes.size());
    uint64_t pos = 0;
    while (pos + n <= bytes.size() * 8) {
      uint32_t expect = 0;
      for (int i = 0; i < n; ++i) expect |= uint32_t((bytes[(pos + i) / 8] >> ((pos + i) % 8)) & 1) << i;
      ASSERT_EQ(r.Bits(n), expect) << "n " << n << " pos " << pos;
      pos += n;
    }
    EXPECT_FALSE(r.Overrun());
  }
}

// The plane ends at the first word none of whose bits was consumed: a word
// that was only peeked at by a symbol decode belongs to what follows.
TEST(BitReader, PlaneEndsAfterLastConsumedWord) {
  std::vector<uint8_t> bytes(12, 0);
  BitReader r(bytes.data(), bytes.size());
  EXPECT_EQ(r.NextWordOffset(), 0u);
  r.Bits(30);
  EXPECT_EQ(r.Symbol(kShapeLookup[1]), 0u);  // peeks into word 1, consumes bit 30 only
  EXPECT_EQ(r.NextWordOffset(), 4u);
  r.Bit();
  EXPECT_EQ(r.NextWordOffset(), 4u);
  r.Bit();
  EXPECT_EQ(r.NextWordOffset(), 8u);
}

// Every code word of every shape decodes to its index and consumes exactly
// its length, whatever follows it.
TEST(CodeShape, EveryWordDecodes) {
  for (int shape = 0; shape < kCodeShapeCount; ++shape) {
    for (int c = 0; c < 16; ++c) {
      for (uint32_t tail : {0u, 0x7Fu, 0x55u}) {
        BitWriter w;
        test::PutShapeCode(w, shape, c);
        w.Put(tail, 7);
        w.Put(0x2A, 6);
        const auto bytes = Bytes(w);
        BitReader r(bytes.data(), bytes.size());
        ASSERT_EQ(r.Symbol(kShapeLookup[shape]), uint32_t(c)) << "shape " << shape;
        ASSERT_EQ(r.Bits(7), tail) << "shape " << shape << " code " << c;
      }
    }
  }
}

struct TreeCase {
  const char* name;
  std::vector<std::pair<uint32_t, int>> fields;  // (value, bits)
  int bitsRead;
  uint8_t map[16];
  bool corrupt;
};

TEST(SymbolTree, ReadsMapsAndExactLengths) {
  const TreeCase cases[] = {
      {"shape 0 identity", {{0, 4}}, 4, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, false},
      {"merge d=0 swaps pairs by bit",
       {{3, 4}, {0, 1}, {0, 2}, {0b10000101, 8}},
       15,
       {1, 0, 2, 3, 5, 4, 6, 7, 8, 9, 10, 11, 12, 13, 15, 14},
       false},
      {"explicit n=0", {{5, 4}, {1, 1}, {0, 3}, {9, 4}}, 12, {9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15}, false},
      {"explicit n=7",
       {{5, 4}, {1, 1}, {7, 3}, {15, 4}, {14, 4}, {13, 4}, {12, 4}, {3, 4}, {2, 4}, {1, 4}, {0, 4}},
       40,
       {15, 14, 13, 12, 3, 2, 1, 0, 4, 5, 6, 7, 8, 9, 10, 11},
       false},
      // A repeated value would give the map a 17th entry: dropped, reported.
      {"explicit repeat",
       {{5, 4}, {1, 1}, {2, 3}, {7, 4}, {7, 4}, {1, 4}},
       20,
       {7, 1, 0, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15},
       true},
  };
  for (const TreeCase& t : cases) {
    BitWriter w;
    for (auto [v, n] : t.fields) w.Put(v, n);
    w.Put(0x3FF, 10);  // marker after the tree
    const auto bytes = Bytes(w);
    BitReader r(bytes.data(), bytes.size());
    bool corrupt = false;
    const SymbolTree tree = ReadSymbolTree(r, &corrupt);
    EXPECT_EQ(r.Consumed(), uint64_t(t.bitsRead)) << t.name;
    EXPECT_EQ(r.Bits(10), 0x3FFu) << t.name;
    EXPECT_EQ(corrupt, t.corrupt) << t.name;
    EXPECT_EQ(std::vector<uint8_t>(tree.map, tree.map + 16), std::vector<uint8_t>(t.map, t.map + 16)) << t.name;
  }
}

// d = 3 runs all four levels; with every bit 1 each merge takes the second run
// first, which reverses... nothing: it interleaves runs as whole blocks.
TEST(SymbolTree, MergeAllLevels) {
  BitWriter w;
  w.Put(7, 4);
  w.Put(0, 1);
  w.Put(3, 2);
  // Level 0: 8 bits, level 1: 4 merges of 2+2, level 2: 2 merges of 4+4,
  // level 3: one merge of 8+8. All ones: the second run always goes first.
  for (int i = 0; i < 8; ++i) w.PutBit(1);
  for (int i = 0; i < 4 * 2; ++i) w.PutBit(1);
  for (int i = 0; i < 2 * 4; ++i) w.PutBit(1);
  for (int i = 0; i < 8; ++i) w.PutBit(1);
  w.Put(0x155, 9);
  const auto bytes = Bytes(w);
  BitReader r(bytes.data(), bytes.size());
  bool corrupt = false;
  const SymbolTree tree = ReadSymbolTree(r, &corrupt);
  EXPECT_EQ(r.Consumed(), 7u + 8 + 8 + 8 + 8);
  EXPECT_EQ(r.Bits(9), 0x155u);
  const uint8_t expect[16] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
  EXPECT_EQ(std::vector<uint8_t>(tree.map, tree.map + 16), std::vector<uint8_t>(expect, expect + 16));
  EXPECT_FALSE(corrupt);
}

// Planes of these tests are 64 wide: every count field is 10 bits.
constexpr uint32_t kWidth = 64;

struct Fixture {
  uint32_t sizes[kVideoBundleCount];
  std::vector<uint8_t> storage[kVideoBundleCount];
  VideoWork work{};
  Fixture(uint32_t width = kWidth) {
    VideoWorkSizes(width, sizes);
    for (int k = 0; k < kVideoBundleCount; ++k) {
      storage[k].assign(sizes[k], 0);
      work.sizes[k] = sizes[k];
      work.buffers[k] = storage[k].data();
    }
  }
};

void PutIdentityTrees(BitWriter& w) {
  for (int i = 0; i < 23; ++i) w.Put(0, 4);
}

// Writes count fields of 0 for the bundles before `kind` so that the next
// chunk read is the one of `kind`.
void PutEmptyBefore(BitWriter& w, int kind) {
  for (int k = 0; k < kind; ++k) w.Put(0, BundleCountBits(k, kWidth));
}

struct Chunked {
  PlaneBundles pb;
  std::vector<uint8_t> bytes;
};

// Reads the trees and one refill from the stream.
void ReadOneRow(const std::vector<uint8_t>& bytes, PlaneBundles& pb, Fixture& f, bool old = false,
                uint64_t* consumed = nullptr) {
  BitReader r(bytes.data(), bytes.size());
  PlaneBundlesInit(pb, f.work, kWidth, old);
  ReadPlaneTrees(r, pb);
  RefillBundles(r, pb);
  if (consumed) *consumed = r.Consumed();
}

std::vector<uint8_t> Values(PlaneBundles& pb, int kind) {
  std::vector<uint8_t> v;
  while (pb.bundle[kind].readPos < pb.bundle[kind].end) v.push_back(TakeByte(pb, kind));
  return v;
}

TEST(Bundles, BlockTypeRepeatCodes) {
  Fixture f;
  BitWriter w;
  PutIdentityTrees(w);
  w.Put(7, 10);  // count
  w.PutBit(0);
  w.Put(12, 4);  // repeats the start value 0 four times
  w.Put(5, 4);
  w.Put(12, 4);  // stops at the count: corrupt, cut
  for (int k = 1; k < kVideoBundleCount; ++k) w.Put(0, BundleCountBits(k, kWidth));
  PlaneBundles pb;
  ReadOneRow(Bytes(w), pb, f);
  EXPECT_EQ(Values(pb, BUNDLE_BLOCK_TYPE), (std::vector<uint8_t>{0, 0, 0, 0, 5, 5, 5}));
  EXPECT_TRUE(pb.corrupt);
}

// Trees for colour tests: every tree the identity, except colour context 8,
// which is shape 5 with the explicit list [3] (map 3 0 1 2 4 5 ... 15).
void PutColourTrees(BitWriter& w) {
  for (int i = 0; i < 2; ++i) w.Put(0, 4);
  for (int c = 0; c < 16; ++c) {
    if (c == 8) {
      w.Put(5, 4);
      w.Put(1, 1);
      w.Put(0, 3);
      w.Put(3, 4);
    } else {
      w.Put(0, 4);
    }
  }
  for (int i = 0; i < 5; ++i) w.Put(0, 4);
}

// The high symbol for `value` in context 8 of PutColourTrees.
void PutContext8(BitWriter& w, int value) {
  const int code = value == 3 ? 0 : value < 3 ? value + 1 : value;
  test::PutShapeCode(w, 5, code);
}

void PutRestAfter(BitWriter& w, int kind) {
  for (int k = kind + 1; k < kVideoBundleCount; ++k) w.Put(0, BundleCountBits(k, kWidth));
}

TEST(Bundles, ColourContextsAndOldSignRule) {
  Fixture f;
  for (bool old : {false, true}) {
    BitWriter w;
    PutColourTrees(w);
    PutEmptyBefore(w, BUNDLE_COLOR);
    w.Put(6, 10);
    w.PutBit(0);
    w.Put(8, 4), w.Put(1, 4);        // context 0: 0x81
    PutContext8(w, 0), w.Put(1, 4);  // 0x01
    w.Put(0, 4), w.Put(0, 4);        // context 0: 0x00
    w.Put(8, 4), w.Put(0, 4);        // 0x80
    PutContext8(w, 8), w.Put(2, 4);  // 0x82
    PutContext8(w, 3), w.Put(15, 4); // 0x3F
    PutRestAfter(w, BUNDLE_COLOR);
    PlaneBundles pb;
    ReadOneRow(Bytes(w), pb, f, old);
    const std::vector<uint8_t> expect = old ? std::vector<uint8_t>{127, 129, 128, 128, 126, 191}
                                            : std::vector<uint8_t>{0x81, 0x01, 0x00, 0x80, 0x82, 0x3F};
    EXPECT_EQ(Values(pb, BUNDLE_COLOR), expect) << "old " << old;
    EXPECT_EQ(pb.lastHigh, 3u);
    EXPECT_FALSE(pb.corrupt);
  }
}

// A fill chunk decodes one value (one context step); the next chunk, in the
// next row, starts in the context that value left.
TEST(Bundles, ColourFillStepsContextOnce) {
  Fixture f;
  BitWriter w;
  PutColourTrees(w);
  PutEmptyBefore(w, BUNDLE_COLOR);
  w.Put(5, 10);
  w.PutBit(1);
  w.Put(8, 4), w.Put(4, 4);  // 0x84, five times
  PutRestAfter(w, BUNDLE_COLOR);
  // Second row: every other bundle read a count of 0 and is finished.
  w.Put(1, 10);
  w.PutBit(0);
  PutContext8(w, 3), w.Put(9, 4);
  w.Put(0x2B, 6);
  const auto bytes = Bytes(w);
  BitReader r(bytes.data(), bytes.size());
  PlaneBundles pb;
  PlaneBundlesInit(pb, f.work, kWidth, false);
  ReadPlaneTrees(r, pb);
  RefillBundles(r, pb);
  EXPECT_EQ(Values(pb, BUNDLE_COLOR), std::vector<uint8_t>(5, 0x84));
  EXPECT_EQ(pb.lastHigh, 8u);
  RefillBundles(r, pb);
  EXPECT_EQ(Values(pb, BUNDLE_COLOR), std::vector<uint8_t>{0x39});
  EXPECT_EQ(r.Bits(6), 0x2Bu);
  EXPECT_FALSE(pb.corrupt);
}

// Zero motion values and zero DC deltas carry no sign bit; a DC group with
// s = 0 repeats the previous value; patterns are low nibble first.
TEST(Bundles, ValueCodings) {
  Fixture f;
  BitWriter w;
  PutIdentityTrees(w);
  w.Put(0, 10), w.Put(0, 10), w.Put(0, 10);  // types, sub-types, colours
  w.Put(2, 10);                              // pattern: symbols low then high
  w.Put(0x3, 4), w.Put(0xA, 4), w.Put(0xF, 4), w.Put(0x0, 4);
  w.Put(4, 10), w.PutBit(0);                 // x offsets
  w.Put(0, 4);                               // 0, no sign
  w.Put(7, 4), w.PutBit(1);                  // -7
  w.Put(15, 4), w.PutBit(0);                 // 15
  w.Put(0, 4);
  w.Put(3, 10), w.PutBit(1), w.Put(5, 4), w.PutBit(1);  // y offsets: fill -5
  w.Put(11, 10);                             // intra DC: 11 values
  w.Put(2000, 11);
  w.Put(3, 4);                               // group of 8, 3-bit deltas
  for (int d : {5, 0, -7, 1, 0, 0, -1, 7}) {
    w.Put(uint32_t(std::abs(d)), 3);
    if (d) w.PutBit(d < 0);
  }
  w.Put(0, 4);                               // last group of 2: repeats
  w.Put(2, 10);                              // inter DC
  w.Put(0, 10);                              // 0, no sign
  w.Put(1, 4), w.Put(1, 1), w.PutBit(1);     // delta -1
  w.Put(3, 10), w.PutBit(1), w.Put(9, 4);    // runs: fill 9
  w.Put(0x1D, 5);
  PlaneBundles pb;
  uint64_t consumed = 0;
  const auto bytes = Bytes(w);
  ReadOneRow(bytes, pb, f, false, &consumed);
  EXPECT_FALSE(pb.corrupt);
  EXPECT_EQ(Values(pb, BUNDLE_PATTERN), (std::vector<uint8_t>{0xA3, 0x0F}));
  EXPECT_EQ(Values(pb, BUNDLE_X_OFFSET), (std::vector<uint8_t>{0, uint8_t(-7), 15, 0}));
  EXPECT_EQ(Values(pb, BUNDLE_Y_OFFSET), std::vector<uint8_t>(3, uint8_t(-5)));
  std::vector<int> intra;
  while (pb.bundle[BUNDLE_INTRA_DC].readPos < pb.bundle[BUNDLE_INTRA_DC].end)
    intra.push_back(TakeDc(pb, BUNDLE_INTRA_DC));
  EXPECT_EQ(intra, (std::vector<int>{2000, 2005, 2005, 1998, 1999, 1999, 1999, 1998, 2005, 2005, 2005}));
  EXPECT_EQ(TakeDc(pb, BUNDLE_INTER_DC), 0);
  EXPECT_EQ(TakeDc(pb, BUNDLE_INTER_DC), -1);
  EXPECT_EQ(Values(pb, BUNDLE_RUN), std::vector<uint8_t>(3, 9));
  BitReader tail(bytes.data(), bytes.size());
  EXPECT_EQ(consumed + 5, w.BitCount());
}

// A count of 0 finishes a bundle for the whole plane: later rows do not read
// its count again, and taking from it is corrupt and yields 0.
TEST(Bundles, CountZeroFinishesForThePlane) {
  Fixture f;
  BitWriter w;
  PutIdentityTrees(w);
  w.Put(1, 10), w.PutBit(1), w.Put(6, 4);  // one block type: 6
  for (int k = 1; k < kVideoBundleCount; ++k) w.Put(0, BundleCountBits(k, kWidth));
  w.Put(1, 10), w.PutBit(1), w.Put(9, 4);  // second row: only block types
  w.Put(0x15, 5);
  const auto bytes = Bytes(w);
  BitReader r(bytes.data(), bytes.size());
  PlaneBundles pb;
  PlaneBundlesInit(pb, f.work, kWidth, false);
  ReadPlaneTrees(r, pb);
  RefillBundles(r, pb);
  EXPECT_EQ(TakeByte(pb, BUNDLE_BLOCK_TYPE), 6);
  RefillBundles(r, pb);
  EXPECT_EQ(TakeByte(pb, BUNDLE_BLOCK_TYPE), 9);
  EXPECT_EQ(r.Bits(5), 0x15u);
  EXPECT_FALSE(pb.corrupt);
  EXPECT_EQ(TakeByte(pb, BUNDLE_COLOR), 0);
  EXPECT_TRUE(pb.corrupt);
}

// A count above the work buffer's capacity would write past it: the bundle is
// finished instead and the plane reported corrupt.
TEST(Bundles, CountAboveCapacityFinishesTheBundle) {
  Fixture f;
  ASSERT_EQ(f.sizes[BUNDLE_BLOCK_TYPE], 520u);
  BitWriter w;
  PutIdentityTrees(w);
  w.Put(1023, 10), w.PutBit(1), w.Put(6, 4);
  for (int k = 1; k < kVideoBundleCount; ++k) w.Put(0, BundleCountBits(k, kWidth));
  PlaneBundles pb;
  ReadOneRow(Bytes(w), pb, f);
  EXPECT_TRUE(pb.corrupt);
  EXPECT_TRUE(pb.bundle[BUNDLE_BLOCK_TYPE].finished);
  EXPECT_EQ(f.storage[BUNDLE_BLOCK_TYPE][0], 0);
}

TEST(VideoWorkSizes, CapacitiesAndCountWidths) {
  uint32_t s[kVideoBundleCount];
  VideoWorkSizes(1280, s);
  EXPECT_EQ(std::vector<uint32_t>(s, s + 9),
            (std::vector<uint32_t>{672, 592, 10752, 1792, 672, 672, 1344, 1344, 8192}));
  VideoWorkSizes(24, s);  // B = 3, width / 16 = 1: rounded up to 4
  EXPECT_EQ(std::vector<uint32_t>(s, s + 9),
            (std::vector<uint32_t>{516, 516, 704, 536, 516, 516, 1032, 1032, 656}));
  EXPECT_EQ(BundleCountBits(BUNDLE_BLOCK_TYPE, 8), 10);   // 512
  EXPECT_EQ(BundleCountBits(BUNDLE_COLOR, 1280), 14);     // 10751
  EXPECT_EQ(BundleCountBits(BUNDLE_RUN, 1280), 13);       // 8191
  EXPECT_EQ(BundleCountBits(BUNDLE_SUB_BLOCK_TYPE, 8), 9);  // 511
}

}  // namespace
}  // namespace tarn
