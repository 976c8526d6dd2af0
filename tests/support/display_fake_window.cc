// The in-memory VideoWindow of the display tests.
#include "tests/support/display_fake_window.h"

#include <algorithm>
#include <cstring>

namespace tarn {
namespace {

constexpr int kBytes[16] = {1, 3, 3, 4, 4, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2, 1};

int BytesOf(int format) { return format >= 0 && format < 16 ? kBytes[format] : 4; }

}  // namespace

FakeVideoTexture::FakeVideoTexture(FakeVideoWindow& owner, int format_, int width_, int height_)
    : format(format_), width(width_), height(height_), owner_(owner) {
  pitch = width * BytesOf(format);
  size_t size = size_t(pitch) * height;
  if (format == 15) size += 2 * size_t(pitch / 2) * ((height + 1) / 2);
  pixels.assign(size, 0xEE);  // not black: the buffer must clear it
  ++owner_.liveTextures;
  owner_.lastTexture = this;
}

FakeVideoTexture::~FakeVideoTexture() {
  --owner_.liveTextures;
  if (owner_.lastTexture == this) owner_.lastTexture = nullptr;
}

bool FakeVideoTexture::Lock(VideoPixels& out) {
  if (locked) return false;
  locked = true;
  out = VideoPixels{pixels.data(), pitch, width, height, format};
  return true;
}

void FakeVideoTexture::Unlock() { locked = false; }

bool FakeVideoTexture::Update(const VideoRect& r, const uint8_t* const planes[3],
                              const int pitches[3]) {
  if (r.x < 0 || r.y < 0 || r.w <= 0 || r.h <= 0 || r.x + r.w > width || r.y + r.h > height) {
    return false;
  }
  if (format == 15 && ((r.x | r.y | r.w) & 1)) return false;
  updates.push_back(r);
  const int bytes = BytesOf(format);
  for (int y = 0; y < r.h; ++y) {
    std::memcpy(&pixels[size_t(r.y + y) * pitch + size_t(r.x) * bytes],
                planes[0] + size_t(y) * pitches[0], size_t(r.w) * bytes);
  }
  if (format == 15) {
    const int cp = pitch / 2, rows = (height + 1) / 2;
    uint8_t* v = pixels.data() + size_t(pitch) * height;
    uint8_t* u = v + size_t(cp) * rows;
    for (int y = 0; y < (r.h + 1) / 2; ++y) {
      const size_t at = size_t(r.y / 2 + y) * cp + size_t(r.x / 2);
      std::memcpy(v + at, planes[1] + size_t(y) * pitches[1], size_t(r.w / 2));
      std::memcpy(u + at, planes[2] + size_t(y) * pitches[2], size_t(r.w / 2));
    }
  }
  return true;
}

FakeVideoWindow::FakeVideoWindow(int width, int height, int format)
    : surfaceFormat(format), surfaceWidth(width), surfaceHeight(height) {
  geometry.clientX = 100;
  geometry.clientY = 50;
  geometry.clientWidth = width;
  geometry.clientHeight = height;
  geometry.borderLeft = 2;
  geometry.borderTop = 20;
  geometry.borderRight = 2;
  geometry.borderBottom = 2;
  surfacePitch = width * BytesOf(format) + 8;  // rows with slack, as real surfaces have
  surfacePixels.assign(size_t(surfacePitch) * height, 0);
}

bool FakeVideoWindow::SurfaceLock(VideoPixels& out) {
  if (!surfaceLockable) return false;
  out = VideoPixels{surfacePixels.data(), surfacePitch, surfaceWidth, surfaceHeight,
                    surfaceFormat};
  return true;
}

bool FakeVideoWindow::SurfaceUpdate(const VideoRect* rects, int count) {
  surfaceUpdates.insert(surfaceUpdates.end(), rects, rects + count);
  return true;
}

bool FakeVideoWindow::SurfaceBlit(const VideoPixels& src, const VideoRect& s,
                                  const VideoRect& d) {
  blitSources.push_back(s);
  blitDests.push_back(d);
  if (src.format != surfaceFormat) return true;  // recorded only
  const int bytes = BytesOf(surfaceFormat);
  for (int y = 0; y < d.h; ++y) {  // nearest-neighbour scale, clipped to the surface
    const int dy = d.y + y;
    if (dy < 0 || dy >= surfaceHeight) continue;
    const int sy = s.y + int(int64_t(y) * s.h / d.h);
    for (int x = 0; x < d.w; ++x) {
      const int dx = d.x + x;
      if (dx < 0 || dx >= surfaceWidth) continue;
      const int sx = s.x + int(int64_t(x) * s.w / d.w);
      std::memcpy(&surfacePixels[size_t(dy) * surfacePitch + size_t(dx) * bytes],
                  src.pixels + size_t(sy) * src.pitch + size_t(sx) * bytes, size_t(bytes));
    }
  }
  return true;
}

bool FakeVideoWindow::RendererAcquire() {
  if (!rendererAvailable) return false;
  ++rendererUsers;
  return true;
}

std::unique_ptr<VideoTexture> FakeVideoWindow::TextureCreate(int format, int width, int height) {
  if (rendererUsers <= 0 || format < 0 || format > 15 || !(textureFormats & (1u << format))) {
    return nullptr;
  }
  return std::make_unique<FakeVideoTexture>(*this, format, width, height);
}

bool FakeVideoWindow::RenderPresent(VideoTexture& /*texture*/, const VideoRect& srcRect,
                                    const VideoRect& dstRect) {
  ++presents;
  lastPresentSrc = srcRect;
  lastPresentDst = dstRect;
  return true;
}

bool FakeVideoWindow::ModeSet(const VideoMode& mode) {
  modeTries.push_back(mode);
  const auto listed = std::find_if(modes.begin(), modes.end(), [&](const VideoMode& m) {
    return m.width == mode.width && m.height == mode.height && VideoModeHasDepth(m, mode.depth);
  });
  if (listed == modes.end()) return false;
  current = *listed;
  if (quirkDepthOf != 0 && mode.depth == quirkDepthOf) current.depth = quirkDepthIs;
  fullscreen = true;
  return true;
}

void FakeVideoWindow::ModeRestore() {
  ++modeRestores;
  current = desktop;
  fullscreen = false;
}

}  // namespace tarn
