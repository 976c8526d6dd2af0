// Block, plane and frame decoding on streams from the plane builder and on
// hand-broken ones; corrupt input must stay in bounds (run under ASan).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "movie/movie.h"
#include "tests/support/video_stream_builder.h"
#include "video/bit_writer.h"
#include "video/video_internal.h"

namespace tarn {
namespace {

using test::PlaneStreamBuilder;
using test::VideoBlock;

static_assert(HDR_ALPHA == 0x100000 && OPEN_ALPHA == 0x100000 && OPEN_GREY == 0x20000 &&
              OPEN_BEFORE_REV_I == 0x8000);

struct Work {
  uint32_t sizes[kVideoBundleCount];
  std::vector<uint8_t> storage[kVideoBundleCount];
  VideoWork work{};
  explicit Work(uint32_t width) {
    VideoWorkSizes((width + 15) & ~15u, sizes);
    for (int k = 0; k < kVideoBundleCount; ++k) {
      storage[k].assign(sizes[k], 0);
      work.sizes[k] = sizes[k];
      work.buffers[k] = storage[k].data();
    }
  }
};

// One luma-kind plane with its reference, a change map and canaries around
// the destination.
struct Plane {
  uint32_t w, h;
  std::vector<uint8_t> dst, ref, map;
  Work work;
  static constexpr size_t kGuard = 64;
  Plane(uint32_t width, uint32_t height) : w(width), h(height), work(width) {
    dst.assign(w * h + 2 * kGuard, 0xCD);
    std::fill(dst.begin() + kGuard, dst.end() - kGuard, 0);
    ref.resize(w * h);
    for (uint32_t i = 0; i < w * h; ++i) ref[i] = uint8_t((i % w) + 3 * (i / w));
    map.assign(((w + 15) / 16) * ((h + 15) / 16), 0);
  }
  uint8_t* out() { return dst.data() + kGuard; }
  uint8_t At(uint32_t x, uint32_t y) { return out()[y * w + x]; }
  uint8_t Ref(uint32_t x, uint32_t y) { return ref[y * w + x]; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (dst[i] != 0xCD || dst[dst.size() - 1 - i] != 0xCD) return false;
    }
    return true;
  }
  PlaneResult Decode(const std::vector<uint8_t>& bits, uint32_t flags = 0) {
    auto exact = std::make_unique<uint8_t[]>(bits.size());  // exact size: overreads trap
    std::copy(bits.begin(), bits.end(), exact.get());
    return VideoDecodePlane(exact.get(), bits.size(), 0, out(), ref.data(), w, h, w, map.data(),
                            (w + 15) / 16, 1, work.work, flags);
  }
};

VideoBlock Block(uint8_t type) {
  VideoBlock b;
  b.type = type;
  return b;
}

// Builds a plane whose blocks are all skips except those given by position.
std::vector<uint8_t> PlaneWith(uint32_t w, uint32_t h, const std::vector<std::pair<uint32_t, VideoBlock>>& blocks) {
  PlaneStreamBuilder b(w, (w + 15) & ~15u);
  for (uint32_t i = 0, y = 0; y < h; y += 8) {
    for (uint32_t x = 0; x < w; x += 8, ++i) {
      VideoBlock v = Block(BLOCK_SKIP);
      for (const auto& [at, block] : blocks) {
        if (at == i) v = block;
      }
      b.Add(v);
    }
    b.EndRow();
  }
  return b.Finish();
}

struct BlockCase {
  const char* name;
  VideoBlock block;
  std::function<uint8_t(Plane&, int x, int y)> expect;  // sample (x, y) of the block at (8, 8)
};

// Each block type at (8, 8) of a 24 x 24 plane, against sample formulas.
TEST(VideoDecodePlane, BlockTypes) {
  std::vector<BlockCase> cases;
  {
    VideoBlock b = Block(BLOCK_FILL);
    b.colors = {0x5A};
    cases.push_back({"fill", b, [](Plane&, int, int) { return uint8_t(0x5A); }});
  }
  {
    VideoBlock b = Block(BLOCK_RAW);
    for (int i = 0; i < 64; ++i) b.colors.push_back(uint8_t(i * 3));
    cases.push_back({"raw", b, [](Plane&, int x, int y) { return uint8_t((y * 8 + x) * 3); }});
  }
  {
    VideoBlock b = Block(BLOCK_PATTERN);
    b.colors = {10, 200};
    for (int i = 0; i < 8; ++i) b.pattern[i] = uint8_t(0x81 << (i % 2) | i);
    cases.push_back({"pattern", b, [pat = b](Plane&, int x, int y) {
                       return uint8_t((pat.pattern[y] >> x) & 1 ? 200 : 10);
                     }});
  }
  for (int dx : {-8, 0, 7}) {
    for (int dy : {-8, 3}) {
      VideoBlock b = Block(BLOCK_MOTION);
      b.dx = int8_t(dx), b.dy = int8_t(dy);
      cases.push_back({"motion", b, [dx, dy](Plane& p, int x, int y) { return p.Ref(8 + x + dx, 8 + y + dy); }});
    }
  }
  {
    VideoBlock b = Block(BLOCK_RESIDUE);
    b.dx = -2, b.dy = 5;
    for (int k = 0; k < 64; k += 5) b.residue[k] = int8_t(k - 30);
    cases.push_back({"residue", b, [res = b](Plane& p, int x, int y) {
                       int k = 0;
                       while (kCoefficientScan[k] != y * 8 + x) ++k;
                       return uint8_t(p.Ref(8 + x - 2, 8 + y + 5) + res.residue[k]);
                     }});
  }
  {
    VideoBlock b = Block(BLOCK_INTRA);
    b.dc = 1024;  // quantiser 0: flat 128
    cases.push_back({"intra dc", b, [](Plane&, int, int) { return uint8_t(128); }});
  }
  {
    VideoBlock b = Block(BLOCK_INTRA);
    b.dc = 700;
    b.coef[1] = 9, b.coef[5] = -3, b.coef[40] = 2;
    b.q = 6;
    int16_t pos[64] = {};
    pos[0] = 700;
    for (int k = 1; k < 64; ++k) pos[kCoefficientScan[k]] = b.coef[k];
    uint8_t out[64];
    IdctBlock(pos, kIntraQuant[6], out);
    cases.push_back({"intra ac", b, [out = std::vector<uint8_t>(out, out + 64)](Plane&, int x, int y) {
                       return out[y * 8 + x];
                     }});
  }
  {
    VideoBlock b = Block(BLOCK_INTER);
    b.dx = 3, b.dy = -1;
    b.dc = -20;
    b.coef[2] = 5;
    b.q = 2;
    int16_t pos[64] = {};
    pos[0] = -20;
    pos[kCoefficientScan[2]] = 5;
    uint8_t out[64];
    IdctBlock(pos, kInterQuant[2], out);
    cases.push_back({"inter", b, [out = std::vector<uint8_t>(out, out + 64)](Plane& p, int x, int y) {
                       return uint8_t(p.Ref(8 + x + 3, 8 + y - 1) + out[y * 8 + x]);
                     }});
  }
  for (const BlockCase& c : cases) {
    Plane p(24, 24);
    const auto bits = PlaneWith(24, 24, {{4, c.block}});
    const PlaneResult r = p.Decode(bits);
    EXPECT_FALSE(r.corrupt) << c.name;
    EXPECT_EQ(r.next, bits.size()) << c.name;
    for (int y = 0; y < 24; ++y) {
      for (int x = 0; x < 24; ++x) {
        const bool inBlock = x >= 8 && x < 16 && y >= 8 && y < 16;
        const uint8_t want = inBlock ? c.expect(p, x - 8, y - 8) : p.Ref(x, y);
        ASSERT_EQ(p.At(x, y), want) << c.name << " at " << x << "," << y;
      }
    }
    EXPECT_TRUE(p.GuardsIntact()) << c.name;
  }
}

// Runs along scan orders: a run ending at 63 takes one more colour for the
// last position, one ending at 64 does not.
TEST(VideoDecodePlane, RunBlocksEndingAt63And64) {
  for (int last : {15, 16}) {
    VideoBlock b = Block(BLOCK_RUN);
    b.scan = 5;
    b.runs = {{true, 16}, {false, 16}, {true, 16}, {false, uint8_t(last)}};
    std::vector<uint8_t> expect(64);
    b.colors.push_back(1);
    for (int i = 0; i < 16; ++i) b.colors.push_back(uint8_t(100 + i));
    b.colors.push_back(2);
    for (int i = 0; i < last; ++i) b.colors.push_back(uint8_t(150 + i));
    if (last == 15) b.colors.push_back(77);
    for (int i = 0; i < 64; ++i) {
      const uint8_t c = i < 16 ? 1 : i < 32 ? uint8_t(100 + i - 16) : i < 48 ? 2 : i < 48 + last ? uint8_t(150 + i - 48) : 77;
      expect[kRunScans[5][i]] = c;
    }
    VideoBlock fill = Block(BLOCK_FILL);
    fill.colors = {33};  // the next block shows whether a colour was left over
    Plane p(16, 8);
    const PlaneResult r = p.Decode(PlaneWith(16, 8, {{0, b}, {1, fill}}));
    EXPECT_FALSE(r.corrupt);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p.At(i & 7, i >> 3), expect[i]) << "last run " << last;
    EXPECT_EQ(p.At(8, 0), 33);
  }
}

// Skipped blocks count only while their 16 x 16 area is unmarked.
TEST(VideoDecodePlane, SkipCountAndChangeMap) {
  VideoBlock motion = Block(BLOCK_MOTION);
  Plane p(32, 16);  // areas: [0, 1]; blocks 0 1 4 5 -> area 0
  const PlaneResult r = p.Decode(PlaneWith(32, 16, {{4, motion}}));
  EXPECT_FALSE(r.corrupt);
  EXPECT_EQ(r.skipCount, 2u + 4u);  // area 0: skip, skip, motion, skip -> 2; area 1: 4
  EXPECT_EQ(p.map, (std::vector<uint8_t>{1, 0}));
}

// A scaled block on an even row takes one type for two columns; on the odd
// row below, one type covers both blocks again and reads nothing more.
TEST(VideoDecodePlane, ScaledBlocksOnEvenAndOddRows) {
  PlaneStreamBuilder b(32, 32);
  VideoBlock pattern = Block(BLOCK_SCALED);
  pattern.subType = BLOCK_PATTERN;
  pattern.colors = {4, 250};
  for (int i = 0; i < 8; ++i) pattern.pattern[i] = uint8_t(0xA5 ^ i);
  VideoBlock below = Block(BLOCK_SCALED);  // odd-row half: no sub-type
  VideoBlock fill = Block(BLOCK_FILL);
  fill.colors = {60};
  b.Add(pattern), b.Add(fill), b.Add(fill), b.EndRow();
  b.Add(below), b.Add(fill), b.Add(fill), b.EndRow();
  b.Add(fill), b.Add(fill), b.Add(fill), b.Add(fill), b.EndRow();
  b.Add(fill), b.Add(fill), b.Add(fill), b.Add(fill), b.EndRow();
  Plane p(32, 32);
  const PlaneResult r = p.Decode(b.Finish());
  EXPECT_FALSE(r.corrupt);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const uint8_t want = (x < 16 && y < 16) ? ((pattern.pattern[y / 2] >> (x / 2)) & 1 ? 250 : 4) : 60;
      ASSERT_EQ(p.At(x, y), want) << x << "," << y;
    }
  }
  EXPECT_EQ(p.map, (std::vector<uint8_t>{1, 1, 1, 1}));
}

// Types 10..15 and unknown scaled sub-types write nothing and read nothing.
TEST(VideoDecodePlane, UnusedTypesWriteNothing) {
  VideoBlock odd = Block(BLOCK_SCALED);
  odd.subType = 7;
  VideoBlock fill = Block(BLOCK_FILL);
  fill.colors = {9};
  PlaneStreamBuilder b(48, 48);
  b.Add(Block(10)), b.Add(Block(11)), b.Add(odd), b.Add(fill), b.Add(Block(BLOCK_SKIP)), b.EndRow();
  for (int i = 0; i < 6; ++i) b.Add(Block(BLOCK_SKIP));
  Plane p(48, 16);
  std::fill(p.ref.begin(), p.ref.end(), 0);
  const PlaneResult r = p.Decode(b.Finish());
  EXPECT_FALSE(r.corrupt);
  EXPECT_EQ(p.At(0, 0), 0);   // type 10: untouched destination
  EXPECT_EQ(p.At(8, 0), 0);   // type 11
  EXPECT_EQ(p.At(16, 0), 0);  // scaled, sub-type 7
  EXPECT_EQ(p.At(32, 0), 9);  // the fill after them is in its place
  EXPECT_EQ(p.map[0], 0);
}

// --- Frames ---------------------------------------------------------------

struct Frame {
  uint32_t width, height;
  PlaneSet ps{};
  std::vector<uint8_t> mem[2][4];
  std::vector<uint8_t> map;
  uint32_t blocksAcross;
  Work work;
  Frame(uint32_t w, uint32_t h, int sets, bool alpha) : width(w), height(h), work(w) {
    ps.setCount = uint32_t(sets);
    ps.lumaWidth = (w + 7) & ~7u;
    ps.lumaHeight = (h + 7) & ~7u;
    ps.chromaWidth = ((w + 1) / 2 + 7) & ~7u;
    ps.chromaHeight = ((h + 1) / 2 + 7) & ~7u;
    ps.alphaPresent = alpha;
    for (int s = 0; s < sets; ++s) {
      for (uint32_t p = 0; p < 4; ++p) {
        if (p == PLANE_ALPHA && !alpha) continue;
        const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
        const uint32_t stride = chroma ? (ps.chromaWidth + 15) & ~15u : ps.lumaWidth;
        mem[s][p].assign(size_t(stride) * (chroma ? ps.chromaHeight : ps.lumaHeight), 0);
        ps.planes[s][p] = {1, mem[s][p].data(), stride};
      }
    }
    blocksAcross = (w + 15) / 16;
    map.assign(blocksAcross * ((h + 15) / 16), 0);
  }
  VideoFrameResult Decode(const std::vector<uint8_t>& data, uint32_t header, uint32_t flags) {
    auto exact = std::make_unique<uint8_t[]>(data.size());
    std::copy(data.begin(), data.end(), exact.get());
    std::fill(map.begin(), map.end(), 0);
    return VideoDecodeFrame(&ps, exact.get(), exact.get() + data.size(), header, flags, map.data(), blocksAcross,
                            work.work);
  }
};

std::vector<uint8_t> FlatPlane(uint32_t w, uint32_t h, uint8_t color, bool old = false) {
  PlaneStreamBuilder b(w, w, old);
  VideoBlock fill = Block(BLOCK_FILL);
  fill.colors = {color};
  for (uint32_t y = 0; y < h; y += 8) {
    for (uint32_t x = 0; x < w; x += 8) b.Add(fill);
    b.EndRow();
  }
  return b.Finish();
}

// A 224 x 252 revision-i frame of mixed blocks: planes 224 x 256 and
// 112 x 128; luma ends at the chroma offset, chroma 2 at the data's end.
TEST(VideoDecodeFrame, PlanesEndWhereTheFrameSays) {
  Frame f(224, 252, 2, false);
  const auto luma = test::MixedPlane(224, 256, 224, 1);
  const auto c1 = test::MixedPlane(112, 128, 224, 2);
  const auto c2 = test::MixedPlane(112, 128, 224, 3);
  const auto data = test::VideoFrameBytes(luma, c1, c2, true);
  auto exact = std::make_unique<uint8_t[]>(data.size());
  std::copy(data.begin(), data.end(), exact.get());
  const PlaneEntry* out = f.ps.planes[1];
  const PlaneResult l = VideoDecodePlane(exact.get(), data.size(), 4, out[0].data, f.ps.planes[0][0].data, 224,
                                         256, 224, f.map.data(), f.blocksAcross, 1, f.work.work, 0);
  EXPECT_FALSE(l.corrupt);
  EXPECT_EQ(l.next, 4 + luma.size());
  const PlaneResult a = VideoDecodePlane(exact.get(), data.size(), l.next, out[1].data, f.ps.planes[0][1].data,
                                         112, 128, out[1].stride, f.map.data(), f.blocksAcross, 2, f.work.work, 0);
  const PlaneResult b = VideoDecodePlane(exact.get(), data.size(), a.next, out[2].data, f.ps.planes[0][2].data,
                                         112, 128, out[2].stride, f.map.data(), f.blocksAcross, 2, f.work.work, 0);
  EXPECT_FALSE(a.corrupt || b.corrupt);
  EXPECT_EQ(b.next, data.size());
  EXPECT_FALSE(f.Decode(data, 0, 0).corrupt);
}

// Two buffer sets alternate: each frame goes into the set that did not hold
// the previous one and reads that one as reference; one set decodes in place.
TEST(VideoDecodeFrame, BufferSetsAlternate) {
  Frame f(16, 16, 2, false);
  f.ps.current = 0;
  const auto frame1 = test::VideoFrameBytes(FlatPlane(16, 16, 50), FlatPlane(8, 8, 60), FlatPlane(8, 8, 70), true);
  auto r = f.Decode(frame1, 0, 0);
  EXPECT_FALSE(r.corrupt);
  EXPECT_EQ(f.ps.current, 1u);
  EXPECT_EQ(f.mem[1][PLANE_LUMA][0], 50);
  EXPECT_EQ(f.mem[1][PLANE_CHROMA1][0], 60);
  EXPECT_EQ(f.mem[1][PLANE_CHROMA2][7 * 16 + 7], 70);
  EXPECT_EQ(f.mem[0][PLANE_LUMA][0], 0);
  // All skips: set 0 receives a copy of set 1.
  const auto skips = test::VideoFrameBytes(PlaneWith(16, 16, {}), PlaneWith(8, 8, {}), PlaneWith(8, 8, {}), true);
  r = f.Decode(skips, 0, 0);
  EXPECT_EQ(f.ps.current, 0u);
  EXPECT_EQ(f.mem[0][PLANE_LUMA], f.mem[1][PLANE_LUMA]);
  EXPECT_EQ(r.skipCount, 1u);  // chroma 2's one block
  EXPECT_FALSE(r.corrupt);

  Frame one(16, 16, 1, false);
  one.Decode(frame1, 0, 0);
  const auto before = one.mem[0][PLANE_LUMA];
  one.Decode(skips, 0, 0);
  EXPECT_EQ(one.ps.current, 0u);
  EXPECT_EQ(one.mem[0][PLANE_LUMA], before);
}

// The alpha section is decoded with OPEN_ALPHA and stepped over by its length
// without; the other planes come out the same. Old revisions have no offset
// word and place chroma right after luma; grey stops after luma.
TEST(VideoDecodeFrame, AlphaGreyAndRevisions) {
  const auto luma = test::MixedPlane(32, 16, 32, 7);
  const auto c1 = FlatPlane(16, 8, 90), c2 = FlatPlane(16, 8, 91), alpha = FlatPlane(32, 16, 200);
  const auto withAlpha = test::VideoFrameBytes(luma, c1, c2, true, &alpha);
  Frame a(32, 16, 2, true), b(32, 16, 2, true);
  const auto ra = a.Decode(withAlpha, HDR_ALPHA, OPEN_ALPHA);
  const auto rb = b.Decode(withAlpha, HDR_ALPHA, 0);
  EXPECT_FALSE(ra.corrupt || rb.corrupt);
  EXPECT_EQ(a.mem[1][PLANE_ALPHA], std::vector<uint8_t>(32 * 16, 200));
  EXPECT_EQ(b.mem[1][PLANE_ALPHA], std::vector<uint8_t>(32 * 16, 0));
  for (uint32_t p : {PLANE_LUMA, PLANE_CHROMA1, PLANE_CHROMA2}) EXPECT_EQ(a.mem[1][p], b.mem[1][p]);
  EXPECT_EQ(a.mem[1][PLANE_CHROMA2][0], 91);

  Frame old(32, 16, 2, false);
  const auto oldData = test::VideoFrameBytes(test::MixedPlane(32, 16, 32, 7, true), FlatPlane(16, 8, 90, true),
                                             FlatPlane(16, 8, 91, true), false);
  EXPECT_FALSE(old.Decode(oldData, 0, OPEN_BEFORE_REV_I | OPEN_BEFORE_REV_H).corrupt);
  EXPECT_EQ(old.mem[1][PLANE_CHROMA1][0], 90);

  // Grey: the luma skip count / 4; chroma untouched.
  Frame grey(32, 16, 2, false);
  const auto skipLuma = test::VideoFrameBytes(PlaneWith(32, 16, {{5, Block(BLOCK_MOTION)}}), c1, c2, true);
  const auto rg = grey.Decode(skipLuma, 0, OPEN_GREY);
  EXPECT_FALSE(rg.corrupt);
  EXPECT_EQ(rg.skipCount, (2u + 4u) >> 2);  // area 0 counts 4, area 1 counts 2
  EXPECT_EQ(grey.mem[1][PLANE_CHROMA1], std::vector<uint8_t>(grey.mem[1][PLANE_CHROMA1].size(), 0));
}

// --- Corrupt input ----------------------------------------------------------

// Hand-built 8-wide plane: identity trees, then per bundle kind a chunk given
// as raw fields (nullptr: count 0).
std::vector<uint8_t> RawPlane(uint32_t width, const std::function<void(BitWriter&, int)>& chunk) {
  BitWriter w;
  for (int i = 0; i < 23; ++i) w.Put(0, 4);
  for (int k = 0; k < kVideoBundleCount; ++k) chunk(w, k);
  (void)width;
  std::vector<uint8_t> bytes;
  w.FlushTo(bytes);
  return bytes;
}

TEST(VideoCorrupt, EachClassHasItsOutcome) {
  {  // taking more colours than the chunk holds: the rest read as 0
    Plane p(8, 8);
    const auto bits = RawPlane(8, [](BitWriter& w, int k) {
      w.Put(k == BUNDLE_BLOCK_TYPE || k == BUNDLE_COLOR ? (k == BUNDLE_COLOR ? 10 : 1) : 0,
            BundleCountBits(k, 8));
      if (k == BUNDLE_BLOCK_TYPE) w.PutBit(1), w.Put(BLOCK_RAW, 4);
      if (k == BUNDLE_COLOR) w.PutBit(1), w.Put(0, 4), w.Put(5, 4);
    });
    const PlaneResult r = p.Decode(bits);
    EXPECT_TRUE(r.corrupt);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p.At(i & 7, i >> 3), i < 10 ? 5 : 0);
    EXPECT_TRUE(p.GuardsIntact());
  }
  {  // motion outside the reference plane: clamped to its edges
    VideoBlock m = Block(BLOCK_MOTION);
    m.dx = -3, m.dy = 15;
    Plane p(16, 16);
    const PlaneResult r = p.Decode(PlaneWith(16, 16, {{0, m}}));
    EXPECT_TRUE(r.corrupt);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) ASSERT_EQ(p.At(x, y), p.Ref(x, 8 + y));
    }
    EXPECT_TRUE(p.GuardsIntact());
  }
  {  // scaled block in the last column and the last row: clipped to the plane
    VideoBlock s = Block(BLOCK_SCALED);
    s.subType = BLOCK_FILL;
    s.colors = {77};
    Plane p(24, 8);
    const PlaneResult r = p.Decode(PlaneWith(24, 8, {{2, s}}));
    EXPECT_TRUE(r.corrupt);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 24; ++x) ASSERT_EQ(p.At(x, y), x >= 16 ? 77 : p.Ref(x, y));
    }
    EXPECT_TRUE(p.GuardsIntact());
    EXPECT_EQ(p.map, std::vector<uint8_t>({0, 1}));
  }
  {  // runs past position 63: cut at the block's end
    VideoBlock run = Block(BLOCK_RUN);
    run.runs = {{true, 10}, {true, 16}, {true, 16}, {true, 16}, {true, 16}};
    run.colors = {1, 2, 3, 4, 5};
    Plane p(8, 8);
    const PlaneResult r = p.Decode(PlaneWith(8, 8, {{0, run}}));
    EXPECT_TRUE(r.corrupt);
    EXPECT_EQ(p.At(kRunScans[0][63] & 7, kRunScans[0][63] >> 3), 5);
    EXPECT_TRUE(p.GuardsIntact());
  }
  {  // past the end of the data: zeros, reported
    const auto bits = PlaneWith(16, 16, {});
    Plane p(16, 16);
    const std::vector<uint8_t> cut(bits.begin(), bits.begin() + 4);
    EXPECT_TRUE(p.Decode(cut).corrupt);
  }
}

// Every prefix of a valid frame, and random bytes, decode without touching
// memory outside the planes and the data; only the whole frame is clean.
TEST(VideoCorrupt, TruncatedAndRandomFrames) {
  const auto luma = test::MixedPlane(48, 40, 48, 11);
  const auto data = test::VideoFrameBytes(luma, test::MixedPlane(24, 24, 48, 12), test::MixedPlane(24, 24, 48, 13),
                                          true, &luma);
  Frame f(48, 40, 2, true);
  for (size_t n = 0; n < data.size(); n += 3) {
    const std::vector<uint8_t> cut(data.begin(), data.begin() + n);
    ASSERT_TRUE(f.Decode(cut, HDR_ALPHA, OPEN_ALPHA).corrupt) << n;
  }
  EXPECT_FALSE(f.Decode(data, HDR_ALPHA, OPEN_ALPHA).corrupt);
  std::mt19937 rng(2024);
  for (int iter = 0; iter < 300; ++iter) {
    std::vector<uint8_t> junk(rng() % 600);
    for (uint8_t& b : junk) b = uint8_t(rng() % (iter % 2 ? 256 : 4));
    f.Decode(junk, iter % 3 ? HDR_ALPHA : 0, (iter % 5 ? OPEN_ALPHA : 0) | (iter % 7 ? 0 : OPEN_BEFORE_REV_I));
  }
}

// The packed transform changes nothing: valid mixed planes and random bits,
// decoded into a second plane and in place, match the scalar decode.
TEST(VideoCorrupt, ScalarAndPackedDecodesAgree) {
  std::mt19937 rng(77);
  for (int iter = 0; iter < 60; ++iter) {
    std::vector<uint8_t> bits;
    if (iter % 3 == 0) {
      bits.resize(rng() % 2000);
      for (auto& b : bits) b = uint8_t(rng());
    } else {
      bits = test::MixedPlane(64, 48, 64, uint32_t(iter), false,
                              iter % 3 == 1 ? test::VideoMix::kHeavy : test::VideoMix::kLight);
    }
    for (bool inPlace : {false, true}) {
      Plane scalar(64, 48), packed(64, 48);
      PlaneResult r[2];
      for (int level = 0; level < 2; ++level) {
        Plane& p = level ? packed : scalar;
        CpuFeaturesSetMask(level ? ~0u : 0u);
        if (inPlace) {
          std::copy(p.ref.begin(), p.ref.end(), p.out());
          auto exact = std::make_unique<uint8_t[]>(bits.size());
          std::copy(bits.begin(), bits.end(), exact.get());
          r[level] = VideoDecodePlane(exact.get(), bits.size(), 0, p.out(), p.out(), 64, 48, 64, p.map.data(), 4, 1,
                                      p.work.work, 0);
        } else {
          r[level] = p.Decode(bits);
        }
      }
      CpuFeaturesSetMask(~0u);
      ASSERT_TRUE(scalar.dst == packed.dst) << "iter " << iter << (inPlace ? " in place" : "");
      ASSERT_EQ(r[0].next, r[1].next);
      ASSERT_EQ(r[0].corrupt, r[1].corrupt);
      ASSERT_TRUE(scalar.GuardsIntact() && packed.GuardsIntact());
    }
  }
}

}  // namespace
}  // namespace tarn
