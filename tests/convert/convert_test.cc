// Colour values of single pixels and small flat pictures: the ends of the
// ranges, clamping, dither, grey and alpha.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>

#include "common/little_endian.h"
#include "common/cpu_features.h"
#include "convert/convert_internal.h"
#include "tests/convert/copy_reference.h"

namespace tarn::test {
namespace {

bool HavePacked() { return CpuFlagsDetect() & CPU_MMX; }

// The pixel at (0, 0) of a flat 4 x 4 picture in format, as a little-endian value.
uint32_t FlatPixel(uint32_t format, CpuFlags cpu, uint8_t y, uint8_t cr, uint8_t cb,
                   int alpha = -1, uint32_t extra = 0) {
  TestPlanes planes(4, 4, alpha >= 0);
  planes.Fill(y, cr, cb, uint8_t(alpha));
  uint8_t out[4 * 4 * 4] = {};
  const CopyDestination dst{out, 16, 4, 0, 0};
  EXPECT_TRUE(CopyPlanes(planes.Source(), dst, {0, 0, 4, 4}, format | extra, false, cpu));
  const uint32_t bytes = CopyFormatBytesPerPixel(format);
  uint32_t v = 0;
  for (uint32_t b = 0; b < bytes; ++b) v |= uint32_t(out[b]) << (8 * b);
  return v;
}

TEST(ConvertColour, BlackAndWhiteInEveryRgbFormat) {
  for (uint32_t format = 0; format <= 12; ++format) {
    const FormatMasks& m = MasksOf(format);
    EXPECT_EQ(FlatPixel(format, 0, 16, 128, 128), 0u) << "black, format " << format;
    EXPECT_EQ(FlatPixel(format, 0, 235, 128, 128), m.red | m.green | m.blue)
        << "white, format " << format;
  }
}

TEST(ConvertColour, EdgeValues) {
  struct Case {
    const char* what;
    bool packed;
    uint32_t format;
    uint8_t y, cr, cb;
    uint32_t want;
  };
  const Case cases[] = {
      {"red clamps at Y 255, Cr 255", false, 3, 255, 255, 128, 0xFF99FF},
      {"chroma 255 gives +51: red", false, 3, 16, 255, 128, 0xCC0000},
      {"chroma 0 gives -52: green", false, 3, 16, 0, 128, 0x006800},
      {"chroma 255 gives +51: blue", false, 3, 16, 128, 255, 0x0000FF},
      {"Cb 0 lifts green", false, 3, 16, 128, 0, 0x003400},
      {"byte order of format 4", false, 4, 16, 255, 128, 0x0000CC},
      {"byte order of format 1", false, 1, 16, 255, 128, 0xCC0000},
      {"palette index", false, 0, 16, 255, 128, 0x06},
      {"packed black has green 1", true, 3, 16, 128, 128, 0x000100},
      {"packed white", true, 3, 235, 128, 128, 0xFEFFFE},
      {"packed red saturates", true, 3, 255, 255, 128, 0xFFB0FF},
  };
  for (const Case& c : cases) {
    if (c.packed && !HavePacked()) continue;
    for (CpuFlags cpu : {c.packed ? CPU_MMX : 0u, c.packed ? CpuFlagsDetect() : 0u})
      EXPECT_EQ(FlatPixel(c.format, cpu, c.y, c.cr, c.cb), c.want) << c.what;
  }
}

// Flat mid-grey: 565 shows the 2 x 2 pattern (one dither step apart), 32-bit a
// flat value.
TEST(ConvertColour, DitherOn565ButFlat32Bit) {
  TestPlanes planes(4, 4, false);
  planes.Fill(128, 128, 128, 0);
  uint8_t out16[4 * 4 * 2], out32[4 * 4 * 4];
  ASSERT_TRUE(CopyPlanes(planes.Source(), {out16, 8, 4, 0, 0}, {0, 0, 4, 4}, COPY_FORMAT_16_565,
                         false, 0));
  ASSERT_TRUE(CopyPlanes(planes.Source(), {out32, 16, 4, 0, 0}, {0, 0, 4, 4},
                         COPY_FORMAT_32_XRGB, false, 0));
  // Y 128 is 130 after the luma table; the step is 8, so 130 + {0, 4; 2, 6}.
  const uint16_t want[2][2] = {{16 << 11 | 32 << 5 | 16, 16 << 11 | 33 << 5 | 16},
                               {16 << 11 | 33 << 5 | 16, 17 << 11 | 34 << 5 | 17}};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(LoadLe16(out16 + y * 8 + x * 2), want[y & 1][x & 1]) << x << "," << y;
      EXPECT_EQ(LoadLe32(out32 + y * 16 + x * 4), 0x828282u) << x << "," << y;
    }
}

// COPY_GREY on a colourful picture, table path: equal components in every RGB
// format once reduced to the narrowest width (the 16-bit formats dither all
// three by one step). The packed path's own constants are not symmetric (its
// black has green 1), so there grey only means chroma 128, which the
// reference test covers.
TEST(ConvertColour, GreyGivesEqualComponents) {
  std::mt19937 rng(ConvertTestSeed());
  TestPlanes planes(24, 6, false);
  planes.Randomise(rng, true);
  for (uint32_t format = 1; format <= 12; ++format) {
    const uint32_t bpp = CopyFormatBytesPerPixel(format);
    std::vector<uint8_t> out(24 * 6 * bpp);
    ASSERT_TRUE(CopyPlanes(planes.Source(), {out.data(), int32_t(24 * bpp), 6, 0, 0},
                           {0, 0, 24, 6}, format | COPY_GREY, false, 0));
    const FormatMasks& m = MasksOf(format);
    const int narrow =
        std::min({std::popcount(m.red), std::popcount(m.green), std::popcount(m.blue)});
    auto part = [narrow](uint32_t p, uint32_t mask) {
      return ((p & mask) >> std::countr_zero(mask)) >> (std::popcount(mask) - narrow);
    };
    for (size_t i = 0; i < 24 * 6; ++i) {
      uint32_t p = 0;
      for (uint32_t b = 0; b < bpp; ++b) p |= uint32_t(out[i * bpp + b]) << (8 * b);
      ASSERT_EQ(part(p, m.red), part(p, m.green)) << "format " << format << " pixel " << i;
      ASSERT_EQ(part(p, m.blue), part(p, m.green)) << "format " << format << " pixel " << i;
    }
  }
}

TEST(ConvertColour, AlphaPlacement) {
  struct Case {
    uint32_t format;
    uint32_t alphaBits;  // alpha sample 0xB7 in the pixel
  };
  const Case cases[] = {{5, 0xB7000000}, {6, 0xB7000000}, {7, 0xB000}, {8, 0x8000}};
  std::vector<CpuFlags> levels = {0};
  if (HavePacked()) levels = {0, CPU_MMX, CpuFlagsDetect()};
  for (CpuFlags cpu : levels) {
    for (const Case& c : cases) {
      const uint32_t mask = MasksOf(c.format).alpha;
      EXPECT_EQ(FlatPixel(c.format, cpu, 100, 90, 200, 0xB7) & mask, c.alphaBits) << c.format;
      // Without an alpha plane the bits stay 0, and showing alpha changes nothing.
      EXPECT_EQ(FlatPixel(c.format, cpu, 100, 90, 200) & mask, 0u) << c.format;
      EXPECT_EQ(FlatPixel(c.format, cpu, 100, 90, 200, -1, COPY_SHOW_ALPHA),
                FlatPixel(c.format, cpu, 100, 90, 200))
          << c.format;
    }
    // Formats without alpha bits ignore the plane.
    EXPECT_EQ(FlatPixel(3, cpu, 100, 90, 200, 0xB7) >> 24, 0u);
  }
}

}  // namespace
}  // namespace tarn::test
