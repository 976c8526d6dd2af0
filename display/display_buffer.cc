// The display buffer: chooses a blit style for a window, hands its surface to
// the copy stage and shows changed rectangles. Memory surfaces and textures are
// made at open; the per-frame calls never allocate. Nothing is written outside
// the frame's width x height in the buffer's layout.
#include "display/display_buffer.h"

#include <algorithm>
#include <cstring>

#include "common/allocator.h"
#include "common/little_endian.h"
#include "common/checked_size.h"
#include "common/input_limits.h"
#include "display/display_internal.h"
#include "display/display_mode.h"

namespace tarn {
namespace {

char lastError[256];

void SetError(const char* text) {
  std::strncpy(lastError, text, sizeof lastError - 1);
  lastError[sizeof lastError - 1] = '\0';
}
void ClearError() { lastError[0] = '\0'; }

constexpr char kNoDevice[] = "The display device is not available";
constexpr char kNoStyle[] = "No capable blitting style available.";
constexpr char kNotSupported[] = "Video mode not supported.";
constexpr char kNoBitmap[] = "Unable to create DIBSection.";
constexpr char kPalettised[] = "256 color mode not supported.";
constexpr char kNoMemory[] = "Out of memory.";

constexpr const char* kStyleNames[BUFFER_STYLE_COUNT] = {
    "",
    "Window surface",
    "Software bitmap",
    "YV12 overlay",
    "YUY2 overlay",
    "UYVY overlay",
    "YV12 off-screen surface",
    "YUY2 off-screen surface",
    "UYVY off-screen surface",
    "RGB off-screen video surface",
    "RGB off-screen system surface",
};

// Destination sizes beyond this are refused: they could not be on any screen
// and would overflow the blit arithmetic.
constexpr uint32_t kMaxDestSide = 32768;

// Batches of rectangles handed to the window at once.
constexpr int kRectBatch = 16;

int FormatOf(const DisplayBuffer& b) { return int(b.copyFlags & COPY_FORMAT_MASK); }

bool IsYuv(int format) { return format >= kFormatYuy2; }

int YuvFormatOfStyle(uint32_t style) {
  switch (style) {
    case BUFFER_STYLE_YV12_OVERLAY:
    case BUFFER_STYLE_YV12_OFFSCREEN:
      return kFormatYv12;
    case BUFFER_STYLE_YUY2_OVERLAY:
    case BUFFER_STYLE_YUY2_OFFSCREEN:
      return kFormatYuy2;
    default:
      return kFormatUyvy;
  }
}

// YUV layouts work on pixel pairs: their surfaces are an even number of pixels wide.
uint32_t SurfaceWidth(uint32_t width, int format) {
  return IsYuv(format) ? RoundUp(width, 2) : width;
}

// Undoes what a style attempt made: texture, renderer reference, memory.
void ReleaseStyle(DisplayBuffer& b) {
  delete b.texture;
  b.texture = nullptr;
  if (b.holdsRenderer) b.window->RendererRelease();
  b.holdsRenderer = 0;
  LibraryRelease(b.memory);
  b.memory = nullptr;
  b.memoryStride = 0;
  b.memoryHeight = 0;
}

void ReleaseAll(DisplayBuffer* b) {
  ReleaseStyle(*b);
  if (b->holdsDevice) DisplayDeviceRelease();
  if (b->changedDisplayMode) DisplayModeRestore();
  std::memset(b, 0, sizeof *b);
  LibraryRelease(b);
}

// A memory surface for format at the frame size, rows a multiple of 32 bytes,
// filled with black.
bool AllocateMemory(DisplayBuffer& b, int format) {
  const uint32_t width = SurfaceWidth(b.width, format);
  const uint32_t stride = RoundUp(width * uint32_t(kFormatBytes[format]), 32);  // <= 2^17
  std::optional<uint64_t> size = CheckedMul(stride, b.height);
  if (size && format == kFormatYv12) {
    size = CheckedAdd(*size, uint64_t(stride / 2) * 2 * ((b.height + 1) / 2));
  }
  if (!size) return false;
  b.memory = static_cast<uint8_t*>(LibraryAllocate(size_t(*size)));
  if (!b.memory) return false;
  b.memoryStride = int32_t(stride);
  b.memoryHeight = b.height;
  DisplayFillBlack(b.memory, b.memoryStride, int(width), int(b.height), format);
  return true;
}

// Uploads rect (already inside the frame) of the memory surface to the texture.
bool Upload(DisplayBuffer& b, int format, VideoRect r) {
  const uint32_t texWidth = SurfaceWidth(b.width, format);
  if (IsYuv(format)) {  // pairs of pixels (and for YV12 of rows) travel together
    const int x1 = std::min(int(texWidth), int(RoundUp(uint32_t(r.x + r.w), 2)));
    r.x &= ~1;
    r.w = x1 - r.x;
    if (format == kFormatYv12) {
      const int y1 = std::min(int(b.height), int(RoundUp(uint32_t(r.y + r.h), 2)));
      r.y &= ~1;
      r.h = y1 - r.y;
    }
  }
  const int stride = b.memoryStride;
  const uint8_t* planes[3] = {b.memory + size_t(r.y) * stride + size_t(r.x) * kFormatBytes[format],
                              nullptr, nullptr};
  int pitches[3] = {stride, 0, 0};
  if (format == kFormatYv12) {
    const int chromaStride = stride / 2;
    const uint8_t* v = b.memory + size_t(stride) * b.memoryHeight;
    const uint8_t* u = v + size_t(chromaStride) * ((b.memoryHeight + 1) / 2);
    const size_t at = size_t(r.y / 2) * chromaStride + size_t(r.x / 2);
    planes[1] = v + at;
    planes[2] = u + at;
    pitches[1] = pitches[2] = chromaStride;
  }
  return b.texture->Update(r, planes, pitches);
}

bool MakeTexture(DisplayBuffer& b, int format) {
  if (!b.window->RendererAcquire()) return false;
  b.holdsRenderer = 1;
  std::unique_ptr<VideoTexture> texture =
      b.window->TextureCreate(format, int(SurfaceWidth(b.width, format)), int(b.height));
  b.texture = texture.release();
  return b.texture != nullptr;
}

// WindowSurfaceFormat's answer when the window surface cannot be locked.
constexpr int kSurfaceUnavailable = kVideoFormatNone - 1;

// The window surface's layout (kVideoFormatNone for one we cannot write), or
// kSurfaceUnavailable.
int WindowSurfaceFormat(VideoWindow& window) {
  VideoPixels px;
  if (!window.SurfaceLock(px)) return kSurfaceUnavailable;
  window.SurfaceUnlock();
  return px.format;
}

bool TryWindowSurface(DisplayBuffer& b, uint32_t need) {
  if (need != 0 || !b.holdsDevice) return false;
  const int format = WindowSurfaceFormat(*b.window);
  if (format == kSurfaceUnavailable) return false;
  if (format < 0 || format > 12) {
    SetError(kNotSupported);
    return false;
  }
  // Unlike a surface the screen shows directly, the window surface is shown by
  // updating rectangles, so the copy stage must report them: no COPY_NO_RECTS.
  b.copyFlags = uint32_t(format);
  b.bytesPerPixel = kFormatBytes[format];
  b.primaryInUse = 1;
  b.capabilities = 0;
  b.hideCursor = uint8_t(CursorNeedsHiding(b.window));
  return true;
}

bool TrySoftware(DisplayBuffer& b, bool exclusive, bool isExplicit) {
  if (!b.holdsDevice && !b.changedDisplayMode) {
    b.changedDisplayMode = DisplayModeApply(b.window, exclusive);
  }
  const DisplayScreen& screen = DisplayScreenInfo();
  if (screen.bytesPerPixel < 2) {
    if (isExplicit) SetError(kPalettised);
    return false;
  }
  // The bitmap is blitted into the window surface: its layout when it is one
  // of the bitmap layouts, else the one that suits the screen's depth.
  const int surfaceFormat = WindowSurfaceFormat(*b.window);
  int format = surfaceFormat;
  if (format != 1 && format != 3 && format != 9 && format != 10) {
    format = screen.bytesPerPixel >= 4 ? 3 : screen.bytesPerPixel == 3 ? 1 : 10;
  }
  if (surfaceFormat == kSurfaceUnavailable || !AllocateMemory(b, format)) {
    ReleaseStyle(b);
    if (isExplicit) SetError(kNoBitmap);
    return false;
  }
  b.copyFlags = uint32_t(format);
  b.bytesPerPixel = kFormatBytes[format];
  b.capabilities = BUFFER_SCALE_MASK;
  return true;
}

bool TryOverlay(DisplayBuffer& b, uint32_t style, uint32_t need) {
  const DisplayScreen& screen = DisplayScreenInfo();
  if (!b.holdsDevice || (need & ~screen.overlayMask) != 0) return false;
  const int format = YuvFormatOfStyle(style);
  VideoPixels px;
  if (!MakeTexture(b, format) || !b.texture->Lock(px)) {
    ReleaseStyle(b);
    return false;
  }
  DisplayFillBlack(px.pixels, px.pitch, int(SurfaceWidth(b.width, format)), int(b.height),
                   format);
  b.texture->Unlock();
  b.copyFlags = uint32_t(format) | COPY_NO_RECTS;
  b.bytesPerPixel = kFormatBytes[format];
  b.capabilities = screen.overlayMask;
  b.isOverlay = 1;
  return true;
}

// Off-screen styles: a memory surface of format uploaded to a texture (toWindow
// false) or blitted into the window surface (toWindow true).
bool TryOffscreen(DisplayBuffer& b, int format, uint32_t need, bool toWindow) {
  const DisplayScreen& screen = DisplayScreenInfo();
  bool made = AllocateMemory(b, format);
  if (made && !toWindow) {
    made = MakeTexture(b, format) &&
           Upload(b, format, VideoRect{0, 0, int(SurfaceWidth(b.width, format)), int(b.height)});
  }
  if (!made) {
    ReleaseStyle(b);
    return false;
  }
  b.copyFlags = uint32_t(format) | (need ? COPY_ONE_RECT : 0);
  b.bytesPerPixel = kFormatBytes[format];
  b.capabilities = screen.blitMask;
  b.isOffscreen = 1;
  return true;
}

bool TryStyle(DisplayBuffer& b, uint32_t style, uint32_t need, bool exclusive, bool isExplicit) {
  const DisplayScreen& screen = DisplayScreenInfo();
  switch (style) {
    case BUFFER_STYLE_WINDOW_SURFACE:
      return TryWindowSurface(b, need);
    case BUFFER_STYLE_SOFTWARE:
      return TrySoftware(b, exclusive, isExplicit);
    case BUFFER_STYLE_YV12_OVERLAY:
    case BUFFER_STYLE_YUY2_OVERLAY:
    case BUFFER_STYLE_UYVY_OVERLAY:
      return TryOverlay(b, style, need);
    case BUFFER_STYLE_YV12_OFFSCREEN:
    case BUFFER_STYLE_YUY2_OFFSCREEN:
    case BUFFER_STYLE_UYVY_OFFSCREEN:
      if (!b.holdsDevice || (need & ~screen.blitMask) != 0) return false;
      return TryOffscreen(b, YuvFormatOfStyle(style), need, false);
    case BUFFER_STYLE_RGB_VIDEO:
    case BUFFER_STYLE_RGB_SYSTEM: {
      if (!b.holdsDevice || (need & ~screen.blitMask) != 0) return false;
      const bool toWindow = style == BUFFER_STYLE_RGB_SYSTEM;
      int format;
      if (toWindow) {
        format = WindowSurfaceFormat(*b.window);
        if (format == kSurfaceUnavailable) return false;
      } else {
        if (!b.window->RendererAcquire()) return false;
        format = b.window->RendererFormat();
        b.window->RendererRelease();
      }
      if (format < 0 || format > 12) {
        SetError(kNotSupported);
        return false;
      }
      if (format == 0) return false;  // no palette for a memory surface
      return TryOffscreen(b, format, need, toWindow);
    }
    default:
      return false;
  }
}

// Clips a source rectangle to the frame; false when nothing remains.
bool ClipToFrame(const MovieRect& r, const DisplayBuffer& b, VideoRect& out) {
  if (r.width <= 0 || r.height <= 0) return false;
  const int64_t x0 = std::max<int64_t>(r.x, 0), y0 = std::max<int64_t>(r.y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(r.x) + r.width, b.width);
  const int64_t y1 = std::min<int64_t>(int64_t(r.y) + r.height, b.height);
  if (x0 >= x1 || y0 >= y1) return false;
  out = VideoRect{int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
  return true;
}

// Destination of a source rectangle: its edges scaled, so that neighbouring
// rectangles meet without a gap.
VideoRect ScaleToDest(const VideoRect& r, const DisplayBuffer& b) {
  const auto sx = [&](int64_t x) { return int(x * b.destWidth / b.width) + b.offsetX; };
  const auto sy = [&](int64_t y) { return int(y * b.destHeight / b.height) + b.offsetY; };
  const int x0 = sx(r.x), y0 = sy(r.y);
  return VideoRect{x0, y0, sx(int64_t(r.x) + r.w) - x0, sy(int64_t(r.y) + r.h) - y0};
}

VideoRect DestRect(const DisplayBuffer& b) {
  return VideoRect{b.offsetX, b.offsetY, int(b.destWidth), int(b.destHeight)};
}

// Shows the overlay texture whole at the destination while the window can be seen.
void OverlayShow(DisplayBuffer& b) {
  const VideoGeometry g = b.window->Geometry();
  if (!g.visible) {
    b.overlayShown = 0;
    return;
  }
  const VideoRect src{0, 0, int(b.width), int(b.height)};
  b.overlayShown = b.window->RenderPresent(*b.texture, src, DestRect(b)) ? 1 : 0;
}

// Ceiling division for any sign of v; m > 0.
int64_t RoundUpSigned(int64_t v, int64_t m) {
  const int64_t q = v >= 0 ? (v + m - 1) / m : -((-v) / m);
  return q * m;
}

}  // namespace

void DisplayFillBlack(uint8_t* p, int pitch, int width, int height, int format) {
  if (!p || width <= 0 || height <= 0 || format < 0 || format > 15) return;
  if (format == kFormatYuy2 || format == kFormatUyvy) {
    const uint32_t word = format == kFormatYuy2 ? 0x80008000u : 0x00800080u;
    for (int y = 0; y < height; ++y) {
      uint8_t* row = p + size_t(y) * pitch;
      for (int x = 0; x + 1 < width; x += 2) StoreLe32(row + 2 * x, word);
      if (width & 1) StoreLe16(row + 2 * (width - 1), uint16_t(word));
    }
    return;
  }
  if (format == kFormatYv12) {
    for (int y = 0; y < height; ++y) std::memset(p + size_t(y) * pitch, 16, size_t(width));
    uint8_t* chroma = p + size_t(pitch) * height;
    const int chromaPitch = pitch / 2, chromaRows = (height + 1) / 2;
    for (int y = 0; y < 2 * chromaRows; ++y) {  // V rows, then U rows
      std::memset(chroma + size_t(y) * chromaPitch, 128, size_t(width + 1) / 2);
    }
    return;
  }
  for (int y = 0; y < height; ++y) {
    std::memset(p + size_t(y) * pitch, 0, size_t(width) * kFormatBytes[format]);
  }
}

uint32_t DisplayScaleClass(uint32_t source, uint32_t dest, bool yAxis) {
  const int shift = yAxis ? 24 : 28;  // the X classes sit four bits above the Y ones
  if (dest == source) return 0;
  if (dest % source == 0) return 0x8u << shift;  // multiply
  if (source % dest == 0) return 0x2u << shift;  // divide
  if (dest > source) return 0x4u << shift;       // stretch
  return 0x1u << shift;                          // shrink
}

DisplayBuffer* DisplayBufferOpen(VideoWindow* window, uint32_t width, uint32_t height,
                                 uint32_t flags) {
  ClearError();
  if (!window || width == 0 || height == 0) return nullptr;
  if (width > kMaxPictureSide || height > kMaxPictureSide) {
    SetError(kNoMemory);
    return nullptr;
  }
  auto* b = static_cast<DisplayBuffer*>(LibraryAllocate(sizeof(DisplayBuffer)));
  if (!b) {
    SetError(kNoMemory);
    return nullptr;
  }
  std::memset(b, 0, sizeof *b);
  b->window = window;
  b->width = width;
  b->height = height;

  const uint32_t style = flags & BUFFER_STYLE_MASK;
  const bool exclusive = (flags & BUFFER_SET_MODE) != 0;
  const uint32_t need = flags & BUFFER_SCALE_MASK;
  if (style == BUFFER_STYLE_SOFTWARE) {
    if (DisplayModeApply(window, exclusive)) {
      b->changedDisplayMode = 1;
    } else {
      b->holdsDevice = DisplayDeviceAcquire(window, exclusive);
    }
  } else {
    b->holdsDevice = DisplayDeviceAcquire(window, exclusive);
    if (!b->holdsDevice && style != BUFFER_STYLE_AUTOMATIC) {
      SetError(kNoDevice);
      ReleaseAll(b);
      return nullptr;
    }
  }
  DisplayScreenRefresh(*window);

  const bool isExplicit = style != BUFFER_STYLE_AUTOMATIC;
  const uint32_t first = isExplicit ? style : 1, last = isExplicit ? style : 10;
  bool found = false;
  for (uint32_t s = first; s <= last && !found; ++s) {
    if (!isExplicit) ClearError();
    found = TryStyle(*b, s, need, exclusive, isExplicit);
    if (found) b->style = s;
  }
  const DisplayScreen& screen = DisplayScreenInfo();
  if (!found) {
    // An explicit style keeps the reason it gave; otherwise the general one.
    // A screen of 8 bits or less is palettised; so is one whose layout the
    // window system cannot describe at all (depth 0: SDL on an 8-bit X screen).
    if (!isExplicit || lastError[0] == '\0') {
      SetError(screen.depth <= 8 && window->DeviceAvailable() ? kPalettised : kNoStyle);
    }
    ReleaseAll(b);
    return nullptr;
  }
  ClearError();

  const VideoGeometry g = window->Geometry();
  b->borderLeft = g.borderLeft;
  b->borderTop = g.borderTop;
  b->frameWidth = uint32_t(std::max(0, g.borderLeft + g.borderRight));
  b->frameHeight = uint32_t(std::max(0, g.borderTop + g.borderBottom));
  b->screenWidth = screen.width;
  b->screenHeight = screen.height;
  b->screenDepth = screen.depth;
  b->destWidth = width;
  b->destHeight = height;
  b->windowWidth = b->frameWidth + width;
  b->windowHeight = b->frameHeight + height;
  b->destX = g.clientX;
  b->destY = g.clientY;
  b->minimised = g.minimised ? 1 : 0;
  return b;
}

void DisplayBufferClose(DisplayBuffer* b) {
  if (!b) return;
  if (b->lockedMemory) DisplayBufferUnlock(b);
  ReleaseAll(b);
}

int DisplayBufferLock(DisplayBuffer* b) {
  if (!b) return 0;
  if (b->lockedMemory) return 1;  // already locked: the same surface
  const bool deviceStyle = b->style != BUFFER_STYLE_SOFTWARE;
  if (deviceStyle) {
    b->minimised = b->window->Geometry().minimised ? 1 : 0;
    if (b->minimised) {
      b->copyFlags |= COPY_FULL;
      return 0;
    }
  }
  if (b->primaryInUse) {
    if (b->hideCursor) {
      b->cursorHideCount = CursorHideOver(b->window, false, b->destX, b->destY, int(b->width),
                                          int(b->height));
    }
    VideoPixels px;
    const bool locked = b->window->SurfaceLock(px);
    // The frame is written in place: it must lie wholly inside the surface, in
    // the layout the copy stage was told at open.
    const bool fits = locked && px.format == FormatOf(*b) && b->offsetX >= 0 &&
                      b->offsetY >= 0 && px.pitch > 0 &&
                      int64_t(b->offsetX) + b->width <= px.width &&
                      int64_t(b->offsetY) + b->height <= px.height;
    if (!fits) {
      if (locked) b->window->SurfaceUnlock();
      CursorShow(b->window, b->cursorHideCount);
      b->cursorHideCount = 0;
      b->copyFlags |= COPY_FULL;
      return 0;
    }
    b->lockedMemory = px.pixels;
    b->surface = px.pixels + size_t(b->offsetY) * px.pitch + size_t(b->offsetX) * b->bytesPerPixel;
    b->pitch = px.pitch;
    return 1;
  }
  if (b->isOverlay) {
    VideoPixels px;
    if (!b->texture->Lock(px)) {
      b->copyFlags |= COPY_FULL;
      return 0;
    }
    b->lockedMemory = px.pixels;
    b->surface = px.pixels;
    b->pitch = px.pitch;
    return 1;
  }
  b->lockedMemory = b->memory;
  b->surface = b->memory;
  b->pitch = b->memoryStride;
  return 1;
}

int DisplayBufferUnlock(DisplayBuffer* b) {
  if (!b) return 0;
  if (b->lockedMemory) {
    if (b->primaryInUse) {
      b->window->SurfaceUnlock();
      CursorShow(b->window, b->cursorHideCount);
      b->cursorHideCount = 0;
    } else if (b->isOverlay) {
      b->texture->Unlock();
      b->lockedMemory = nullptr;
      OverlayShow(*b);
    }
  }
  b->lockedMemory = nullptr;
  b->surface = nullptr;
  b->pitch = 0;
  b->copyFlags &= ~COPY_FULL;
  return 1;
}

void DisplayBufferBlit(DisplayBuffer* b, const MovieRect* rects, int count) {
  if (!b || count <= 0 || b->lockedMemory) return;
  const MovieRect whole{0, 0, int32_t(b->width), int32_t(b->height)};
  if (!rects) {
    rects = &whole;
    count = 1;
  }
  if (b->isOverlay) {
    OverlayShow(*b);
    return;
  }
  const int format = FormatOf(*b);
  const bool toTexture = b->texture != nullptr;
  const VideoPixels memory{b->memory, b->memoryStride, int(b->width), int(b->height), format};
  VideoRect shown[kRectBatch];
  int n = 0;
  bool uploaded = false;
  for (int i = 0; i < count; ++i) {
    VideoRect r;
    if (!ClipToFrame(rects[i], *b, r)) continue;
    if (b->primaryInUse) {
      shown[n++] = VideoRect{b->offsetX + r.x, b->offsetY + r.y, r.w, r.h};
    } else if (toTexture) {
      uploaded |= Upload(*b, format, r);
    } else {
      const VideoRect dst = ScaleToDest(r, *b);
      if (dst.w > 0 && dst.h > 0 && b->window->SurfaceBlit(memory, r, dst)) shown[n++] = dst;
    }
    if (n == kRectBatch) {
      b->window->SurfaceUpdate(shown, n);
      n = 0;
    }
  }
  if (n > 0) b->window->SurfaceUpdate(shown, n);
  if (uploaded) {
    b->window->RenderPresent(*b->texture, VideoRect{0, 0, int(b->width), int(b->height)},
                             DestRect(*b));
  }
}

int DisplayBufferSetScale(uint32_t destWidth, DisplayBuffer* b, uint32_t destHeight) {
  if (!b) return 0;
  if (destWidth == 0) destWidth = b->screenWidth;
  if (destHeight == 0) destHeight = b->screenHeight;
  const auto take = [&](uint32_t source, uint32_t dest, bool yAxis, uint32_t& into) {
    if (dest == 0 || dest > kMaxDestSide) return false;
    if ((DisplayScaleClass(source, dest, yAxis) & ~b->capabilities) != 0) return false;
    into = dest;
    return true;
  };
  const bool x = take(b->width, destWidth, false, b->destWidth);
  const bool y = take(b->height, destHeight, true, b->destHeight);
  b->windowWidth = b->frameWidth + b->destWidth;
  b->windowHeight = b->frameHeight + b->destHeight;
  return x && y ? 1 : 0;
}

int DisplayBufferSetOffset(int32_t x, DisplayBuffer* b, int32_t y) {
  if (!b) return 0;
  const VideoGeometry g = b->window->Geometry();
  b->minimised = g.minimised ? 1 : 0;
  if (b->minimised) return 1;
  b->destX = g.clientX + x;
  b->destY = g.clientY + y;
  b->offsetX = x;
  b->offsetY = y;
  b->copyFlags |= COPY_FULL;
  if (b->isOverlay && b->overlayShown && !b->lockedMemory) OverlayShow(*b);
  return 1;
}

void DisplayBufferCheckOffset(int32_t* x, DisplayBuffer* b, int32_t* y) {
  if (!b) return;
  if (x) {
    int64_t screenX = int64_t(b->borderLeft) + *x;
    if (b->primaryInUse) {
      screenX = std::min<int64_t>(screenX, int64_t(b->screenWidth) - b->destWidth);
      screenX = std::max<int64_t>(screenX, 0);
    }
    const uint32_t bytes = DisplayScreenInfo().bytesPerPixel;
    screenX = RoundUpSigned(screenX, bytes == 4 ? 2 : bytes == 3 ? 8 : 4);
    *x = int32_t(std::clamp<int64_t>(screenX - b->borderLeft, INT32_MIN, INT32_MAX));
  }
  if (y && b->primaryInUse) {
    int64_t screenY = int64_t(b->borderTop) + *y;
    screenY = std::min<int64_t>(screenY, int64_t(b->screenHeight) - b->destHeight);
    screenY = std::max<int64_t>(screenY, 0);
    *y = int32_t(screenY - b->borderTop);
  }
}

void DisplayBufferClear(DisplayBuffer* b) {
  if (!DisplayBufferLock(b)) return;
  DisplayFillBlack(b->surface, b->pitch, int(b->width), int(b->height), FormatOf(*b));
  DisplayBufferUnlock(b);
}

const char* DisplayBufferStyleName(const DisplayBuffer* b) {
  if (!b || b->style >= BUFFER_STYLE_COUNT) return "";
  return kStyleNames[b->style];
}

const char* DisplayBufferGetError() { return lastError; }

}  // namespace tarn
