// Every blit style on a real SDL window: a known picture goes through lock,
// write, unlock and blit, and what the window shows is read back. Runs on SDL's
// dummy driver in the suite and on X11 under a virtual server (label xvfb).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "display/display_buffer.h"
#include "display/display_internal.h"
#include "display/display_mode.h"
#include "platform/sdl/sdl_video.h"

namespace tarn {
namespace {

constexpr int kWidth = 64, kHeight = 48;
constexpr int kOffsetX = 8, kOffsetY = 6;

// The test picture: red across, green down, blue fixed.
uint32_t Rgb(int x, int y) { return uint32_t(x * 4) << 16 | uint32_t(y * 5) << 8 | 0x60u; }
// For YUV layouts: a grey ramp across (luma 16..205), neutral chroma.
uint8_t Luma(int x) { return uint8_t(16 + 3 * x); }

void WritePixel(uint8_t* p, int format, uint32_t rgb) {
  const uint32_t r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
  switch (format) {
    case 1: p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r); break;
    case 2: p[0] = uint8_t(r), p[1] = uint8_t(g), p[2] = uint8_t(b); break;
    case 3: StoreLe32(p, r << 16 | g << 8 | b); break;
    case 4: StoreLe32(p, b << 16 | g << 8 | r); break;
    case 5: StoreLe32(p, 0xFF000000u | r << 16 | g << 8 | b); break;
    case 6: StoreLe32(p, 0xFF000000u | b << 16 | g << 8 | r); break;
    case 7: StoreLe16(p, uint16_t(0xF000 | (r >> 4) << 8 | (g >> 4) << 4 | b >> 4)); break;
    case 8: StoreLe16(p, uint16_t(0x8000 | (r >> 3) << 10 | (g >> 3) << 5 | b >> 3)); break;
    case 9: StoreLe16(p, uint16_t((r >> 3) << 10 | (g >> 3) << 5 | b >> 3)); break;
    case 10: StoreLe16(p, uint16_t((r >> 3) << 11 | (g >> 2) << 5 | b >> 3)); break;
    default: break;
  }
}

void WritePicture(uint8_t* surface, int pitch, int format) {
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = surface + size_t(y) * pitch;
    for (int x = 0; x < kWidth; ++x) {
      if (format == kFormatYuy2 || format == kFormatUyvy) {
        row[2 * x + (format == kFormatYuy2 ? 0 : 1)] = Luma(x);
        row[2 * x + (format == kFormatYuy2 ? 1 : 0)] = 128;
      } else if (format == kFormatYv12) {
        row[x] = Luma(x);
      } else {
        WritePixel(row + size_t(x) * kFormatBytes[format], format, Rgb(x, y));
      }
    }
  }
  if (format == kFormatYv12) {  // chroma planes: already neutral from the clear
    uint8_t* chroma = surface + size_t(pitch) * kHeight;
    std::memset(chroma, 128, size_t(pitch / 2) * kHeight);
  }
}

// What the window should show at (x, y) of the frame, and how far off it may be.
uint32_t Expected(int format, int x, int y, int& tolerance) {
  if (format >= kFormatYuy2) {
    tolerance = 8;  // the toolkit's own YUV conversion
    const int grey = std::clamp((int(Luma(x)) - 16) * 255 / 219, 0, 255);
    return uint32_t(grey) * 0x010101u;
  }
  tolerance = format == 7 ? 17 : format >= 8 ? 8 : 1;
  return Rgb(x, y);
}

int Channel(uint32_t v, int shift) { return int(v >> shift & 0xFF); }

class SdlDisplay : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SdlDisplay, ShowsTheWrittenPicture) {
  const uint32_t style = GetParam();
  std::unique_ptr<VideoWindow> window = SdlVideoWindowCreate("display test", 160, 120, 0);
  ASSERT_NE(window, nullptr) << SdlVideoError();
  DisplayBuffer* b = DisplayBufferOpen(window.get(), kWidth, kHeight, style);
  if (!b) {
    // Styles 1 and 2 exist wherever there is a window; the rest depend on the renderer.
    ASSERT_GT(style, 2u) << DisplayBufferGetError();
    GTEST_SKIP() << "style " << style << " not offered here: " << DisplayBufferGetError();
  }
  ASSERT_EQ(b->style, style);
  ASSERT_EQ(DisplayBufferSetOffset(kOffsetX, b, kOffsetY), 1);
  const int format = int(b->copyFlags & COPY_FORMAT_MASK);
  ASSERT_EQ(DisplayBufferLock(b), 1);
  ASSERT_NE(b->surface, nullptr);
  WritePicture(b->surface, b->pitch, format);
  DisplayBufferUnlock(b);
  DisplayBufferBlit(b, nullptr, 1);

  std::vector<uint32_t> shown(160 * 120);
  if (!window->ReadBack(shown.data(), 160, 120)) {
    DisplayBufferClose(b);
    GTEST_SKIP() << "the window cannot be read back here: " << SdlVideoError();
  }
  int bad = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      int tolerance = 0;
      const uint32_t want = Expected(format, x, y, tolerance);
      const uint32_t got = shown[size_t(y + kOffsetY) * 160 + x + kOffsetX];
      for (int shift : {0, 8, 16}) {
        if (std::abs(Channel(got, shift) - Channel(want, shift)) > tolerance && bad++ < 5) {
          ADD_FAILURE() << DisplayBufferStyleName(b) << " at " << x << "," << y << ": got "
                        << std::hex << got << " want " << want;
        }
      }
    }
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(shown[0] & 0xFFFFFF, 0u);  // outside the frame: black
  DisplayBufferClose(b);
  EXPECT_EQ(DisplayDeviceUsers(), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryStyle, SdlDisplay, ::testing::Range(1u, 11u));

TEST(SdlDisplayWindow, AutomaticStylesOnARealWindow) {
  std::unique_ptr<VideoWindow> window = SdlVideoWindowCreate("display test", 320, 240, 0);
  ASSERT_NE(window, nullptr) << SdlVideoError();
  DisplayBuffer* direct = DisplayBufferOpen(window.get(), kWidth, kHeight, 0);
  ASSERT_NE(direct, nullptr) << DisplayBufferGetError();
  EXPECT_EQ(direct->style, BUFFER_STYLE_WINDOW_SURFACE);
  DisplayBufferClose(direct);
  DisplayBuffer* scaled = DisplayBufferOpen(window.get(), kWidth, kHeight, BUFFER_X_MULTIPLY);
  ASSERT_NE(scaled, nullptr) << DisplayBufferGetError();
  EXPECT_EQ(scaled->style, BUFFER_STYLE_SOFTWARE);
  EXPECT_EQ(DisplayBufferSetScale(2 * kWidth, scaled, kHeight), 1);
  DisplayBufferClear(scaled);
  DisplayBufferBlit(scaled, nullptr, 1);
  DisplayBufferClose(scaled);
}

}  // namespace
}  // namespace tarn
