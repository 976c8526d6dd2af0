#include "display/display_mode.h"

#include <gtest/gtest.h>

#include <vector>

#include "display/display_buffer.h"
#include "tests/support/display_fake_window.h"

namespace tarn {
namespace {

class DisplayModeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(DisplayDeviceUsers(), 0);
    EXPECT_EQ(DisplayModeUsers(), 0);
    DisplayModeSetRequest(0, 0, 0);
  }
};

std::vector<int> Depths(const std::vector<VideoMode>& modes) {
  std::vector<int> d;
  for (const VideoMode& m : modes) d.push_back(m.depth);
  return d;
}

std::vector<VideoMode> ModesAt(int width, int height, std::vector<int> depths) {
  std::vector<VideoMode> modes = {{1024, 768, 32}, {800, 600, 16}};
  for (int d : depths) modes.push_back(VideoMode{width, height, d});
  return modes;
}

struct ModeCase {
  const char* what;
  uint32_t style;
  uint32_t depthCode;
  std::vector<int> offered;  // depths offered at 640 x 480
  std::vector<int> tried;    // depths asked for, in order (0: the size-only fallback)
  int endDepth;              // depth in force while the buffer is open
  bool changed;
};

// The exclusive path (automatic style, through the device) and the desktop path
// (the software bitmap) walk the same depth orders; only the desktop path falls
// back to the size alone.
TEST_F(DisplayModeTest, DepthOrdersOverTheModeList) {
  const ModeCase cases[] = {
      {"at least high colour on 32-bit-only hardware", 0, 1, {32}, {16, 32}, 32, true},
      {"true colour preferred, 24 offered", 0, 2, {24, 16}, {32, 24}, 24, true},
      {"true colour preferred, only 16", 0, 2, {16}, {32, 24, 16}, 16, true},
      {"true colour only, 16 offered: exclusive has no fallback", 0, 3, {16}, {32, 24}, 32,
       false},
      {"exact 8", 0, 8, {8, 16}, {8}, 8, true},
      {"unknown depth code", 0, 5, {16}, {}, 32, false},
      {"desktop path: exact 16", BUFFER_STYLE_SOFTWARE, 16, {16, 32}, {16}, 16, true},
      {"desktop path: true colour only, 16 offered: size-only", BUFFER_STYLE_SOFTWARE, 3, {16},
       {32, 24, 16}, 16, true},
      {"desktop path: nothing at that size", BUFFER_STYLE_SOFTWARE, 1, {}, {16, 32, 24}, 32,
       false},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakeVideoWindow w;
    w.modes = ModesAt(640, 480, c.offered);
    DisplayModeSetRequest(640, 480, c.depthCode);
    DisplayBuffer* b = DisplayBufferOpen(&w, 320, 240, c.style | BUFFER_SET_MODE);
    ASSERT_NE(b, nullptr) << DisplayBufferGetError();
    EXPECT_EQ(Depths(w.modeTries), c.tried);
    EXPECT_EQ(w.current.depth, c.endDepth);
    EXPECT_EQ(w.fullscreen, c.changed);
    EXPECT_EQ(b->screenDepth, uint32_t(c.endDepth));
    if (c.changed) {
      EXPECT_EQ(b->screenWidth, 640u);
    }
    EXPECT_EQ(DisplayModeGetRequest().width, 0u);  // consumed
    DisplayBufferClose(b);
    EXPECT_EQ(w.fullscreen, false);  // given back at close
    EXPECT_EQ(w.current.depth, 32);
    DisplayModeSetRequest(0, 0, 0);
  }
}

// An X screen keeps one depth: its modes are 32-bit pixels of depth 24, and
// a request for another depth can only change the size.
TEST_F(DisplayModeTest, OneDepthDisplayAnswersBothTrueColourDepths) {
  const struct {
    uint32_t style, depthCode;
    std::vector<int> tried;  // depths asked for, in order (32 alone: the size-only fallback)
  } cases[] = {
      {0, 24, {24}}, {0, 32, {32}}, {0, 16, {16, 32}}, {0, 3, {32}}, {BUFFER_STYLE_SOFTWARE, 24, {24}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.depthCode);
    FakeVideoWindow w;
    w.current = w.desktop = VideoMode{1280, 1024, 32, 24};
    w.modes = {{1280, 1024, 32, 24}, {640, 480, 32, 24}};
    DisplayModeSetRequest(640, 480, c.depthCode);
    DisplayBuffer* b = DisplayBufferOpen(&w, 320, 240, c.style | BUFFER_SET_MODE);
    ASSERT_NE(b, nullptr) << DisplayBufferGetError();
    EXPECT_EQ(Depths(w.modeTries), c.tried);
    EXPECT_TRUE(w.fullscreen && w.current.width == 640) << "the size is taken";
    EXPECT_EQ(w.modeRestores, 0);
    DisplayBufferClose(b);
    EXPECT_EQ(w.current.width, 1280);
  }
}

TEST_F(DisplayModeTest, DesktopPathUndoesAModeOfTheWrongDepth) {
  FakeVideoWindow w;
  w.modes = ModesAt(640, 480, {32, 16});
  w.quirkDepthOf = 32;  // asking for 32 bits gives 24 on this display
  w.quirkDepthIs = 24;
  DisplayModeSetRequest(640, 480, 2);
  DisplayBuffer* b = DisplayBufferOpen(&w, 320, 240, BUFFER_STYLE_SOFTWARE | BUFFER_SET_MODE);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Depths(w.modeTries), (std::vector<int>{32, 24, 16}));
  EXPECT_EQ(w.modeRestores, 1);  // the 24-bit result of the 32-bit try
  EXPECT_EQ(w.current.depth, 16);
  DisplayBufferClose(b);
}

TEST_F(DisplayModeTest, ModeWithoutTheSwitchIsNotTaken) {
  FakeVideoWindow w;
  w.modes = ModesAt(640, 480, {16});
  DisplayModeSetRequest(640, 480, 16);
  DisplayBuffer* b = DisplayBufferOpen(&w, 320, 240, BUFFER_STYLE_SOFTWARE);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(w.modeTries.empty());
  EXPECT_EQ(DisplayModeGetRequest().width, 640u);  // still pending
  DisplayBufferClose(b);
}

TEST_F(DisplayModeTest, TwoBuffersShareOneModeChange) {
  for (const uint32_t style : {BUFFER_STYLE_SOFTWARE, BUFFER_STYLE_AUTOMATIC}) {
    SCOPED_TRACE(style);
    FakeVideoWindow w;
    w.modes = ModesAt(640, 480, {16});
    DisplayModeSetRequest(640, 480, 16);
    DisplayBuffer* first = DisplayBufferOpen(&w, 320, 240, style | BUFFER_SET_MODE);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(w.fullscreen);
    // The player opens the next movie's buffer before closing the previous one.
    DisplayBuffer* second = DisplayBufferOpen(&w, 160, 120, style);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(w.modeTries.size(), 1u);
    DisplayBufferClose(first);
    EXPECT_TRUE(w.fullscreen);
    EXPECT_EQ(w.modeRestores, 0);
    DisplayBufferClose(second);
    EXPECT_FALSE(w.fullscreen);
    EXPECT_EQ(w.modeRestores, 1);
  }
}

TEST_F(DisplayModeTest, DeviceInUseKeepsTheDesktopPathOut) {
  FakeVideoWindow w;
  w.modes = ModesAt(640, 480, {16});
  DisplayBuffer* automatic = DisplayBufferOpen(&w, 320, 240, 0);
  ASSERT_NE(automatic, nullptr);
  ASSERT_EQ(DisplayDeviceUsers(), 1);
  EXPECT_FALSE(DisplayModeApply(&w, true));
  DisplayModeSetRequest(640, 480, 16);
  DisplayBuffer* soft = DisplayBufferOpen(&w, 320, 240, BUFFER_STYLE_SOFTWARE | BUFFER_SET_MODE);
  ASSERT_NE(soft, nullptr);
  EXPECT_EQ(DisplayDeviceUsers(), 2);  // took a device reference instead
  EXPECT_EQ(DisplayModeUsers(), 0);
  EXPECT_TRUE(w.modeTries.empty());
  DisplayBufferClose(soft);
  DisplayBufferClose(automatic);
}

TEST_F(DisplayModeTest, CursorHelpers) {
  FakeVideoWindow w;  // client origin (100, 50)
  EXPECT_EQ(CursorNeedsHiding(&w), 0);
  struct Case {
    int cursorX, cursorY;
    bool clientRelative;
    int hidden;
  };
  const Case cases[] = {
      {150, 60, false, 1},  {50, 60, false, 1},  {47, 60, false, 0}, {290, 60, false, 0},
      {150, 60, true, 0},   {170, 80, true, 1},  {379, 199, true, 1},  {68, 60, true, 0},
  };
  for (const Case& c : cases) {
    w.cursorX = c.cursorX;
    w.cursorY = c.cursorY;
    w.cursorVisible = true;
    // A 200 x 100 frame at (80, 50) on the screen, or at (80, 50) in the client area.
    const int count = CursorHideOver(&w, c.clientRelative, 80, 50, 200, 100);
    EXPECT_EQ(count, c.hidden) << c.cursorX << "," << c.cursorY;
    EXPECT_EQ(w.cursorVisible, c.hidden == 0);
    CursorShow(&w, count);
    EXPECT_TRUE(w.cursorVisible);
  }
  EXPECT_EQ(CursorHideOver(&w, false, 0, 0, 0, 10), 0);
  EXPECT_EQ(CursorHideOver(nullptr, false, 0, 0, 10, 10), 0);
}

}  // namespace
}  // namespace tarn
