// The copy drivers against a reference built from the formulas, and the
// changed-block driver against the whole-frame driver.
#include <gtest/gtest.h>

#include <random>

#include "common/cpu_features.h"
#include "common/worker_pool.h"
#include "convert/convert_internal.h"
#include "movie/movie.h"
#include "tests/convert/copy_reference.h"

namespace tarn::test {
namespace {

struct Level {
  const char* name;
  CpuFlags cpu;
  Arithmetic arithmetic;
};

// Table-driven, the packed arithmetic's scalar model, and whatever SIMD this
// machine has.
std::vector<Level> LevelsHere() {
  std::vector<Level> levels = {{"table", 0, Arithmetic::kTable}};
  const CpuFlags detected = CpuFlagsDetect();
  if (detected & CPU_MMX) {
    levels.push_back({"packed-model", CPU_MMX, Arithmetic::kPacked});
    if (detected != CPU_MMX) levels.push_back({"packed-simd", detected, Arithmetic::kPacked});
  }
  return levels;
}

uint32_t Flags(uint32_t format, uint32_t display, uint32_t extra = 0) {
  return format | (display << COPY_DISPLAY_SHIFT) | extra;
}

void CopyInto(GuardedBuffer& buffer, const TestPlanes& planes, const ReferenceLayout& layout,
              uint32_t flags, bool bottomUp, CpuFlags cpu, bool changedOnly,
              CopyRect rect = {0, 0, ~0u, ~0u}) {
  const CopyDestination dst{buffer.data(), bottomUp ? -layout.pitch : layout.pitch, layout.height,
                            0, 0};
  if (rect.width == ~0u) rect = {0, 0, planes.width, planes.height};
  ASSERT_TRUE(CopyPlanes(planes.Source(), dst, rect, flags, changedOnly, cpu));
}

// Every display option on every format, each option flag, with and without an
// alpha plane, top-down and bottom-up, at every arithmetic level. The picture
// is 37 x 11: odd sizes, runs long enough for the SIMD groups, and padding at
// the end of each line that must stay untouched.
TEST(CopyPlanes, EveryFormatAndDisplayOptionMatchesReference) {
  const uint32_t seed = ConvertTestSeed();
  std::mt19937 rng(seed);
  static constexpr uint32_t kExtras[] = {0, COPY_GREY, COPY_SWAP_CHROMA, COPY_SHOW_ALPHA};
  for (const Level& level : LevelsHere()) {
    for (bool alpha : {false, true}) {
      TestPlanes planes(37, 11, alpha);
      planes.Randomise(rng, /*extremes=*/true);
      for (uint32_t format = 0; format < COPY_FORMAT_COUNT; ++format) {
        for (uint32_t display = 0; display <= DISPLAY_INTERLACED; ++display) {
          for (uint32_t extra : kExtras) {
            for (bool bottomUp : {false, true}) {
              const uint32_t flags = Flags(format, display, extra);
              const ReferenceLayout layout = LayoutFor(planes, format, display, 6);
              GuardedBuffer got(layout.bytes);
              CopyInto(got, planes, layout, flags, bottomUp, level.cpu, false);
              const auto want = ReferenceCopy(planes, flags, level.arithmetic, layout, bottomUp, 0x5A);
              const std::string diff = FirstDifference(want, got.Contents());
              ASSERT_TRUE(diff.empty() && got.Intact())
                  << level.name << " format " << format << " display " << display << " flags 0x"
                  << std::hex << extra << std::dec << (alpha ? " alpha" : "")
                  << (bottomUp ? " bottom-up" : "") << ": " << diff << " (seed " << seed << ")";
            }
          }
        }
      }
    }
  }
}

// Over a sequence of frames in which random blocks change, converting only the
// changed blocks into the previous frame's picture gives the whole-frame copy.
TEST(CopyPlanes, ChangedBlocksMatchWholeFrameOverSequence) {
  const uint32_t seed = ConvertTestSeed();
  struct Case {
    CopyRect rect;  // the full 75 x 53 frame, or a part with ragged block edges
  };
  const Case cases[] = {{{0, 0, 75, 53}}, {{6, 3, 60, 41}}};
  for (const Level& level : LevelsHere()) {
    for (uint32_t format = 0; format < COPY_FORMAT_COUNT; ++format) {
      for (uint32_t display = 0; display <= DISPLAY_INTERLACED; ++display) {
        for (const Case& c : cases) {
          std::mt19937 rng(seed + format * 131 + display);
          TestPlanes planes(75, 53, /*alpha=*/format >= 5 && format <= 8);
          planes.Randomise(rng, false);
          const uint32_t flags = Flags(format, display, format == 3 ? COPY_GREY : 0);
          const ReferenceLayout layout = LayoutFor(planes, format, display, 0);
          GuardedBuffer changed(layout.bytes, 0);
          CopyInto(changed, planes, layout, flags, false, level.cpu, false, c.rect);
          for (int frame = 0; frame < 5; ++frame) {
            planes.ChangeRandomBlocks(rng, frame == 4 ? 0 : 35);
            GuardedBuffer whole(layout.bytes, 0);
            CopyInto(whole, planes, layout, flags, false, level.cpu, false, c.rect);
            CopyInto(changed, planes, layout, flags, false, level.cpu, true, c.rect);
            const std::string diff = FirstDifference(whole.Contents(), changed.Contents());
            ASSERT_TRUE(diff.empty() && changed.Intact())
                << level.name << " format " << format << " display " << display << " rect x "
                << c.rect.x << " frame " << frame << ": " << diff << " (seed " << seed << ")";
          }
        }
      }
    }
  }
}

// On a pool the lines are converted in bands at once: every format (the
// planar one writes chroma lines too) and display option, whole or changed
// blocks only, top-down or bottom-up, from an odd line, gives what one
// thread writes.
TEST(CopyPlanes, BandsOnAPoolMatchOneThread) {
  const uint32_t seed = ConvertTestSeed();
  std::mt19937 rng(seed);
  TestPlanes planes(424, 650, true);
  planes.Randomise(rng, false);
  planes.ChangeRandomBlocks(rng, 40);
  WorkerPool two(2), three(3);
  for (uint32_t format = 0; format < COPY_FORMAT_COUNT; ++format) {
    for (uint32_t display = 0; display <= DISPLAY_INTERLACED; ++display) {
      const ReferenceLayout layout = LayoutFor(planes, format, display, 0);
      const uint32_t flags = Flags(format, display, format == 5 ? COPY_SHOW_ALPHA : 0);
      const bool bottomUp = display & 1, changedOnly = format & 1;
      const CopyDestination at{nullptr, bottomUp ? -layout.pitch : layout.pitch, layout.height, 0, 1};
      const CopyRect rect{2, 1, 420, 649};
      GuardedBuffer one(layout.bytes);
      CopyDestination d = at;
      d.data = one.data();
      ASSERT_TRUE(CopyPlanes(planes.Source(), d, rect, flags, changedOnly, CpuFlagsDetect()));
      for (WorkerPool* pool : {&two, &three}) {
        GuardedBuffer banded(layout.bytes);
        d.data = banded.data();
        ASSERT_TRUE(CopyPlanes(planes.Source(), d, rect, flags, changedOnly, CpuFlagsDetect(), pool));
        const std::string diff = FirstDifference(one.Contents(), banded.Contents());
        ASSERT_TRUE(diff.empty() && banded.Intact()) << "format " << format << " display " << display << " on "
                                                     << pool->threads() << " threads: " << diff << " (seed "
                                                     << seed << ")";
      }
    }
  }
}

// A 640 x 480 picture height-doubled fills 960 lines, each source line twice.
TEST(CopyPlanes, HeightDoubledWritesEverySourceLineTwice) {
  std::mt19937 rng(ConvertTestSeed());
  TestPlanes planes(640, 480, false);
  planes.Randomise(rng, false);
  const ReferenceLayout plain = LayoutFor(planes, COPY_FORMAT_32_XRGB, DISPLAY_NONE, 0);
  const ReferenceLayout doubled = LayoutFor(planes, COPY_FORMAT_32_XRGB, DISPLAY_HEIGHT_DOUBLED, 0);
  ASSERT_EQ(doubled.height, 960u);
  GuardedBuffer once(plain.bytes), twice(doubled.bytes);
  CopyInto(once, planes, plain, Flags(COPY_FORMAT_32_XRGB, DISPLAY_NONE), false, 0, false);
  CopyInto(twice, planes, doubled, Flags(COPY_FORMAT_32_XRGB, DISPLAY_HEIGHT_DOUBLED), false, 0,
           false);
  const size_t line = plain.pitch;
  for (uint32_t y = 0; y < 960; ++y)
    ASSERT_EQ(0, std::memcmp(twice.data() + y * line, once.data() + (y / 2) * line, line)) << y;
  EXPECT_TRUE(twice.Intact());
}

// A rectangle larger than the destination (taller than its lines, wider than
// its pitch) is clipped to it rather than written past it.
TEST(CopyPlanes, ClipsToDestinationLinesAndPitch) {
  std::mt19937 rng(ConvertTestSeed());
  TestPlanes planes(40, 30, false);
  planes.Randomise(rng, false);
  struct Case {
    uint32_t format, display;
    bool bottomUp;
    uint32_t destX, destY;
  };
  const Case cases[] = {
      {COPY_FORMAT_32_XRGB, DISPLAY_NONE, false, 0, 0},
      {COPY_FORMAT_32_XRGB, DISPLAY_BOTH_DOUBLED, true, 3, 2},
      {COPY_FORMAT_16_565, DISPLAY_HEIGHT_DOUBLED, false, 5, 19},
      {COPY_FORMAT_YV12, DISPLAY_BOTH_DOUBLED, false, 2, 1},
      {COPY_FORMAT_YV12, DISPLAY_NONE, true, 1, 3},
      {COPY_FORMAT_YUY2, DISPLAY_WIDTH_DOUBLED, false, 7, 0},
  };
  for (const Case& c : cases) {
    // A destination of 24 x 20 pixels for a 40 x 30 picture.
    const uint32_t bpp = CopyFormatBytesPerPixel(c.format);
    const int32_t pitch = int32_t(24 * bpp);
    const uint32_t lines = 20;
    const size_t bytes = c.format == COPY_FORMAT_YV12 ? size_t(pitch) * lines + 2 * 12 * 10
                                                      : size_t(pitch) * lines;
    GuardedBuffer buffer(bytes);
    const CopyDestination dst{buffer.data(), c.bottomUp ? -pitch : pitch, lines, c.destX, c.destY};
    ASSERT_TRUE(CopyPlanes(planes.Source(), dst, {0, 0, 40, 30},
                           Flags(c.format, c.display), false, CpuFlagsDetect()));
    EXPECT_TRUE(buffer.Intact()) << "format " << c.format << " display " << c.display;
  }
}

TEST(ConvertSelect, FollowsHandlerOrder) {
  struct Case {
    uint32_t format;
    CpuFlags cpu;
    bool alphaPlane;
    bool wantPacked, wantAlpha;
  };
  const Case cases[] = {
      {5, CPU_MMX, true, true, true},    {5, CPU_MMX, false, true, false},
      {5, 0, true, false, true},         {3, 0, true, false, false},
      {8, CPU_MMX, true, true, true},    {9, CPU_MMX, true, true, false},
      {7, 0, true, false, true},         {10, 0, false, false, false},
      {13, CPU_MMX, false, true, false}, {15, CPU_MMX, false, false, false},
      {0, CPU_MMX, false, true, false},  {0, 0, false, false, false},
  };
  for (const Case& c : cases) {
    ConvertConfig config;
    ASSERT_TRUE(ConvertSelect(config, c.format, DISPLAY_NONE, c.cpu, c.alphaPlane)) << c.format;
    EXPECT_EQ(config.packed, c.wantPacked) << c.format;
    EXPECT_EQ(config.alpha, c.wantAlpha) << c.format;
  }
  ConvertConfig config;
  EXPECT_FALSE(ConvertSelect(config, 16, DISPLAY_NONE, 0, false));
  ASSERT_TRUE(ConvertSelect(config, 1, DISPLAY_BOTH_DOUBLED, 0, false));
  EXPECT_EQ(config.bytesPerPixel, 6u);
  EXPECT_TRUE(config.lineDoubled);
}

}  // namespace
}  // namespace tarn::test
