// A player window and the ways to put pixels into it: the window's own surface,
// a renderer with streaming textures, the modes of its display and the system
// cursor. platform/sdl/ implements it over SDL2; tests use a recording fake.
#pragma once

#include <cstdint>
#include <memory>

namespace tarn {

// Pixel layouts are named by the copy stage's destination-format codes: 0 the
// 3-3-2 palette index, 1/2 24-bit, 3..6 32-bit, 7..12 16-bit, 13 YUY2, 14 UYVY,
// 15 YV12 (Y plane, then V, then U, both at pitch / 2). -1: a layout nothing
// here can write.
inline constexpr int kVideoFormatNone = -1;

struct VideoRect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct VideoMode {
  int width = 0, height = 0;
  int depth = 0;     // bits per pixel
  int altDepth = 0;  // another depth a request may name it by (X's depth 24 in 32-bit pixels), or 0
};

// Whether a request for depth bits is met by mode.
inline bool VideoModeHasDepth(const VideoMode& mode, int depth) {
  return depth == mode.depth || (mode.altDepth != 0 && depth == mode.altDepth);
}

struct VideoGeometry {
  int clientX = 0, clientY = 0;  // client origin on the screen
  int clientWidth = 0, clientHeight = 0;
  int borderLeft = 0, borderTop = 0, borderRight = 0, borderBottom = 0;  // decorations
  bool minimised = false;
  bool visible = true;
};

// Memory of a surface or texture: valid between a lock and its unlock.
struct VideoPixels {
  uint8_t* pixels = nullptr;
  int pitch = 0;              // bytes per row (of the Y plane for YV12)
  int width = 0, height = 0;  // pixels
  int format = kVideoFormatNone;
};

class VideoTexture {
 public:
  virtual ~VideoTexture() = default;
  // The whole texture, for writing. For YV12 the V and U planes follow the Y
  // plane contiguously at pitch / 2, (height + 1) / 2 rows each.
  [[nodiscard]] virtual bool Lock(VideoPixels& out) = 0;
  virtual void Unlock() = 0;
  // Uploads rect from memory in the texture's own layout: planes[0] (and for
  // YV12 planes[1] = V, planes[2] = U) point at the rectangle's first sample.
  // For YV12 the rectangle's x, y, w and h are even.
  [[nodiscard]] virtual bool Update(const VideoRect& rect, const uint8_t* const planes[3],
                                    const int pitches[3]) = 0;
};

class VideoWindow {
 public:
  virtual ~VideoWindow() = default;

  // The toolkit's own window object (SDL_Window* for the SDL implementation).
  virtual void* NativeHandle() { return nullptr; }

  // False when the display device is missing (no video subsystem).
  virtual bool DeviceAvailable() = 0;
  virtual VideoGeometry Geometry() = 0;
  virtual VideoMode ScreenMode() = 0;  // current mode of the window's display

  // The window's own surface, covering the client area.
  [[nodiscard]] virtual bool SurfaceLock(VideoPixels& out) = 0;
  virtual void SurfaceUnlock() = 0;
  // Shows the given client rectangles of the window surface (clipped to it).
  virtual bool SurfaceUpdate(const VideoRect* rects, int count) = 0;
  // Copies srcRect of memory pixels (src.format is an RGB code) to dstRect of
  // the window surface, scaling when the sizes differ; clipped to the surface.
  virtual bool SurfaceBlit(const VideoPixels& src, const VideoRect& srcRect,
                           const VideoRect& dstRect) = 0;

  // The window's renderer, created by the first user and destroyed by the last.
  [[nodiscard]] virtual bool RendererAcquire() = 0;
  virtual void RendererRelease() = 0;
  // The RGB layout the renderer shows without conversion, or kVideoFormatNone.
  virtual int RendererFormat() = 0;
  // A streaming texture; nullptr when the renderer cannot make the layout.
  virtual std::unique_ptr<VideoTexture> TextureCreate(int format, int width, int height) = 0;
  // Clears the client area to black, draws srcRect of the texture at dstRect
  // (scaled) and presents.
  virtual bool RenderPresent(VideoTexture& texture, const VideoRect& srcRect,
                             const VideoRect& dstRect) = 0;

  // A strip of 0x00RRGGBB words drawn over the picture whenever the renderer
  // presents (the player's statistics line when a renderer owns the window's
  // pixels). Shown at once over the last frame; a zero size removes it.
  virtual void OverlaySet(const uint32_t* /*pixels*/, const VideoRect& /*at*/) {}

  // Modes of the window's display.
  virtual int ModeCount() = 0;
  virtual VideoMode ModeAt(int index) = 0;
  // Takes the display in exactly this mode, the window full screen over it.
  virtual bool ModeSet(const VideoMode& mode) = 0;
  // Back to the desktop mode with the window in a normal frame.
  virtual void ModeRestore() = 0;

  // The system cursor: its position on the screen and its visibility.
  virtual bool CursorPosition(int& x, int& y) {
    x = y = 0;
    return false;
  }
  virtual void CursorSetVisible(bool /*visible*/) {}

  // Reads what the client area shows as 0x00RRGGBB words (for tests and tools).
  virtual bool ReadBack(uint32_t* /*dst*/, int /*width*/, int /*height*/) { return false; }
};

}  // namespace tarn
