#include "player/layout.h"

#include <algorithm>
#include <cctype>

#include "movie/movie.h"

namespace tarn {

StretchResult ComputeStretch(int32_t n, int32_t d, uint32_t s, uint32_t screen, uint32_t b) {
  if (n == 0 || d == 0) return {s, 0};
  uint32_t t;
  if (n < 0) {
    t = (n == -1 && d == 1) ? screen : uint32_t(uint64_t(s) * uint64_t(-int64_t(n)) / uint32_t(d));
  } else {
    t = uint32_t(n / d);
  }
  uint32_t flags = 0;
  if (s != 0 && t != s && t % s == 0) {
    flags = b * 8;
  } else if (t == 0 || (t != s && s % t != 0)) {
    flags = t > s ? b * 4 : b;
  } else if (t != s) {
    flags = b * 2;
  }
  return {t, flags};
}

void FitToScreen(uint32_t w, uint32_t h, uint32_t screenWidth, uint32_t screenHeight, int32_t& stretchWidth,
                 int32_t& stretchHeight) {
  if (w == 0 || h == 0) {
    stretchWidth = int32_t(screenWidth);
    stretchHeight = int32_t(screenHeight);
    return;
  }
  const uint64_t width = uint64_t(w) * screenHeight / h;
  if (width > screenWidth) {
    stretchWidth = int32_t(screenWidth);
    stretchHeight = int32_t(uint64_t(h) * screenWidth / w);
  } else {
    stretchWidth = int32_t(width);
    stretchHeight = int32_t(screenHeight);
  }
}

uint32_t ConverterDoubling(uint32_t w, uint32_t h, uint32_t sw, uint32_t sh) {
  if (sw == w && sh == 2 * h) return DISPLAY_HEIGHT_DOUBLED;
  if (sw == 2 * w && sh == h) return DISPLAY_WIDTH_DOUBLED;
  if (sw == 2 * w && sh == 2 * h) return DISPLAY_BOTH_DOUBLED;
  return 0;
}

void FitInside(uint32_t w, uint32_t h, uint32_t areaWidth, uint32_t areaHeight, uint32_t& fitWidth,
               uint32_t& fitHeight) {
  if (w == 0 || h == 0) w = h = 1;
  fitWidth = areaWidth;
  fitHeight = uint32_t(uint64_t(areaWidth) * h / w);
  if (fitHeight > areaHeight) {
    fitHeight = areaHeight;
    fitWidth = uint32_t(uint64_t(areaHeight) * w / h);
  }
  fitWidth = std::max(fitWidth, 1u);
  fitHeight = std::max(fitHeight, 1u);
}

int32_t DefaultWindowX(int32_t requested, int32_t screenWidth, int32_t windowWidth, int32_t leftBorder) {
  if (requested != -3000) return requested;
  if (screenWidth < windowWidth) return -leftBorder;
  return ((screenWidth - windowWidth) / 2) & ~3;
}

int32_t DefaultWindowY(int32_t requested, int32_t screenHeight, int32_t windowHeight, int32_t topBorder) {
  if (requested != -3000) return requested;
  if (screenHeight < windowHeight) return -topBorder;
  return (screenHeight - windowHeight) / 2;
}

bool HasExtension(const std::string& name) {
  for (size_t i = name.size(); i-- > 0;) {
    const char c = name[i];
    if (c == '.') return true;
    if (c == ':' || c == '\\' || c == '/') return false;
  }
  return false;
}

std::string WithDefaultExtension(const std::string& name) {
  return HasExtension(name) ? name : name + ".trn";
}

static bool ParseDecimal(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + uint64_t(c - '0');
  }
  return true;
}

bool SplitOffsetForm(const std::string& name, std::string& file, uint64_t& offset) {
  const size_t bar = name.rfind('|');
  if (bar == std::string::npos) return false;
  file = name.substr(0, bar);
  return ParseDecimal(name.substr(bar + 1), offset);
}

bool ParseOwnExecutableOffset(const std::string& name, uint64_t& offset) {
  if (name.empty() || name[0] != ':') return false;
  return ParseDecimal(name.substr(1), offset);
}

std::string SnapshotFileName(const std::string& name, uint32_t frame) {
  std::string base = name;
  if (const size_t bar = base.rfind('|'); bar != std::string::npos) base.erase(bar);  // file|offset
  if (const size_t slash = base.find_last_of('/'); slash != std::string::npos) base.erase(0, slash + 1);
  if (const size_t dot = base.rfind('.'); dot != std::string::npos && dot > 0) base.erase(dot);
  for (char& c : base) {
    if (!std::isalnum(uint8_t(c)) && c != '-' && c != '_' && c != '.') c = '_';
  }
  if (base.empty()) base = "movie";
  return "tarn-" + base + "-" + std::to_string(frame) + ".png";
}

}  // namespace tarn
