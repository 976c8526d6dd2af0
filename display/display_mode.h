// Process-wide services of the display buffers: the shared display device
// (counted references), the display-mode request and its application, the
// screen figures, and the cursor helpers. Not locked: one thread (the one that
// owns the player window) calls them.
#pragma once

#include <cstdint>

#include "platform/video_window.h"

namespace tarn {

// The mode the player asks for with its /D switch; width, height and a depth
// code: 8, 16, 24 or 32 exactly; 1 at least high colour (16, 32, 24); 2 true
// colour preferred (32, 24, 16); 3 true colour only (32, 24). Consumed (cleared)
// once a buffer opened with BUFFER_SET_MODE has applied or tried it.
struct DisplayModeRequest {
  uint32_t width = 0, height = 0, depthCode = 0;
};

void DisplayModeSetRequest(uint32_t width, uint32_t height, uint32_t depthCode);
DisplayModeRequest DisplayModeGetRequest();

inline constexpr int kMaxDepthOrder = 3;

// Writes the depths to try for a depth code into order; returns how many (0 for
// an unknown code).
int DisplayDepthOrder(uint32_t depthCode, int order[kMaxDepthOrder]);

// Screen figures, refreshed when the device is first taken and after a mode
// change. The masks are the scale classes renderer styles offer (all of them).
struct DisplayScreen {
  uint32_t width = 0, height = 0, depth = 0;  // depth in bits per pixel
  uint32_t bytesPerPixel = 0;
  uint32_t overlayMask = 0, blitMask = 0;
};
const DisplayScreen& DisplayScreenInfo();
void DisplayScreenRefresh(VideoWindow& window);

// Takes a reference on the display device; the first one (with exclusive and
// a complete request) takes the requested mode exclusively and full screen,
// walking the depth order over the display's modes; the size alone is taken
// only when the display has no mode of those depths at all (one that cannot
// change its depth). False (and no reference) when the device is not available.
[[nodiscard]] bool DisplayDeviceAcquire(VideoWindow* window, bool exclusive);
// Drops a reference; the last one gives back an exclusive mode it took.
void DisplayDeviceRelease();
int DisplayDeviceUsers();

// The desktop-mode path: while the device holds no reference, applies the
// request (when setMode) by walking the depth order, then once at the size
// alone, refreshes the screen figures and counts one more mode user; returns
// true. False, doing nothing, while the device is in use.
[[nodiscard]] bool DisplayModeApply(VideoWindow* window, bool setMode);
// Counts one mode user less; the last one restores a mode that was changed.
void DisplayModeRestore();
int DisplayModeUsers();
bool DisplayModeChanged();

// The system draws the cursor, never into our surfaces: always 0.
int CursorNeedsHiding(VideoWindow* window);
// Hides the system cursor when it lies over the rectangle (screen coordinates,
// or client coordinates of window when clientRelative); returns how many times
// it was hidden (0 or 1) for CursorShow.
int CursorHideOver(VideoWindow* window, bool clientRelative, int x, int y, int width,
                   int height);
void CursorShow(VideoWindow* window, int count);

}  // namespace tarn
