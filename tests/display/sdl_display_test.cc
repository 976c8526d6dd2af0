// Every blit style on a real SDL window: a decoded frame is converted into the
// style's surface by the copy stage, shown, read back and compared with the
// same frame converted to 32-bit RGB. Runs on SDL's
// dummy driver in the suite and on X11 under a virtual server (label xvfb).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert/convert_internal.h"
#include "display/display_buffer.h"
#include "display/display_internal.h"
#include "display/display_mode.h"
#include "platform/sdl/sdl_video.h"
#include "video/video.h"

namespace tarn {
namespace {

constexpr int kWidth = 64, kHeight = 48;
constexpr int kOffsetX = 8, kOffsetY = 6;

// A decoded frame of smooth colour: luma ramps both ways, the chroma planes
// change slowly so that a toolkit's chroma filtering moves little.
struct TestFrame {
  std::vector<uint8_t> y, cr, cb;
  CopySource source{};
  TestFrame() : y(kWidth * kHeight), cr(kWidth / 2 * kHeight / 2), cb(cr.size()) {
    for (int r = 0; r < kHeight; ++r) {
      for (int x = 0; x < kWidth; ++x) y[size_t(r) * kWidth + x] = uint8_t(30 + 2 * x + r);
    }
    for (int r = 0; r < kHeight / 2; ++r) {
      for (int x = 0; x < kWidth / 2; ++x) {
        cr[size_t(r) * kWidth / 2 + x] = uint8_t(96 + 2 * x);
        cb[size_t(r) * kWidth / 2 + x] = uint8_t(160 - 2 * r);
      }
    }
    source.plane[PLANE_LUMA] = y.data();
    source.plane[PLANE_CHROMA1] = cr.data();
    source.plane[PLANE_CHROMA2] = cb.data();
    source.stride[PLANE_LUMA] = kWidth;
    source.stride[PLANE_CHROMA1] = source.stride[PLANE_CHROMA2] = kWidth / 2;
    source.width = kWidth;
    source.height = kHeight;
  }
  bool CopyTo(uint8_t* data, int32_t pitch, uint32_t format) const {
    const CopyDestination d{data, pitch, uint32_t(kHeight), 0, 0};
    return CopyPlanes(source, d, CopyRect{0, 0, kWidth, kHeight}, format, false, 0);
  }
};

// How far a shown channel may be from the 32-bit conversion of the frame: the
// quantisation (and dither) of the surface's layout, or the toolkit's own
// YUV conversion.
int Tolerance(int format) {
  if (format >= kFormatYuy2) return 12;
  if (format == 7) return 24;
  if (format >= 8) return 12;
  return 1;
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
  const TestFrame frame;
  ASSERT_TRUE(frame.CopyTo(b->surface, b->pitch, uint32_t(format)));
  DisplayBufferUnlock(b);
  DisplayBufferBlit(b, nullptr, 1);

  std::vector<uint32_t> shown(160 * 120);
  if (!window->ReadBack(shown.data(), 160, 120)) {
    DisplayBufferClose(b);
    GTEST_SKIP() << "the window cannot be read back here: " << SdlVideoError();
  }
  // The reference: the same frame converted to 32-bit XRGB in memory.
  std::vector<uint32_t> reference(kWidth * kHeight);
  ASSERT_TRUE(frame.CopyTo(reinterpret_cast<uint8_t*>(reference.data()), kWidth * 4,
                           COPY_FORMAT_32_XRGB));
  const int tolerance = Tolerance(format);
  int bad = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t want = reference[size_t(y) * kWidth + x];
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

  if (b->texture) {
    // A renderer owns the window: a strip laid over the picture (the player's
    // statistics line) shows at once and stays through the next present.
    const std::vector<uint32_t> strip(160 * kOffsetY, 0xFFFF00);
    window->OverlaySet(strip.data(), VideoRect{0, 0, 160, kOffsetY});
    DisplayBufferBlit(b, nullptr, 1);
    ASSERT_TRUE(window->ReadBack(shown.data(), 160, 120));
    EXPECT_EQ(shown[0] & 0xFFFFFF, 0xFFFF00u);
    EXPECT_EQ(shown[size_t(kOffsetY - 1) * 160 + 159] & 0xFFFFFF, 0xFFFF00u);
    const uint32_t want = reference[0], got = shown[size_t(kOffsetY) * 160 + kOffsetX];
    for (int shift : {0, 8, 16})
      EXPECT_LE(std::abs(Channel(got, shift) - Channel(want, shift)), tolerance) << "the picture below stays";
    window->OverlaySet(nullptr, VideoRect{});
    DisplayBufferBlit(b, nullptr, 1);
    ASSERT_TRUE(window->ReadBack(shown.data(), 160, 120));
    EXPECT_EQ(shown[0] & 0xFFFFFF, 0u) << "a removed strip is gone";
  }
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
