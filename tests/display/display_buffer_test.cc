#include "display/display_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "display/display_internal.h"
#include "display/display_mode.h"
#include "tests/support/display_fake_window.h"

namespace tarn {
namespace {

// Every test must leave no device reference, mode user or renderer behind.
class DisplayBufferTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(DisplayDeviceUsers(), 0);
    EXPECT_EQ(DisplayModeUsers(), 0);
    EXPECT_EQ(window.rendererUsers, 0);
    EXPECT_EQ(window.liveTextures, 0);
    DisplayModeSetRequest(0, 0, 0);
  }
  FakeVideoWindow window;
};

struct SelectionCase {
  const char* what;
  uint32_t flags;
  bool device, surfaceLockable, renderer;
  int surfaceFormat;
  int depth;
  uint32_t textureFormats;
  uint32_t style;       // 0: the open must fail
  const char* error;    // on failure
};

TEST_F(DisplayBufferTest, SelectsStylesAndFailsWithoutFallback) {
  const SelectionCase cases[] = {
      {"automatic takes the window surface", 0, true, true, true, 3, 32, 0xFFFE, 1, ""},
      {"an unwritable window surface gives the software bitmap", 0, true, true, true, -1, 32,
       0xFFFE, 2, ""},
      {"no device: only the software bitmap", 0, false, true, true, 3, 32, 0xFFFE, 2, ""},
      {"a needed multiply never takes the window surface", BUFFER_X_MULTIPLY, true, true, true, 3,
       32, 0xFFFE, 2, ""},
      {"no window surface: the first overlay", BUFFER_Y_STRETCH, true, false, true, 3, 32,
       0xFFFE, 3, ""},
      {"no window surface, only UYVY textures", 0, true, false, true, 3, 32, 1u << 14, 5, ""},
      {"explicit overlay without the layout fails", BUFFER_STYLE_YV12_OVERLAY, true, true, true,
       3, 32, 1u << 13, 0, "No capable blitting style available."},
      {"explicit style without the device", BUFFER_STYLE_RGB_VIDEO, false, true, true, 3, 32,
       0xFFFE, 0, "The display device is not available"},
      {"explicit window surface with scaling", BUFFER_STYLE_WINDOW_SURFACE | BUFFER_X_SHRINK,
       true, true, true, 3, 32, 0xFFFE, 0, "No capable blitting style available."},
      {"explicit window surface in an unknown layout", BUFFER_STYLE_WINDOW_SURFACE, true, true,
       true, -1, 32, 0xFFFE, 0, "Video mode not supported."},
      {"explicit software bitmap on a palettised screen", BUFFER_STYLE_SOFTWARE, true, true, true,
       0, 8, 0xFFFE, 0, "256 color mode not supported."},
      {"explicit software bitmap without a window surface", BUFFER_STYLE_SOFTWARE, true, false,
       true, 3, 32, 0xFFFE, 0, "Unable to create DIBSection."},
      {"nothing on a palettised screen", BUFFER_X_MULTIPLY, true, true, false, 0, 8, 0, 0,
       "256 color mode not supported."},
      {"nothing on a screen of no known layout (an 8-bit X screen)", 0, true, false, false, -1, 0, 0, 0,
       "256 color mode not supported."},
      {"nothing at all", 0, false, false, false, 3, 32, 0, 0,
       "No capable blitting style available."},
      {"explicit UYVY off-screen", BUFFER_STYLE_UYVY_OFFSCREEN, true, true, true, 3, 32, 0xFFFE,
       8, ""},
      {"explicit RGB system surface", BUFFER_STYLE_RGB_SYSTEM, true, true, false, 10, 16, 0, 10,
       ""},
      {"style numbers beyond ten", 11, true, true, true, 3, 32, 0xFFFE, 0,
       "No capable blitting style available."},
  };
  for (const SelectionCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakeVideoWindow w(800, 600, c.surfaceFormat);
    w.deviceAvailable = c.device;
    w.surfaceLockable = c.surfaceLockable;
    w.rendererAvailable = c.renderer;
    w.textureFormats = c.textureFormats;
    w.current.depth = c.depth;
    DisplayBuffer* b = DisplayBufferOpen(&w, 320, 240, c.flags);
    if (c.style == 0) {
      EXPECT_EQ(b, nullptr);
      EXPECT_STREQ(DisplayBufferGetError(), c.error);
    } else {
      ASSERT_NE(b, nullptr) << DisplayBufferGetError();
      EXPECT_EQ(b->style, c.style) << DisplayBufferStyleName(b);
      EXPECT_STREQ(DisplayBufferGetError(), "");
    }
    DisplayBufferClose(b);
    EXPECT_EQ(w.rendererUsers, 0);
    EXPECT_EQ(w.liveTextures, 0);
    EXPECT_EQ(DisplayDeviceUsers(), 0);
    EXPECT_EQ(DisplayModeUsers(), 0);
  }
}

TEST_F(DisplayBufferTest, RecordsFormatFlagsAndWindowFigures) {
  struct Case {
    uint32_t flags;
    uint32_t copyFlags;
    uint32_t capabilities;
    const char* name;
  };
  const Case cases[] = {
      {BUFFER_STYLE_WINDOW_SURFACE, 3, 0, "Window surface"},
      {BUFFER_STYLE_SOFTWARE, 3, BUFFER_SCALE_MASK, "Software bitmap"},
      {BUFFER_STYLE_YV12_OVERLAY, 15 | COPY_NO_RECTS, BUFFER_SCALE_MASK, "YV12 overlay"},
      {BUFFER_STYLE_YUY2_OVERLAY, 13 | COPY_NO_RECTS, BUFFER_SCALE_MASK, "YUY2 overlay"},
      {BUFFER_STYLE_YUY2_OFFSCREEN, 13, BUFFER_SCALE_MASK, "YUY2 off-screen surface"},
      {BUFFER_STYLE_YV12_OFFSCREEN | BUFFER_X_STRETCH, 15 | COPY_ONE_RECT, BUFFER_SCALE_MASK,
       "YV12 off-screen surface"},
      {BUFFER_STYLE_RGB_VIDEO, 3, BUFFER_SCALE_MASK, "RGB off-screen video surface"},
      {BUFFER_STYLE_RGB_SYSTEM | BUFFER_Y_DIVIDE, 3 | COPY_ONE_RECT, BUFFER_SCALE_MASK,
       "RGB off-screen system surface"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DisplayBuffer* b = DisplayBufferOpen(&window, 321, 240, c.flags);
    ASSERT_NE(b, nullptr) << DisplayBufferGetError();
    EXPECT_EQ(b->copyFlags, c.copyFlags);
    EXPECT_EQ(b->capabilities, c.capabilities);
    EXPECT_STREQ(DisplayBufferStyleName(b), c.name);
    EXPECT_EQ(b->windowWidth, 321u + 4);
    EXPECT_EQ(b->windowHeight, 240u + 22);
    EXPECT_EQ(b->borderLeft, 2);
    EXPECT_EQ(b->borderTop, 20);
    EXPECT_EQ(b->screenWidth, 1024u);
    EXPECT_EQ(b->screenDepth, 32u);
    DisplayBufferClose(b);
  }
}

TEST(DisplayScaleClass, ClassesEachAxis) {
  struct Case {
    uint32_t source, dest;
    bool y;
    uint32_t expected;
  };
  const Case cases[] = {
      {640, 640, false, 0},
      {640, 1280, false, BUFFER_X_MULTIPLY},
      {640, 1920, false, BUFFER_X_MULTIPLY},
      {640, 960, false, BUFFER_X_STRETCH},
      {640, 320, false, BUFFER_X_DIVIDE},
      {640, 500, false, BUFFER_X_SHRINK},
      {480, 960, true, BUFFER_Y_MULTIPLY},
      {480, 720, true, BUFFER_Y_STRETCH},
      {480, 240, true, BUFFER_Y_DIVIDE},
      {480, 400, true, BUFFER_Y_SHRINK},
      {480, 1, true, BUFFER_Y_DIVIDE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DisplayScaleClass(c.source, c.dest, c.y), c.expected)
        << c.source << " -> " << c.dest;
  }
}

TEST_F(DisplayBufferTest, SetScaleTakesOnlyOfferedClasses) {
  DisplayBuffer* soft = DisplayBufferOpen(&window, 640, 480, BUFFER_STYLE_SOFTWARE);
  ASSERT_NE(soft, nullptr);
  for (uint32_t dw : {1280u, 960u, 320u, 500u}) {
    EXPECT_EQ(DisplayBufferSetScale(dw, soft, 240), 1);
    EXPECT_EQ(soft->destWidth, dw);
    EXPECT_EQ(soft->destHeight, 240u);
    EXPECT_EQ(soft->windowWidth, dw + 4);
  }
  EXPECT_EQ(DisplayBufferSetScale(0, soft, 0), 1);  // the screen's size
  EXPECT_EQ(soft->destWidth, 1024u);
  EXPECT_EQ(soft->destHeight, 768u);
  EXPECT_EQ(DisplayBufferSetScale(1u << 31, soft, 480), 0);  // absurd: refused, kept
  EXPECT_EQ(soft->destWidth, 1024u);
  EXPECT_EQ(soft->destHeight, 480u);
  DisplayBufferClose(soft);

  // The window surface cannot scale: only the frame's own size is taken.
  DisplayBuffer* direct = DisplayBufferOpen(&window, 640, 480, 0);
  ASSERT_NE(direct, nullptr);
  ASSERT_EQ(direct->style, BUFFER_STYLE_WINDOW_SURFACE);
  EXPECT_EQ(DisplayBufferSetScale(1280, direct, 480), 0);
  EXPECT_EQ(direct->destWidth, 640u);
  EXPECT_EQ(DisplayBufferSetScale(640, direct, 480), 1);
  DisplayBufferClose(direct);
}

TEST_F(DisplayBufferTest, BlitListsOnEveryKindOfStyle) {
  const MovieRect two[2] = {{0, 0, 16, 16}, {32, 16, 16, 16}};
  const MovieRect outside[2] = {{600, 0, 16, 16}, {-8, -8, 16, 16}};

  // Window surface: updates of the rectangles at the frame's place.
  DisplayBuffer* b = DisplayBufferOpen(&window, 64, 48, BUFFER_STYLE_WINDOW_SURFACE);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(DisplayBufferSetOffset(10, b, 20), 1);
  DisplayBufferBlit(b, nullptr, 0);
  EXPECT_TRUE(window.surfaceUpdates.empty());
  DisplayBufferBlit(b, nullptr, 1);
  ASSERT_EQ(window.surfaceUpdates.size(), 1u);
  EXPECT_EQ(window.surfaceUpdates[0].x, 10);
  EXPECT_EQ(window.surfaceUpdates[0].y, 20);
  EXPECT_EQ(window.surfaceUpdates[0].w, 64);
  EXPECT_EQ(window.surfaceUpdates[0].h, 48);
  window.surfaceUpdates.clear();
  DisplayBufferBlit(b, outside, 2);  // one outside the frame, one clipped to 8 x 8
  ASSERT_EQ(window.surfaceUpdates.size(), 1u);
  EXPECT_EQ(window.surfaceUpdates[0].x, 10);
  EXPECT_EQ(window.surfaceUpdates[0].w, 8);
  DisplayBufferClose(b);

  // Software bitmap scaled by 3/2: neighbouring rectangles meet exactly.
  b = DisplayBufferOpen(&window, 64, 48, BUFFER_STYLE_SOFTWARE);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(DisplayBufferSetScale(96, b, 72), 1);
  const MovieRect halves[2] = {{0, 0, 21, 48}, {21, 0, 43, 48}};
  window.surfaceUpdates.clear();
  DisplayBufferBlit(b, halves, 2);
  ASSERT_EQ(window.blitDests.size(), 2u);
  EXPECT_EQ(window.blitDests[0].x + window.blitDests[0].w, window.blitDests[1].x);
  EXPECT_EQ(window.blitDests[1].x + window.blitDests[1].w, 96);
  EXPECT_EQ(window.surfaceUpdates.size(), 2u);
  DisplayBufferClose(b);

  // Off-screen YV12: rectangles uploaded on even bounds, then one present.
  b = DisplayBufferOpen(&window, 63, 47, BUFFER_STYLE_YV12_OFFSCREEN);
  ASSERT_NE(b, nullptr);
  FakeVideoTexture* tex = window.lastTexture;
  ASSERT_NE(tex, nullptr);
  EXPECT_EQ(tex->width, 64);  // pairs of pixels
  tex->updates.clear();
  window.presents = 0;
  DisplayBufferBlit(b, nullptr, 0);
  EXPECT_EQ(window.presents, 0);
  const MovieRect odd[2] = {{1, 3, 5, 5}, {60, 40, 16, 16}};
  DisplayBufferBlit(b, odd, 2);
  ASSERT_EQ(tex->updates.size(), 2u);
  EXPECT_EQ(tex->updates[0].x, 0);
  EXPECT_EQ(tex->updates[0].y, 2);
  EXPECT_EQ(tex->updates[0].w, 6);
  EXPECT_EQ(tex->updates[0].h, 6);
  EXPECT_EQ(tex->updates[1].x + tex->updates[1].w, 64);
  EXPECT_EQ(tex->updates[1].y + tex->updates[1].h, 47);
  EXPECT_EQ(window.presents, 1);
  EXPECT_EQ(window.lastPresentSrc.w, 63);
  DisplayBufferClose(b);

  // Overlay: seen whole at every unlock; a repaint shows it again.
  b = DisplayBufferOpen(&window, 64, 48, BUFFER_STYLE_YUY2_OVERLAY);
  ASSERT_NE(b, nullptr);
  window.presents = 0;
  ASSERT_EQ(DisplayBufferLock(b), 1);
  DisplayBufferUnlock(b);
  EXPECT_EQ(window.presents, 1);
  EXPECT_EQ(b->overlayShown, 1);
  DisplayBufferBlit(b, two, 0);
  EXPECT_EQ(window.presents, 1);
  DisplayBufferBlit(b, nullptr, 1);
  EXPECT_EQ(window.presents, 2);
  DisplayBufferClose(b);
}

TEST_F(DisplayBufferTest, LockPlacesTheFrameAndRefusesUnsafeWrites) {
  DisplayBuffer* b = DisplayBufferOpen(&window, 64, 48, BUFFER_STYLE_WINDOW_SURFACE);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(DisplayBufferSetOffset(8, b, 4), 1);
  EXPECT_TRUE(b->copyFlags & COPY_FULL);
  EXPECT_EQ(b->destX, 108);
  EXPECT_EQ(b->destY, 54);
  ASSERT_EQ(DisplayBufferLock(b), 1);
  EXPECT_EQ(b->surface, window.surfacePixels.data() + 4 * window.surfacePitch + 8 * 4);
  EXPECT_EQ(b->pitch, window.surfacePitch);
  DisplayBufferUnlock(b);
  EXPECT_EQ(b->surface, nullptr);
  EXPECT_FALSE(b->copyFlags & COPY_FULL);

  // A frame that no longer fits the window surface (moved off its edge, or the
  // window shrank) is not locked: the copy would write past the surface.
  const std::pair<int, int> offsets[] = {{800 - 63, 0}, {0, 600 - 47}, {-1, 0}, {0, -4}};
  for (const auto& [x, y] : offsets) {
    ASSERT_EQ(DisplayBufferSetOffset(x, b, y), 1);
    DisplayBufferUnlock(b);
    EXPECT_EQ(DisplayBufferLock(b), 0) << x << "," << y;
    EXPECT_TRUE(b->copyFlags & COPY_FULL);
  }
  ASSERT_EQ(DisplayBufferSetOffset(0, b, 0), 1);
  window.surfaceFormat = 10;  // the surface changed layout since the open
  EXPECT_EQ(DisplayBufferLock(b), 0);
  window.surfaceFormat = 3;
  window.geometry.minimised = true;
  EXPECT_EQ(DisplayBufferLock(b), 0);
  window.geometry.minimised = false;
  EXPECT_EQ(DisplayBufferLock(b), 1);
  DisplayBufferClose(b);  // closing while locked unlocks first
}

TEST(DisplayFillBlack, EveryLayoutWithinItsRows) {
  struct Case {
    int format, width, height;
  };
  const Case cases[] = {{13, 5, 3}, {14, 5, 3}, {13, 4, 2}, {15, 6, 4}, {15, 5, 3},
                        {3, 3, 2},  {1, 3, 2},  {10, 3, 2}, {0, 3, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const int pitch = 32;
    std::vector<uint8_t> mem(size_t(pitch) * c.height * 2 + 64, 0xEE);
    DisplayFillBlack(mem.data(), pitch, c.width, c.height, c.format);
    const auto at = [&](size_t i) { return mem[i]; };
    if (c.format == 13 || c.format == 14) {
      const uint8_t luma = 0, chroma = 0x80;
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) {
          const size_t p = size_t(y) * pitch + 2 * x;
          EXPECT_EQ(at(p + (c.format == 13 ? 0 : 1)), luma);
          EXPECT_EQ(at(p + (c.format == 13 ? 1 : 0)), chroma);
        }
        EXPECT_EQ(at(size_t(y) * pitch + 2 * c.width), 0xEE);  // nothing past the row
      }
    } else if (c.format == 15) {
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) EXPECT_EQ(at(size_t(y) * pitch + x), 16);
        EXPECT_EQ(at(size_t(y) * pitch + c.width), 0xEE);
      }
      const size_t chroma = size_t(pitch) * c.height;
      const int rows = (c.height + 1) / 2, cw = (c.width + 1) / 2;
      for (int y = 0; y < 2 * rows; ++y) {  // V then U, pitch / 2 apart
        for (int x = 0; x < cw; ++x) EXPECT_EQ(at(chroma + size_t(y) * pitch / 2 + x), 128);
        EXPECT_EQ(at(chroma + size_t(y) * pitch / 2 + cw), 0xEE);
      }
      EXPECT_EQ(at(chroma + size_t(2 * rows) * pitch / 2), 0xEE);
    } else {
      const int bytes = kFormatBytes[c.format];
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width * bytes; ++x) EXPECT_EQ(at(size_t(y) * pitch + x), 0);
        EXPECT_EQ(at(size_t(y) * pitch + c.width * bytes), 0xEE);
      }
    }
  }
}

TEST_F(DisplayBufferTest, NewSurfacesStartBlack) {
  DisplayBuffer* b = DisplayBufferOpen(&window, 8, 4, BUFFER_STYLE_YV12_OVERLAY);
  ASSERT_NE(b, nullptr);
  const FakeVideoTexture* tex = window.lastTexture;
  ASSERT_NE(tex, nullptr);
  EXPECT_EQ(tex->pixels[0], 16);
  EXPECT_EQ(tex->pixels[size_t(tex->pitch) * 4], 128);
  EXPECT_EQ(tex->pixels.back(), 128);
  DisplayBufferClose(b);

  b = DisplayBufferOpen(&window, 8, 4, BUFFER_STYLE_UYVY_OFFSCREEN);
  ASSERT_NE(b, nullptr);
  tex = window.lastTexture;
  ASSERT_NE(tex, nullptr);
  ASSERT_EQ(tex->updates.size(), 1u);  // the black memory went up whole
  EXPECT_EQ(tex->pixels[0], 0x80);
  EXPECT_EQ(tex->pixels[1], 0x00);
  // Clearing after a frame brings black back.
  ASSERT_EQ(DisplayBufferLock(b), 1);
  std::memset(b->surface, 0x55, size_t(b->pitch) * 4);
  DisplayBufferUnlock(b);
  DisplayBufferClear(b);
  ASSERT_EQ(DisplayBufferLock(b), 1);
  EXPECT_EQ(b->surface[0], 0x80);
  EXPECT_EQ(b->surface[3], 0x00);
  DisplayBufferUnlock(b);
  DisplayBufferClose(b);
}

TEST_F(DisplayBufferTest, CheckOffsetAlignsForTheScreen) {
  DisplayBuffer* b = DisplayBufferOpen(&window, 640, 480, BUFFER_STYLE_SOFTWARE);
  ASSERT_NE(b, nullptr);
  struct Case {
    int32_t x, y, wantX, wantY;
  };
  // 32-bit screen: screen x (border 2 + x) rounds up to even; y untouched.
  const Case soft[] = {{0, 5, 0, 5}, {1, 5, 2, 5}, {-3, -7, -2, -7}, {5000, 9000, 5000, 9000}};
  for (const Case& c : soft) {
    int32_t x = c.x, y = c.y;
    DisplayBufferCheckOffset(&x, b, &y);
    EXPECT_EQ(x, c.wantX);
    EXPECT_EQ(y, c.wantY);
  }
  DisplayBufferClose(b);

  // Window surface: kept on the screen first.
  b = DisplayBufferOpen(&window, 640, 480, BUFFER_STYLE_WINDOW_SURFACE);
  ASSERT_NE(b, nullptr);
  int32_t x = 5000, y = 9000;
  DisplayBufferCheckOffset(&x, b, &y);
  EXPECT_EQ(x, 1024 - 640 - 2);
  EXPECT_EQ(y, 768 - 480 - 20);
  DisplayBufferCheckOffset(nullptr, b, nullptr);
  DisplayBufferClose(b);
}

TEST(DisplayBuffer, NullAndEmptyAreHarmless) {
  FakeVideoWindow w;
  EXPECT_EQ(DisplayBufferOpen(&w, 0, 10, 0), nullptr);
  EXPECT_EQ(DisplayBufferOpen(&w, 10, 0, 0), nullptr);
  EXPECT_EQ(DisplayBufferOpen(nullptr, 10, 10, 0), nullptr);
  EXPECT_EQ(DisplayBufferOpen(&w, 100000, 10, 0), nullptr);
  EXPECT_STREQ(DisplayBufferGetError(), "Out of memory.");
  EXPECT_EQ(DisplayBufferLock(nullptr), 0);
  EXPECT_EQ(DisplayBufferUnlock(nullptr), 0);
  EXPECT_EQ(DisplayBufferSetScale(10, nullptr, 10), 0);
  EXPECT_EQ(DisplayBufferSetOffset(1, nullptr, 1), 0);
  DisplayBufferBlit(nullptr, nullptr, 1);
  DisplayBufferClear(nullptr);
  DisplayBufferCheckOffset(nullptr, nullptr, nullptr);
  DisplayBufferClose(nullptr);
  EXPECT_STREQ(DisplayBufferStyleName(nullptr), "");
  EXPECT_EQ(DisplayDeviceUsers(), 0);
}

}  // namespace
}  // namespace tarn
