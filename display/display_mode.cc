// The shared display device, display-mode changes and the cursor helpers.
// Process-wide state, used from the window's thread only.
#include "display/display_mode.h"

#include "display/display_buffer.h"

namespace tarn {
namespace {

DisplayModeRequest request;
DisplayScreen screen;

int deviceUsers = 0;
VideoWindow* exclusiveWindow = nullptr;  // took an exclusive mode; given back by the last release

int modeUsers = 0;                  // buffers relying on a desktop-mode change
bool modeChanged = false;
VideoWindow* modeWindow = nullptr;  // the window whose display mode was changed

bool RequestComplete() {
  return request.width != 0 && request.height != 0 && request.depthCode != 0;
}

// A mode of the requested size at any depth, the current depth preferred.
bool ModeSetSizeOnly(VideoWindow& window, int width, int height) {
  const int current = window.ScreenMode().depth;
  const int n = window.ModeCount();
  int chosen = -1;
  for (int i = 0; i < n; ++i) {
    const VideoMode m = window.ModeAt(i);
    if (m.width != width || m.height != height) continue;
    if (chosen < 0 || m.depth == current) chosen = i;
    if (m.depth == current) break;
  }
  return chosen >= 0 && window.ModeSet(window.ModeAt(chosen));
}

// Whether any mode of the display, at any size, has one of the n depths.
bool OffersDepth(VideoWindow& window, const int* depths, int n) {
  const int count = window.ModeCount();
  for (int i = 0; i < count; ++i) {
    const VideoMode m = window.ModeAt(i);
    for (int k = 0; k < n; ++k) {
      if (VideoModeHasDepth(m, depths[k])) return true;
    }
  }
  return false;
}

}  // namespace

void DisplayModeSetRequest(uint32_t width, uint32_t height, uint32_t depthCode) {
  request = DisplayModeRequest{width, height, depthCode};
}

DisplayModeRequest DisplayModeGetRequest() { return request; }

int DisplayDepthOrder(uint32_t depthCode, int order[kMaxDepthOrder]) {
  switch (depthCode) {
    case 8:
    case 16:
    case 24:
    case 32:
      order[0] = int(depthCode);
      return 1;
    case 1:  // at least high colour
      order[0] = 16, order[1] = 32, order[2] = 24;
      return 3;
    case 2:  // true colour preferred
      order[0] = 32, order[1] = 24, order[2] = 16;
      return 3;
    case 3:  // true colour only
      order[0] = 32, order[1] = 24;
      return 2;
    default:
      return 0;
  }
}

const DisplayScreen& DisplayScreenInfo() { return screen; }

void DisplayScreenRefresh(VideoWindow& window) {
  const VideoMode m = window.ScreenMode();
  screen.width = m.width > 0 ? uint32_t(m.width) : 0;
  screen.height = m.height > 0 ? uint32_t(m.height) : 0;
  screen.depth = m.depth > 0 ? uint32_t(m.depth) : 0;
  screen.bytesPerPixel = (screen.depth + 7) / 8;
  // Renderer styles scale in every class.
  screen.overlayMask = BUFFER_SCALE_MASK;
  screen.blitMask = BUFFER_SCALE_MASK;
}

bool DisplayDeviceAcquire(VideoWindow* window, bool exclusive) {
  if (deviceUsers > 0) {
    ++deviceUsers;
    return true;
  }
  if (!window || !window->DeviceAvailable()) return false;
  if (exclusive && RequestComplete()) {
    int order[kMaxDepthOrder];
    const int n = DisplayDepthOrder(request.depthCode, order);
    for (int i = 0; i < n; ++i) {
      if (!window->ModeSet(VideoMode{int(request.width), int(request.height), order[i]})) continue;
      exclusiveWindow = window;
      if (VideoModeHasDepth(window->ScreenMode(), order[i])) break;
    }
    // A display with no mode of any depth asked for can never change its
    // depth (an X screen keeps one): then the size alone is taken, as the
    // desktop path does.
    if (!exclusiveWindow && n > 0 && !OffersDepth(*window, order, n) &&
        ModeSetSizeOnly(*window, int(request.width), int(request.height))) {
      exclusiveWindow = window;
    }
    request = DisplayModeRequest{};
  }
  DisplayScreenRefresh(*window);
  deviceUsers = 1;
  return true;
}

void DisplayDeviceRelease() {
  if (deviceUsers == 0 || --deviceUsers > 0) return;
  if (exclusiveWindow) exclusiveWindow->ModeRestore();
  exclusiveWindow = nullptr;
}

int DisplayDeviceUsers() { return deviceUsers; }

bool DisplayModeApply(VideoWindow* window, bool setMode) {
  if (deviceUsers > 0 || !window) return false;
  if (setMode && RequestComplete()) {
    const int width = int(request.width), height = int(request.height);
    int order[kMaxDepthOrder];
    const int n = DisplayDepthOrder(request.depthCode, order);
    bool matched = false;
    for (int i = 0; i < n && !matched; ++i) {
      if (!window->ModeSet(VideoMode{width, height, order[i]})) continue;
      modeChanged = true;
      modeWindow = window;
      matched = VideoModeHasDepth(window->ScreenMode(), order[i]);
      if (!matched) window->ModeRestore();
    }
    if (!matched && ModeSetSizeOnly(*window, width, height)) {
      modeChanged = true;
      modeWindow = window;
    }
    request = DisplayModeRequest{};
  }
  DisplayScreenRefresh(*window);
  ++modeUsers;
  return true;
}

void DisplayModeRestore() {
  if (modeUsers == 0 || --modeUsers > 0) return;
  if (modeChanged && modeWindow) modeWindow->ModeRestore();
  modeChanged = false;
  modeWindow = nullptr;
}

int DisplayModeUsers() { return modeUsers; }
bool DisplayModeChanged() { return modeChanged; }

int CursorNeedsHiding(VideoWindow* /*window*/) { return 0; }

int CursorHideOver(VideoWindow* window, bool clientRelative, int x, int y, int width,
                   int height) {
  constexpr int kCursorSide = 32;  // the system cursor's box; SDL does not report it
  if (!window || width <= 0 || height <= 0) return 0;
  if (clientRelative) {
    const VideoGeometry g = window->Geometry();
    x += g.clientX;
    y += g.clientY;
  }
  int cx = 0, cy = 0;
  if (!window->CursorPosition(cx, cy)) return 0;
  // Compare in 64 bits: a hostile rectangle must not overflow the edges.
  const int64_t right = int64_t(x) + width, bottom = int64_t(y) + height;
  if (int64_t(cx) + kCursorSide <= x || cx >= right || int64_t(cy) + kCursorSide <= y ||
      cy >= bottom) {
    return 0;
  }
  window->CursorSetVisible(false);
  return 1;
}

void CursorShow(VideoWindow* window, int count) {
  if (window && count > 0) window->CursorSetVisible(true);
}

}  // namespace tarn
