// The scalar model of the packed arithmetic, shared by the scalar members and
// the SIMD members (which hand it the pixels before and after their groups).
#pragma once

#include "convert/convert_internal.h"

namespace tarn {

// A packed pixel reduced to its format: each 12-bit component shifted right by
// 12 minus its width and placed at its position.
template <uint32_t F>
inline uint32_t PackedValue(const PackedRgb& c) {
  constexpr FormatLayout l = kFormatLayouts[F];
  return (uint32_t(c.red >> (12 - l.red.width)) << l.red.position) |
         (uint32_t(c.green >> (12 - l.green.width)) << l.green.position) |
         (uint32_t(c.blue >> (12 - l.blue.width)) << l.blue.position);
}

// count pixels starting at source column x of a line with dither phase row;
// cr and cb point at the chroma of x / 2.
template <uint32_t F, bool Doubled, bool Alpha>
inline void PackedRunScalar(uint8_t* d, const uint8_t* y, const uint8_t* cr, const uint8_t* cb,
                            const uint8_t* a, uint32_t x, uint32_t count, uint32_t row) {
  constexpr FormatLayout l = kFormatLayouts[F];
  constexpr uint32_t kBytes = CopyFormatBytesPerPixel(F);
  constexpr int sr = PackedDitherStep(F, l.red), sg = PackedDitherStep(F, l.green),
                sb = PackedDitherStep(F, l.blue);
  const uint32_t odd = x & 1;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t ci = (odd + i) >> 1;
    const uint32_t px = odd + i;
    uint32_t p = PackedValue<F>(PackedPixel(y[i], cr[ci], cb[ci], DitherValue(sr, row, px),
                                            DitherValue(sg, row, px), DitherValue(sb, row, px)));
    if constexpr (Alpha) p |= AlphaBits<F>(a[i]);
    StorePixel<kBytes>(d, p);
    if constexpr (Doubled) {
      StorePixel<kBytes>(d + kBytes, p);
      d += 2 * kBytes;
    } else {
      d += kBytes;
    }
  }
}

// YUY2 (Y then chroma per pixel) and UYVY (chroma then Y): a pixel at even x
// carries Cb, at odd x Cr. Doubled: each pixel becomes a pair with both chroma.
template <bool ChromaFirst, bool Doubled>
inline void LineYuvPacked(const ConvertLine& l) {
  uint8_t* d = l.dst;
  const uint32_t odd = l.x & 1;
  for (uint32_t i = 0; i < l.count; ++i) {
    const uint32_t ci = (odd + i) >> 1;
    const uint8_t y = l.y[i];
    if constexpr (Doubled) {
      const uint8_t cb = l.cb[ci], cr = l.cr[ci];
      if constexpr (ChromaFirst) {
        d[0] = cb, d[1] = y, d[2] = cr, d[3] = y;
      } else {
        d[0] = y, d[1] = cb, d[2] = y, d[3] = cr;
      }
      d += 4;
    } else {
      const uint8_t c = ((odd + i) & 1) ? l.cr[ci] : l.cb[ci];
      if constexpr (ChromaFirst) {
        d[0] = c, d[1] = y;
      } else {
        d[0] = y, d[1] = c;
      }
      d += 2;
    }
  }
}

}  // namespace tarn
