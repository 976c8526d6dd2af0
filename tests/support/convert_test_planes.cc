#include "tests/support/convert_test_planes.h"

#include <algorithm>
#include <cstdlib>

#include "video/video.h"

namespace tarn::test {

uint32_t ConvertTestSeed() {
  const char* v = std::getenv("TARN_TEST_SEED");
  return v ? uint32_t(std::strtoul(v, nullptr, 0)) : 0x7A2Cu;
}

TestPlanes::TestPlanes(uint32_t w, uint32_t h, bool alpha) : width(w), height(h) {
  lumaStride = w + 3;
  chromaStride = ChromaWidth() + 5;
  y.assign(size_t(lumaStride) * h, 0);
  cr.assign(size_t(chromaStride) * ChromaHeight(), 0);
  cb.assign(cr.size(), 0);
  if (alpha) a.assign(y.size(), 0);
  mapStride = (w + 15) / 16;
  mapRows = (h + 15) / 16;
  map.assign(size_t(mapStride) * mapRows, 0);
}

namespace {
uint8_t Sample(std::mt19937& rng, bool extremes) {
  static constexpr uint8_t kExtremes[4] = {0, 16, 235, 255};
  const uint32_t r = rng();
  if (extremes && (r & 3) == 0) return kExtremes[(r >> 2) & 3];
  return uint8_t(r >> 8);
}
}  // namespace

void TestPlanes::Randomise(std::mt19937& rng, bool extremes) {
  for (auto* p : {&y, &cr, &cb, &a})
    for (auto& s : *p) s = Sample(rng, extremes);
}

void TestPlanes::Fill(uint8_t luma, uint8_t crValue, uint8_t cbValue, uint8_t alphaValue) {
  std::fill(y.begin(), y.end(), luma);
  std::fill(cr.begin(), cr.end(), crValue);
  std::fill(cb.begin(), cb.end(), cbValue);
  std::fill(a.begin(), a.end(), alphaValue);
}

void TestPlanes::ChangeRandomBlocks(std::mt19937& rng, int percent) {
  for (uint32_t by = 0; by < mapRows; ++by) {
    for (uint32_t bx = 0; bx < mapStride; ++bx) {
      const bool changed = int(rng() % 100) < percent;
      map[by * mapStride + bx] = changed ? uint8_t(1 + rng() % 255) : 0;
      if (!changed) continue;
      for (uint32_t r = by * 16; r < std::min(height, by * 16 + 16); ++r) {
        for (uint32_t c = bx * 16; c < std::min(width, bx * 16 + 16); ++c) {
          y[r * lumaStride + c] = uint8_t(rng());
          if (!a.empty()) a[r * lumaStride + c] = uint8_t(rng());
          if ((r & 1) == 0 && (c & 1) == 0) {
            cr[(r / 2) * chromaStride + c / 2] = uint8_t(rng());
            cb[(r / 2) * chromaStride + c / 2] = uint8_t(rng());
          }
        }
      }
    }
  }
}

CopySource TestPlanes::Source() const {
  CopySource s{};
  s.plane[PLANE_LUMA] = y.data();
  s.plane[PLANE_CHROMA1] = cr.data();
  s.plane[PLANE_CHROMA2] = cb.data();
  s.plane[PLANE_ALPHA] = a.empty() ? nullptr : a.data();
  s.stride[PLANE_LUMA] = s.stride[PLANE_ALPHA] = lumaStride;
  s.stride[PLANE_CHROMA1] = s.stride[PLANE_CHROMA2] = chromaStride;
  s.width = width;
  s.height = height;
  s.changeMap = map.data();
  s.mapStride = mapStride;
  s.mapRows = mapRows;
  return s;
}

GuardedBuffer::GuardedBuffer(size_t size, uint8_t fill)
    : size_(size), bytes_(size + 2 * kGuard, kCanary) {
  std::fill(bytes_.begin() + kGuard, bytes_.begin() + kGuard + size, fill);
}

bool GuardedBuffer::Intact() const {
  for (size_t i = 0; i < kGuard; ++i)
    if (bytes_[i] != kCanary || bytes_[kGuard + size_ + i] != kCanary) return false;
  return true;
}

std::string FirstDifference(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& got) {
  if (expected.size() != got.size())
    return "sizes differ: " + std::to_string(expected.size()) + " vs " + std::to_string(got.size());
  for (size_t i = 0; i < expected.size(); ++i)
    if (expected[i] != got[i])
      return "first difference at byte " + std::to_string(i) + " (expected " +
             std::to_string(expected[i]) + ", got " + std::to_string(got[i]) + ")";
  return "";
}

}  // namespace tarn::test
