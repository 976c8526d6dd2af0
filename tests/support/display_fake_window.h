// A VideoWindow in memory for the display tests: a window surface of a chosen
// layout, textures kept in plain buffers, a mode list, and a record of what the
// display buffer asked for (updates, blits, uploads, presents, mode changes).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/video_window.h"

namespace tarn {

class FakeVideoWindow;

class FakeVideoTexture final : public VideoTexture {
 public:
  FakeVideoTexture(FakeVideoWindow& owner, int format, int width, int height);
  ~FakeVideoTexture() override;
  bool Lock(VideoPixels& out) override;
  void Unlock() override;
  bool Update(const VideoRect& rect, const uint8_t* const planes[3], const int pitches[3]) override;

  int format, width, height, pitch;
  std::vector<uint8_t> pixels;  // YV12: Y, then V, then U at pitch / 2
  std::vector<VideoRect> updates;
  bool locked = false;

 private:
  FakeVideoWindow& owner_;
};

class FakeVideoWindow final : public VideoWindow {
 public:
  // A shown window with a client area of width x height and a surface of format.
  FakeVideoWindow(int width = 800, int height = 600, int format = 3);

  // What the window offers.
  bool deviceAvailable = true;
  bool surfaceLockable = true;
  bool rendererAvailable = true;
  int rendererFormat = 3;
  uint32_t textureFormats = 0xFFFE;  // bit per format code the renderer can make
  VideoGeometry geometry;
  VideoMode desktop{1024, 768, 32};
  VideoMode current{1024, 768, 32};
  std::vector<VideoMode> modes;
  int quirkDepthOf = 0, quirkDepthIs = 0;  // setting a mode of depth Of reports depth Is
  int cursorX = -100, cursorY = -100;
  bool cursorVisible = true;

  // The window surface.
  int surfaceFormat;
  int surfaceWidth, surfaceHeight, surfacePitch;
  std::vector<uint8_t> surfacePixels;

  // What happened.
  std::vector<VideoRect> surfaceUpdates;
  std::vector<VideoRect> blitSources, blitDests;
  int presents = 0;
  VideoRect lastPresentSrc, lastPresentDst;
  int rendererUsers = 0;
  int liveTextures = 0;
  FakeVideoTexture* lastTexture = nullptr;
  std::vector<VideoMode> modeTries;
  int modeRestores = 0;
  bool fullscreen = false;

  bool DeviceAvailable() override { return deviceAvailable; }
  VideoGeometry Geometry() override { return geometry; }
  VideoMode ScreenMode() override { return current; }
  bool SurfaceLock(VideoPixels& out) override;
  void SurfaceUnlock() override {}
  bool SurfaceUpdate(const VideoRect* rects, int count) override;
  bool SurfaceBlit(const VideoPixels& src, const VideoRect& srcRect,
                   const VideoRect& dstRect) override;
  bool RendererAcquire() override;
  void RendererRelease() override { --rendererUsers; }
  int RendererFormat() override { return rendererFormat; }
  std::unique_ptr<VideoTexture> TextureCreate(int format, int width, int height) override;
  bool RenderPresent(VideoTexture& texture, const VideoRect& srcRect,
                     const VideoRect& dstRect) override;
  int ModeCount() override { return int(modes.size()); }
  VideoMode ModeAt(int index) override { return modes.at(size_t(index)); }
  bool ModeSet(const VideoMode& mode) override;
  void ModeRestore() override;
  bool CursorPosition(int& x, int& y) override {
    x = cursorX;
    y = cursorY;
    return true;
  }
  void CursorSetVisible(bool visible) override { cursorVisible = visible; }
};

}  // namespace tarn
