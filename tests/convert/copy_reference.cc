#include "tests/convert/copy_reference.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "movie/movie.h"

namespace tarn::test {

const FormatMasks& MasksOf(uint32_t format) {
  static const FormatMasks kMasks[13] = {
      {0x07, 0x38, 0xC0, 0},
      {0xFF0000, 0xFF00, 0xFF, 0},
      {0xFF, 0xFF00, 0xFF0000, 0},
      {0xFF0000, 0xFF00, 0xFF, 0},
      {0xFF, 0xFF00, 0xFF0000, 0},
      {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
      {0xFF, 0xFF00, 0xFF0000, 0xFF000000},
      {0x0F00, 0x00F0, 0x000F, 0xF000},
      {0x7C00, 0x03E0, 0x001F, 0x8000},
      {0x7C00, 0x03E0, 0x001F, 0},
      {0xF800, 0x07E0, 0x001F, 0},
      {0xFC00, 0x03E0, 0x001F, 0},
      {0xFC00, 0x03F0, 0x000F, 0},
  };
  return kMasks[format];
}

namespace {

int Width(uint32_t mask) { return std::popcount(mask); }
int Shift(uint32_t mask) { return std::countr_zero(mask); }
int Clamp(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

int Dither(int step, uint32_t phase, uint32_t x) {
  if (phase == 0) return (x & 1) ? step / 2 : 0;
  return (x & 1) ? 3 * step / 4 : step / 4;
}

bool Dithered(uint32_t format) { return format == 0 || (format >= 7 && format <= 12); }

uint32_t Place(int value, int dropped, uint32_t mask) {
  return (uint32_t(value >> dropped) << Shift(mask)) & mask;
}

}  // namespace

uint32_t ReferencePixel(uint32_t format, Arithmetic arithmetic, int y, int cr, int cb, int alpha,
                        uint32_t x, uint32_t phase) {
  const FormatMasks& m = MasksOf(format);
  uint32_t p = 0;
  if (arithmetic == Arithmetic::kTable) {
    const int yy = y < 16 ? 0 : (y >= 235 ? 255 : int(std::floor((y - 16) * 76392 / 65536.0)));
    const int v = int(std::floor((cr - 128) * 26572 / 65536.0));
    const int u = int(std::floor((cb - 128) * 26572 / 65536.0));
    int dr = 0, dg = 0, db = 0;
    if (format == 0) {
      dr = Dither(1 << (8 - Width(m.red)), phase, x);
      dg = Dither(1 << (8 - Width(m.green)), phase, x);
      db = Dither(1 << (8 - Width(m.blue)), phase, x);
    } else if (Dithered(format)) {
      const int loss = 8 - std::min({Width(m.red), Width(m.green), Width(m.blue)});
      dr = dg = db = Dither(1 << loss, phase, x);
    }
    p = Place(Clamp(yy + dr + 4 * v), 8 - Width(m.red), m.red) |
        Place(Clamp(yy + dg - 2 * v - u), 8 - Width(m.green), m.green) |
        Place(Clamp(yy + db + 5 * u), 8 - Width(m.blue), m.blue);
  } else {
    auto step = [&](uint32_t mask) { return Dithered(format) ? 1 << (12 - Width(mask)) : 0; };
    const PackedRgb c = PackedPixel(y, cr, cb, Dither(step(m.red), phase, x),
                                    Dither(step(m.green), phase, x), Dither(step(m.blue), phase, x));
    p = Place(c.red, 12 - Width(m.red), m.red) | Place(c.green, 12 - Width(m.green), m.green) |
        Place(c.blue, 12 - Width(m.blue), m.blue);
  }
  if (alpha >= 0 && m.alpha) p |= Place(alpha, 8 - Width(m.alpha), m.alpha);
  return p;
}

ReferenceLayout LayoutFor(const TestPlanes& planes, uint32_t format, uint32_t display,
                          uint32_t padding) {
  const bool wide = display == DISPLAY_WIDTH_DOUBLED || display == DISPLAY_BOTH_DOUBLED ||
                    display == DISPLAY_BOTH_INTERLACED;
  const bool tall = display == DISPLAY_HEIGHT_DOUBLED || display == DISPLAY_HEIGHT_INTERLACED ||
                    display == DISPLAY_BOTH_DOUBLED || display == DISPLAY_BOTH_INTERLACED;
  ReferenceLayout l{};
  l.width = planes.width * (wide ? 2 : 1);
  l.height = planes.height * (tall ? 2 : 1);
  if (format == COPY_FORMAT_YV12) {
    l.pitch = int32_t((l.width + 1) / 2 * 2 + 2 * padding);
    l.bytes = size_t(l.pitch) * l.height + 2 * size_t(l.pitch / 2) * ((l.height + 1) / 2);
  } else {
    l.pitch = int32_t(l.width * CopyFormatBytesPerPixel(format) + padding);
    l.bytes = size_t(l.pitch) * l.height;
  }
  return l;
}

std::vector<uint8_t> ReferenceCopy(const TestPlanes& planes, uint32_t flags,
                                   Arithmetic arithmetic, const ReferenceLayout& layout,
                                   bool bottomUp, uint8_t fill) {
  const uint32_t format = flags & COPY_FORMAT_MASK;
  const uint32_t display = (flags & COPY_DISPLAY_MASK) >> COPY_DISPLAY_SHIFT;
  const bool wide = display == DISPLAY_WIDTH_DOUBLED || display == DISPLAY_BOTH_DOUBLED ||
                    display == DISPLAY_BOTH_INTERLACED;
  const bool hasAlpha = !planes.a.empty();
  const bool showAlpha = (flags & COPY_SHOW_ALPHA) && hasAlpha;
  const bool swap = flags & COPY_SWAP_CHROMA;
  const bool grey = flags & COPY_GREY;
  const std::vector<uint8_t>& lumaPlane = showAlpha ? planes.a : planes.y;
  const std::vector<uint8_t>& alphaPlane = showAlpha ? planes.y : planes.a;
  const std::vector<uint8_t>& crPlane = swap ? planes.cb : planes.cr;
  const std::vector<uint8_t>& cbPlane = swap ? planes.cr : planes.cb;
  auto Y = [&](uint32_t r, uint32_t c) { return int(lumaPlane[r * planes.lumaStride + c]); };
  auto A = [&](uint32_t r, uint32_t c) {
    const bool alphaFormat = format >= 5 && format <= 8;
    return hasAlpha && alphaFormat ? int(alphaPlane[r * planes.lumaStride + c]) : -1;
  };
  auto Cr = [&](uint32_t cr, uint32_t cc) {
    return grey ? 128 : int(crPlane[cr * planes.chromaStride + cc]);
  };
  auto Cb = [&](uint32_t cr, uint32_t cc) {
    return grey ? 128 : int(cbPlane[cr * planes.chromaStride + cc]);
  };

  std::vector<uint8_t> out(layout.bytes, fill);
  const size_t pitch = size_t(layout.pitch);
  const uint32_t bpp = CopyFormatBytesPerPixel(format);
  for (uint32_t line = 0; line < layout.height; ++line) {
    // Source row and processed-line index of this destination line.
    uint32_t r, i;
    switch (display) {
      case DISPLAY_HEIGHT_DOUBLED:
      case DISPLAY_BOTH_DOUBLED:
        r = i = line / 2;
        break;
      case DISPLAY_HEIGHT_INTERLACED:
      case DISPLAY_BOTH_INTERLACED:
        if (line & 1) continue;
        r = i = line / 2;
        break;
      case DISPLAY_INTERLACED:
        if (line & 1) continue;
        r = line, i = line / 2;
        break;
      default:
        r = i = line;
    }
    uint8_t* dst = out.data() + (bottomUp ? layout.height - 1 - line : line) * pitch;
    for (uint32_t col = 0; col < layout.width; ++col) {
      const uint32_t c = wide ? col / 2 : col;
      if (format <= 12) {
        const uint32_t p = ReferencePixel(format, arithmetic, Y(r, c), Cr(r / 2, c / 2),
                                          Cb(r / 2, c / 2), A(r, c), c, i & 1);
        for (uint32_t b = 0; b < bpp; ++b) dst[col * bpp + b] = uint8_t(p >> (8 * b));
      } else if (format == COPY_FORMAT_YV12) {
        dst[col] = uint8_t(Y(r, c));
      } else {
        const uint8_t chroma = uint8_t((col & 1) ? Cr(r / 2, c / 2) : Cb(r / 2, c / 2));
        dst[2 * col + (format == COPY_FORMAT_UYVY ? 1 : 0)] = uint8_t(Y(r, c));
        dst[2 * col + (format == COPY_FORMAT_UYVY ? 0 : 1)] = chroma;
      }
    }
  }
  if (format != COPY_FORMAT_YV12) return out;

  const size_t chromaPitch = pitch / 2;
  const uint32_t chromaLines = (layout.height + 1) / 2;
  const uint32_t chromaColumns = wide ? planes.width : planes.ChromaWidth();
  uint8_t* planeV = out.data() + pitch * layout.height;
  uint8_t* planeU = planeV + chromaPitch * chromaLines;
  for (uint32_t cy = 0; cy < chromaLines; ++cy) {
    uint32_t sourceRow;
    switch (display) {
      case DISPLAY_HEIGHT_DOUBLED:
      case DISPLAY_BOTH_DOUBLED:
        sourceRow = cy / 2;
        break;
      case DISPLAY_HEIGHT_INTERLACED:
      case DISPLAY_BOTH_INTERLACED:
        if (cy & 1) continue;
        sourceRow = cy / 2;
        break;
      default:
        sourceRow = cy;
    }
    const size_t at = (bottomUp ? chromaLines - 1 - cy : cy) * chromaPitch;
    for (uint32_t cx = 0; cx < chromaColumns; ++cx) {
      const uint32_t sc = wide ? cx / 2 : cx;
      planeV[at + cx] = uint8_t(Cr(sourceRow, sc));
      planeU[at + cx] = uint8_t(Cb(sourceRow, sc));
    }
  }
  return out;
}

}  // namespace tarn::test
