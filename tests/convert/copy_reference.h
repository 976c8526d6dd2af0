// What a copy must write, computed straight from the colour formulas and the
// display-option geometry, one destination byte at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/convert_test_planes.h"

namespace tarn::test {

enum class Arithmetic { kTable, kPacked };

// Pixel masks of formats 0-12 as a display surface describes them.
struct FormatMasks {
  uint32_t red, green, blue, alpha;
};
const FormatMasks& MasksOf(uint32_t format);

// One RGB pixel of format 0-12. alpha < 0: no alpha plane.
uint32_t ReferencePixel(uint32_t format, Arithmetic arithmetic, int y, int cr, int cb, int alpha,
                        uint32_t x, uint32_t phase);

struct ReferenceLayout {
  uint32_t width, height;  // destination size in pixels and lines
  int32_t pitch;           // positive
  size_t bytes;            // whole buffer (with the chroma planes for YV12)
};
ReferenceLayout LayoutFor(const TestPlanes& planes, uint32_t format, uint32_t display,
                          uint32_t padding);

// The destination after a whole-frame copy of planes with flags (format code,
// display option, COPY_GREY, COPY_SWAP_CHROMA, COPY_SHOW_ALPHA) into a buffer
// pre-filled with fill; bottomUp mirrors the lines of every plane.
std::vector<uint8_t> ReferenceCopy(const TestPlanes& planes, uint32_t flags,
                                   Arithmetic arithmetic, const ReferenceLayout& layout,
                                   bool bottomUp, uint8_t fill);

}  // namespace tarn::test
