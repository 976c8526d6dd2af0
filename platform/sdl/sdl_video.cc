// VideoWindow over SDL2: the window surface, a lazily made renderer with
// streaming textures, the display's modes and the system cursor.
#include "platform/sdl/sdl_video.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>

#include "platform/sdl/sdl_quiet.h"

namespace tarn {
namespace {

// Copy-stage format code -> SDL layout; 0 for codes SDL has no layout for.
constexpr uint32_t kSdlFormatOfCode[16] = {
    SDL_PIXELFORMAT_INDEX8,   SDL_PIXELFORMAT_BGR24,    SDL_PIXELFORMAT_RGB24,
    SDL_PIXELFORMAT_RGB888,   SDL_PIXELFORMAT_BGR888,   SDL_PIXELFORMAT_ARGB8888,
    SDL_PIXELFORMAT_ABGR8888, SDL_PIXELFORMAT_ARGB4444, SDL_PIXELFORMAT_ARGB1555,
    SDL_PIXELFORMAT_RGB555,   SDL_PIXELFORMAT_RGB565,   0,
    0,                        SDL_PIXELFORMAT_YUY2,     SDL_PIXELFORMAT_UYVY,
    SDL_PIXELFORMAT_YV12,
};

uint32_t SdlFormatOfCode(int code) {
  return code >= 0 && code < 16 ? kSdlFormatOfCode[code] : 0;
}

int CodeOfSdlFormat(uint32_t format) {
  for (int code = 0; code < 16; ++code) {
    if (kSdlFormatOfCode[code] != 0 && kSdlFormatOfCode[code] == format) return code;
  }
  return kVideoFormatNone;
}

// A display mode as the player's depth requests name it: bytes per pixel x 8
// (XRGB8888 is 32, RGB555 16), and the depth X gives it when that differs
// (XRGB8888 is X's depth 24: a 24-bit request takes it too).
VideoMode ModeOf(const SDL_DisplayMode& mode) {
  if (SDL_ISPIXELFORMAT_FOURCC(mode.format)) return VideoMode{mode.w, mode.h, 0, 0};
  const int depth = SDL_BYTESPERPIXEL(mode.format) * 8;
  const int bits = SDL_BITSPERPIXEL(mode.format);
  return VideoMode{mode.w, mode.h, depth, bits == 24 && depth == 32 ? 24 : 0};
}

SDL_Rect ToSdl(const VideoRect& r) { return SDL_Rect{r.x, r.y, r.w, r.h}; }

int videoUsers = 0;  // windows alive; the first initialises the video subsystem

bool VideoSubsystemAcquire() {
  if (videoUsers == 0) {
    // A native framebuffer keeps the window surface from taking the renderer slot.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    SdlQuietStderr quiet;
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  }
  ++videoUsers;
  return true;
}

void VideoSubsystemRelease() {
  if (--videoUsers == 0) SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

class SdlTexture final : public VideoTexture {
 public:
  SdlTexture(SDL_Texture* texture, int format, int width, int height)
      : texture_(texture), format_(format), width_(width), height_(height) {}
  ~SdlTexture() override { SDL_DestroyTexture(texture_); }

  bool Lock(VideoPixels& out) override {
    void* pixels = nullptr;
    int pitch = 0;
    if (SDL_LockTexture(texture_, nullptr, &pixels, &pitch) != 0) return false;
    out = VideoPixels{static_cast<uint8_t*>(pixels), pitch, width_, height_, format_};
    return true;
  }
  void Unlock() override { SDL_UnlockTexture(texture_); }

  bool Update(const VideoRect& rect, const uint8_t* const planes[3],
              const int pitches[3]) override {
    const SDL_Rect r = ToSdl(rect);
    if (format_ == 15) {
      return SDL_UpdateYUVTexture(texture_, &r, planes[0], pitches[0], planes[2], pitches[2],
                                  planes[1], pitches[1]) == 0;
    }
    return SDL_UpdateTexture(texture_, &r, planes[0], pitches[0]) == 0;
  }

  SDL_Texture* texture() const { return texture_; }

 private:
  SDL_Texture* texture_;
  int format_, width_, height_;
};

class SdlVideoWindow final : public VideoWindow {
 public:
  SdlVideoWindow(SDL_Window* window, bool owned) : window_(window), owned_(owned) {}
  ~SdlVideoWindow() override {
    if (wrapper_) SDL_FreeSurface(wrapper_);
    if (overlay_) SDL_DestroyTexture(overlay_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (owned_) SDL_DestroyWindow(window_);
    VideoSubsystemRelease();
  }

  void* NativeHandle() override { return window_; }
  bool DeviceAvailable() override { return window_ != nullptr; }

  VideoGeometry Geometry() override {
    VideoGeometry g;
    SDL_GetWindowPosition(window_, &g.clientX, &g.clientY);
    SDL_GetWindowSize(window_, &g.clientWidth, &g.clientHeight);
    if (SDL_GetWindowBordersSize(window_, &g.borderTop, &g.borderLeft, &g.borderBottom,
                                 &g.borderRight) != 0) {
      g.borderTop = g.borderLeft = g.borderBottom = g.borderRight = 0;
    }
    const uint32_t flags = SDL_GetWindowFlags(window_);
    g.minimised = (flags & SDL_WINDOW_MINIMIZED) != 0;
    g.visible = (flags & SDL_WINDOW_SHOWN) != 0 && !g.minimised;
    return g;
  }

  VideoMode ScreenMode() override {
    SDL_DisplayMode mode{};
    const int display = std::max(0, SDL_GetWindowDisplayIndex(window_));
    if (SDL_GetCurrentDisplayMode(display, &mode) != 0) return VideoMode{};
    return ModeOf(mode);
  }

  bool SurfaceLock(VideoPixels& out) override {
    if (renderer_) return false;  // the window shows through its renderer now
    SDL_Surface* s = SDL_GetWindowSurface(window_);
    if (!s) return false;
    if (SDL_MUSTLOCK(s) && SDL_LockSurface(s) != 0) return false;
    surfaceLocked_ = s;
    out = VideoPixels{static_cast<uint8_t*>(s->pixels), s->pitch, s->w, s->h,
                      CodeOfSdlFormat(s->format->format)};
    return true;
  }

  void SurfaceUnlock() override {
    if (surfaceLocked_ && SDL_MUSTLOCK(surfaceLocked_)) SDL_UnlockSurface(surfaceLocked_);
    surfaceLocked_ = nullptr;
  }

  bool SurfaceUpdate(const VideoRect* rects, int count) override {
    if (renderer_) return false;
    SDL_Surface* s = SDL_GetWindowSurface(window_);
    if (!s) return false;
    SDL_Rect clipped[16];
    int n = 0;
    const SDL_Rect bounds{0, 0, s->w, s->h};
    for (int i = 0; i < count; ++i) {
      const SDL_Rect r = ToSdl(rects[i]);
      SDL_Rect c;
      if (SDL_IntersectRect(&r, &bounds, &c)) clipped[n++] = c;
      if (n == 16 || (i == count - 1 && n > 0)) {
        if (SDL_UpdateWindowSurfaceRects(window_, clipped, n) != 0) return false;
        n = 0;
      }
    }
    return true;
  }

  bool SurfaceBlit(const VideoPixels& src, const VideoRect& srcRect,
                   const VideoRect& dstRect) override {
    if (renderer_) return false;
    SDL_Surface* dst = SDL_GetWindowSurface(window_);
    if (!dst) return false;
    // The wrapper over the caller's memory is kept while the memory stays the same.
    if (!wrapper_ || wrapper_->pixels != src.pixels || wrapper_->pitch != src.pitch ||
        wrapper_->w != src.width || wrapper_->h != src.height ||
        wrapperFormat_ != src.format) {
      if (wrapper_) SDL_FreeSurface(wrapper_);
      wrapper_ = SDL_CreateRGBSurfaceWithFormatFrom(src.pixels, src.width, src.height, 0,
                                                    src.pitch, SdlFormatOfCode(src.format));
      wrapperFormat_ = src.format;
      if (!wrapper_) return false;
      SDL_SetSurfaceBlendMode(wrapper_, SDL_BLENDMODE_NONE);
    }
    SDL_Rect s = ToSdl(srcRect), d = ToSdl(dstRect);
    if (s.w == d.w && s.h == d.h) return SDL_BlitSurface(wrapper_, &s, dst, &d) == 0;
    return SDL_BlitScaled(wrapper_, &s, dst, &d) == 0;
  }

  bool RendererAcquire() override {
    if (rendererUsers_ == 0 && !renderer_) {
      renderer_ = SDL_CreateRenderer(window_, -1, 0);
      if (!renderer_) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
      if (!renderer_) return false;
    }
    ++rendererUsers_;
    return true;
  }

  void RendererRelease() override {
    if (rendererUsers_ > 0 && --rendererUsers_ == 0) {
      lastTexture_ = nullptr;
      if (overlay_) SDL_DestroyTexture(overlay_);
      overlay_ = nullptr;
      SDL_DestroyRenderer(renderer_);
      renderer_ = nullptr;
    }
  }

  int RendererFormat() override {
    if (!renderer_) return kVideoFormatNone;
    const int code = CodeOfSdlFormat(SDL_GetWindowPixelFormat(window_));
    if (code >= 1 && code <= 12) return code;
    return 3;  // every SDL renderer takes XRGB8888 textures
  }

  std::unique_ptr<VideoTexture> TextureCreate(int format, int width, int height) override {
    const uint32_t sdlFormat = SdlFormatOfCode(format);
    if (!renderer_ || sdlFormat == 0 || format == 0) return nullptr;
    SDL_Texture* t =
        SDL_CreateTexture(renderer_, sdlFormat, SDL_TEXTUREACCESS_STREAMING, width, height);
    if (!t) return nullptr;
    SDL_SetTextureBlendMode(t, SDL_BLENDMODE_NONE);
    return std::make_unique<SdlTexture>(t, format, width, height);
  }

  bool RenderPresent(VideoTexture& texture, const VideoRect& srcRect,
                     const VideoRect& dstRect) override {
    if (!renderer_) return false;
    lastTexture_ = static_cast<SdlTexture&>(texture).texture();
    lastSrc_ = ToSdl(srcRect);
    lastDst_ = ToSdl(dstRect);
    if (!Draw()) return false;
    SDL_RenderPresent(renderer_);
    return true;
  }

  void OverlaySet(const uint32_t* pixels, const VideoRect& at) override {
    if (!renderer_) return;
    if (overlay_ && (at.w != overlayAt_.w || at.h != overlayAt_.h || at.w <= 0 || at.h <= 0)) {
      SDL_DestroyTexture(overlay_);
      overlay_ = nullptr;
    }
    overlayAt_ = ToSdl(at);
    if (at.w <= 0 || at.h <= 0 || !pixels) return;
    if (!overlay_) {
      overlay_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING,
                                   at.w, at.h);
      if (!overlay_) return;
      SDL_SetTextureBlendMode(overlay_, SDL_BLENDMODE_NONE);
    }
    SDL_UpdateTexture(overlay_, nullptr, pixels, at.w * 4);
    if (lastTexture_ && Draw()) SDL_RenderPresent(renderer_);
  }

  int ModeCount() override {
    const int n = SDL_GetNumDisplayModes(DisplayIndex());
    return n < 0 ? 0 : n;
  }

  VideoMode ModeAt(int index) override {
    SDL_DisplayMode mode{};
    if (SDL_GetDisplayMode(DisplayIndex(), index, &mode) != 0) return VideoMode{};
    return ModeOf(mode);
  }

  bool ModeSet(const VideoMode& want) override {
    const int display = DisplayIndex();
    const int n = SDL_GetNumDisplayModes(display);
    for (int i = 0; i < n; ++i) {  // SDL lists the highest refresh rate first
      SDL_DisplayMode mode{};
      if (SDL_GetDisplayMode(display, i, &mode) != 0) continue;
      if (mode.w != want.width || mode.h != want.height || !VideoModeHasDepth(ModeOf(mode), want.depth)) continue;
      if (SDL_SetWindowDisplayMode(window_, &mode) != 0) return false;
      return SDL_SetWindowFullscreen(window_, SDL_WINDOW_FULLSCREEN) == 0;
    }
    return false;
  }

  void ModeRestore() override { SDL_SetWindowFullscreen(window_, 0); }

  bool CursorPosition(int& x, int& y) override {
    SDL_GetGlobalMouseState(&x, &y);
    return true;
  }
  void CursorSetVisible(bool visible) override {
    SDL_ShowCursor(visible ? SDL_ENABLE : SDL_DISABLE);
  }

  bool ReadBack(uint32_t* dst, int width, int height) override {
    if (renderer_) {
      // The back buffer is undefined after a present: draw the last frame again.
      if (!lastTexture_ || !Draw()) return false;
      const SDL_Rect r{0, 0, width, height};
      return SDL_RenderReadPixels(renderer_, &r, SDL_PIXELFORMAT_RGB888, dst, width * 4) == 0;
    }
    SDL_Surface* s = SDL_GetWindowSurface(window_);
    if (!s || width > s->w || height > s->h) return false;
    if (SDL_MUSTLOCK(s) && SDL_LockSurface(s) != 0) return false;
    const int rc = SDL_ConvertPixels(width, height, s->format->format, s->pixels, s->pitch,
                                     SDL_PIXELFORMAT_RGB888, dst, width * 4);
    if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
    return rc == 0;
  }

 private:
  int DisplayIndex() { return std::max(0, SDL_GetWindowDisplayIndex(window_)); }

  bool Draw() {
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    if (SDL_RenderCopy(renderer_, lastTexture_, &lastSrc_, &lastDst_) != 0) return false;
    if (overlay_) SDL_RenderCopy(renderer_, overlay_, nullptr, &overlayAt_);
    return true;
  }

  SDL_Window* window_;
  bool owned_;
  SDL_Renderer* renderer_ = nullptr;
  int rendererUsers_ = 0;
  SDL_Surface* surfaceLocked_ = nullptr;
  SDL_Surface* wrapper_ = nullptr;  // SurfaceBlit's view of the caller's memory
  int wrapperFormat_ = kVideoFormatNone;
  SDL_Texture* lastTexture_ = nullptr;  // what the last present drew, for ReadBack
  SDL_Rect lastSrc_{}, lastDst_{};
  SDL_Texture* overlay_ = nullptr;  // drawn over every present at overlayAt_
  SDL_Rect overlayAt_{};
};

}  // namespace

std::unique_ptr<VideoWindow> SdlVideoWindowCreate(const char* title, int width, int height,
                                                  uint32_t flags) {
  if (!VideoSubsystemAcquire()) return nullptr;
  uint32_t sdlFlags = (flags & VIDEO_WINDOW_HIDDEN) ? SDL_WINDOW_HIDDEN : SDL_WINDOW_SHOWN;
  if (flags & VIDEO_WINDOW_BORDERLESS) sdlFlags |= SDL_WINDOW_BORDERLESS;
  if (flags & VIDEO_WINDOW_RESIZABLE) sdlFlags |= SDL_WINDOW_RESIZABLE;
  SDL_Window* window = SDL_CreateWindow(title ? title : "", SDL_WINDOWPOS_UNDEFINED,
                                        SDL_WINDOWPOS_UNDEFINED, width, height, sdlFlags);
  if (!window) {
    VideoSubsystemRelease();
    return nullptr;
  }
  return std::make_unique<SdlVideoWindow>(window, true);
}

std::unique_ptr<VideoWindow> SdlVideoWindowWrap(void* sdlWindow) {
  if (!sdlWindow || !VideoSubsystemAcquire()) return nullptr;
  return std::make_unique<SdlVideoWindow>(static_cast<SDL_Window*>(sdlWindow), false);
}

const char* SdlVideoError() { return SDL_GetError(); }

}  // namespace tarn
