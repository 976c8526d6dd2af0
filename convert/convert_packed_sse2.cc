// SSE2 members of the packed converters: eight 16-bit lanes per register,
// high-half multiplies and saturating adds, bit-exact with PackedPixel. A run
// is converted by the scalar model up to the next multiple of 8 in x, then in
// groups of 16 and 8, and the rest again by the scalar model. Reads and writes
// only what the line converter contract grants.
#include <emmintrin.h>

#include <cstring>
#include <utility>

#include "convert/convert_packed_internal.h"

namespace tarn {
namespace {

inline __m128i Load32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}
inline __m128i Load64(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store64(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline void Store128(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Bias words per lane: the component constant plus the dither of the lane's
// column parity (groups start at even x, so lane parity = x parity).
struct Biases {
  __m128i red, green, blue;
};

template <uint32_t F>
Biases MakeBiases(uint32_t row) {
  constexpr FormatLayout l = kFormatLayouts[F];
  auto lanes = [row](int bias, int step) {
    const int even = bias + DitherValue(step, row, 0), odd = bias + DitherValue(step, row, 1);
    return _mm_set_epi16(int16_t(odd), int16_t(even), int16_t(odd), int16_t(even), int16_t(odd),
                         int16_t(even), int16_t(odd), int16_t(even));
  };
  return {lanes(kPackedRedBias, PackedDitherStep(F, l.red)),
          lanes(kPackedGreenBias, PackedDitherStep(F, l.green)),
          lanes(kPackedBlueBias, PackedDitherStep(F, l.blue))};
}

struct Rgb12 {
  __m128i red, green, blue;  // 0..4095 per lane
};

// yy: luma term per lane; u, v: chroma terms already repeated for both pixels
// of a pair.
inline Rgb12 Combine(__m128i yy, __m128i u, __m128i v, const Biases& b) {
  const __m128i floor = _mm_set1_epi16(int16_t(kPackedFloor));
  const __m128i r = _mm_adds_epi16(_mm_add_epi16(yy, _mm_add_epi16(v, v)), b.red);
  const __m128i g = _mm_adds_epi16(_mm_sub_epi16(_mm_sub_epi16(yy, u), v), b.green);
  const __m128i bl = _mm_adds_epi16(_mm_add_epi16(yy, _mm_add_epi16(_mm_slli_epi16(u, 2), u)), b.blue);
  return {_mm_subs_epu16(r, floor), _mm_subs_epu16(g, floor), _mm_subs_epu16(bl, floor)};
}

inline __m128i LumaTerm(__m128i y8x8) {  // eight luma bytes widened to words
  return _mm_mulhi_epi16(_mm_slli_epi16(y8x8, 6), _mm_set1_epi16(kPackedLumaGain));
}
inline __m128i CbTerm(__m128i c) {
  return _mm_mulhi_epi16(_mm_slli_epi16(c, 4), _mm_set1_epi16(kPackedChromaGain));
}
inline __m128i CrTerm(__m128i c) {
  return _mm_mulhi_epi16(_mm_slli_epi16(c, 5), _mm_set1_epi16(kPackedChromaGain));
}

// Writes eight converted pixels (sixteen when doubled) at d; alpha holds the
// eight alpha samples as words when Alpha.
template <uint32_t F, bool Doubled, bool Alpha>
inline void Store8(uint8_t* d, const Rgb12& c, __m128i alpha) {
  constexpr FormatLayout l = kFormatLayouts[F];
  constexpr uint32_t kBytes = CopyFormatBytesPerPixel(F);
  if constexpr (kBytes == 4 || kBytes == 3) {
    const __m128i r = _mm_srli_epi16(c.red, 4), g = _mm_srli_epi16(c.green, 4),
                  b = _mm_srli_epi16(c.blue, 4);
    const __m128i low = l.red.position == 0 ? r : b;   // bits 0-7
    const __m128i high = l.red.position == 0 ? b : r;  // bits 16-23
    const __m128i lowWord = _mm_or_si128(low, _mm_slli_epi16(g, 8));
    __m128i highWord = high;
    if constexpr (Alpha) highWord = _mm_or_si128(highWord, _mm_slli_epi16(alpha, 8));
    const __m128i p0 = _mm_unpacklo_epi16(lowWord, highWord);
    const __m128i p1 = _mm_unpackhi_epi16(lowWord, highWord);
    if constexpr (kBytes == 4) {
      if constexpr (Doubled) {
        Store128(d, _mm_unpacklo_epi32(p0, p0));
        Store128(d + 16, _mm_unpackhi_epi32(p0, p0));
        Store128(d + 32, _mm_unpacklo_epi32(p1, p1));
        Store128(d + 48, _mm_unpackhi_epi32(p1, p1));
      } else {
        Store128(d, p0);
        Store128(d + 16, p1);
      }
    } else {  // three-byte packer over the 32-bit intermediate values
      alignas(16) uint32_t px[8];
      _mm_store_si128(reinterpret_cast<__m128i*>(px), p0);
      _mm_store_si128(reinterpret_cast<__m128i*>(px + 4), p1);
      for (int i = 0; i < 8; ++i) {
        StorePixel<3>(d, px[i]);
        if constexpr (Doubled) {
          StorePixel<3>(d + 3, px[i]);
          d += 6;
        } else {
          d += 3;
        }
      }
    }
  } else {
    __m128i w = _mm_or_si128(
        _mm_or_si128(_mm_slli_epi16(_mm_srli_epi16(c.red, 12 - l.red.width), l.red.position),
                     _mm_slli_epi16(_mm_srli_epi16(c.green, 12 - l.green.width), l.green.position)),
        _mm_slli_epi16(_mm_srli_epi16(c.blue, 12 - l.blue.width), l.blue.position));
    if constexpr (Alpha)
      w = _mm_or_si128(w, _mm_slli_epi16(_mm_srli_epi16(alpha, 8 - l.alpha.width), l.alpha.position));
    if constexpr (kBytes == 2) {
      if constexpr (Doubled) {
        Store128(d, _mm_unpacklo_epi16(w, w));
        Store128(d + 16, _mm_unpackhi_epi16(w, w));
      } else {
        Store128(d, w);
      }
    } else {  // the 3-3-2 index fits a byte
      const __m128i bytes = _mm_packus_epi16(w, w);
      if constexpr (Doubled) {
        Store128(d, _mm_unpacklo_epi8(bytes, bytes));
      } else {
        Store64(d, bytes);
      }
    }
  }
}

template <uint32_t F, bool Doubled, bool Alpha>
void LinePackedSse2(const ConvertLine& l) {
  constexpr uint32_t kBytes = CopyFormatBytesPerPixel(F);
  constexpr uint32_t kStep = Doubled ? 2 * kBytes : kBytes;
  uint8_t* d = l.dst;
  const uint8_t* y = l.y;
  const uint8_t* a = l.a;
  const uint8_t* cr = l.cr;
  const uint8_t* cb = l.cb;
  uint32_t x = l.x;
  uint32_t n = l.count;
  if (n < 8) {
    PackedRunScalar<F, Doubled, Alpha>(d, y, cr, cb, a, x, n, l.row);
    return;
  }
  // Head up to the next multiple of 8; afterwards x is even, so chroma
  // pointers step by half the pixels.
  const uint32_t head = (8 - (x & 7)) & 7;
  if (head) {
    PackedRunScalar<F, Doubled, Alpha>(d, y, cr, cb, a, x, head, l.row);
    const uint32_t chromaStep = ((x & 1) + head) >> 1;
    cr += chromaStep, cb += chromaStep;
    d += head * kStep, y += head, x += head, n -= head;
    if constexpr (Alpha) a += head;
  }
  const Biases biases = MakeBiases<F>(l.row);
  const __m128i zero = _mm_setzero_si128();
  __m128i alphaLo = zero, alphaHi = zero;
  for (; n >= 16; n -= 16) {
    const __m128i ys = Load128(y);
    const __m128i u = CbTerm(_mm_unpacklo_epi8(Load64(cb), zero));
    const __m128i v = CrTerm(_mm_unpacklo_epi8(Load64(cr), zero));
    if constexpr (Alpha) {
      const __m128i as = Load128(a);
      alphaLo = _mm_unpacklo_epi8(as, zero);
      alphaHi = _mm_unpackhi_epi8(as, zero);
      a += 16;
    }
    Store8<F, Doubled, Alpha>(d,
                              Combine(LumaTerm(_mm_unpacklo_epi8(ys, zero)), _mm_unpacklo_epi16(u, u),
                                      _mm_unpacklo_epi16(v, v), biases),
                              alphaLo);
    Store8<F, Doubled, Alpha>(d + 8 * kStep,
                              Combine(LumaTerm(_mm_unpackhi_epi8(ys, zero)), _mm_unpackhi_epi16(u, u),
                                      _mm_unpackhi_epi16(v, v), biases),
                              alphaHi);
    y += 16, cr += 8, cb += 8, d += 16 * kStep, x += 16;
  }
  if (n >= 8) {
    const __m128i u = CbTerm(_mm_unpacklo_epi8(Load32(cb), zero));
    const __m128i v = CrTerm(_mm_unpacklo_epi8(Load32(cr), zero));
    if constexpr (Alpha) {
      alphaLo = _mm_unpacklo_epi8(Load64(a), zero);
      a += 8;
    }
    Store8<F, Doubled, Alpha>(d,
                              Combine(LumaTerm(_mm_unpacklo_epi8(Load64(y), zero)),
                                      _mm_unpacklo_epi16(u, u), _mm_unpacklo_epi16(v, v), biases),
                              alphaLo);
    y += 8, cr += 4, cb += 4, d += 8 * kStep, x += 8, n -= 8;
  }
  if (n) PackedRunScalar<F, Doubled, Alpha>(d, y, cr, cb, a, x, n, l.row);
}

// Packed YUV in groups of 16 pixels from an even x; the scalar copy takes the
// odd first pixel and the tail.
template <bool ChromaFirst, bool Doubled>
void LineYuvSse2(const ConvertLine& l) {
  ConvertLine rest = l;
  constexpr uint32_t kStep = Doubled ? 4 : 2;
  if (rest.x & 1) {
    ConvertLine one = rest;
    one.count = 1;
    LineYuvPacked<ChromaFirst, Doubled>(one);
    if (rest.count == 1) return;
    rest.dst += kStep, rest.y += 1, rest.cr += 1, rest.cb += 1, rest.x += 1, rest.count -= 1;
  }
  for (; rest.count >= 16; rest.count -= 16) {
    const __m128i ys = Load128(rest.y);
    const __m128i c = _mm_unpacklo_epi8(Load64(rest.cb), Load64(rest.cr));  // Cb Cr per pair
    if constexpr (Doubled) {
      const __m128i c0 = _mm_unpacklo_epi16(c, c), c1 = _mm_unpackhi_epi16(c, c);  // per pixel
      const __m128i y0 = _mm_unpacklo_epi8(ys, ys), y1 = _mm_unpackhi_epi8(ys, ys);
      if constexpr (ChromaFirst) {
        Store128(rest.dst, _mm_unpacklo_epi8(c0, y0));
        Store128(rest.dst + 16, _mm_unpackhi_epi8(c0, y0));
        Store128(rest.dst + 32, _mm_unpacklo_epi8(c1, y1));
        Store128(rest.dst + 48, _mm_unpackhi_epi8(c1, y1));
      } else {
        Store128(rest.dst, _mm_unpacklo_epi8(y0, c0));
        Store128(rest.dst + 16, _mm_unpackhi_epi8(y0, c0));
        Store128(rest.dst + 32, _mm_unpacklo_epi8(y1, c1));
        Store128(rest.dst + 48, _mm_unpackhi_epi8(y1, c1));
      }
    } else if constexpr (ChromaFirst) {
      Store128(rest.dst, _mm_unpacklo_epi8(c, ys));
      Store128(rest.dst + 16, _mm_unpackhi_epi8(c, ys));
    } else {
      Store128(rest.dst, _mm_unpacklo_epi8(ys, c));
      Store128(rest.dst + 16, _mm_unpackhi_epi8(ys, c));
    }
    rest.dst += 16 * kStep, rest.y += 16, rest.cr += 8, rest.cb += 8, rest.x += 16;
  }
  if (rest.count) LineYuvPacked<ChromaFirst, Doubled>(rest);
}

template <uint32_t F>
void SetSse2(ConvertDsp& dsp) {
  dsp.line[F][0][0] = LinePackedSse2<F, false, false>;
  dsp.line[F][1][0] = LinePackedSse2<F, true, false>;
  if constexpr (kFormatLayouts[F].alpha.width != 0) {
    dsp.line[F][0][1] = LinePackedSse2<F, false, true>;
    dsp.line[F][1][1] = LinePackedSse2<F, true, true>;
  }
}

template <uint32_t... F>
void SetSse2All(ConvertDsp& dsp, std::integer_sequence<uint32_t, F...>) {
  (SetSse2<F>(dsp), ...);
}

}  // namespace

void ConvertDspInitPackedSse2(ConvertDsp& dsp) {
  SetSse2All(dsp, std::make_integer_sequence<uint32_t, kRgbFormatCount>{});
  dsp.line[COPY_FORMAT_YUY2][0][0] = LineYuvSse2<false, false>;
  dsp.line[COPY_FORMAT_YUY2][1][0] = LineYuvSse2<false, true>;
  dsp.line[COPY_FORMAT_UYVY][0][0] = LineYuvSse2<true, false>;
  dsp.line[COPY_FORMAT_UYVY][1][0] = LineYuvSse2<true, true>;
}

}  // namespace tarn
