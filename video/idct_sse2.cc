// The inverse transform in SSE2, four 32-bit lanes per vector: the same
// wrapping arithmetic as the scalar transform, so the results are identical
// for every input. Reads the 64 coefficients and factors, writes only the
// 8 x 8 output samples.
#include <emmintrin.h>

#include "video/video_internal.h"

namespace tarn {
namespace {

// The low 32 bits of each lane's product: the scalar u32 multiply. SSE2 has
// only the even-lane 32 x 32 -> 64 multiply, so the odd lanes go through a shift.
inline __m128i MulLo(__m128i a, __m128i b) {
  const __m128i even = _mm_mul_epu32(a, b);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                            _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

// The low 32 bits of c * v for 0 <= c < 2^16, from 16-bit halves:
// c * (vh * 2^16 + vl) = lo16(c * vl) + (hi16(c * vl) + lo16(c * vh)) * 2^16 mod 2^32.
inline __m128i MulLoSmall(__m128i v, int c) {
  const __m128i k = _mm_set1_epi16(int16_t(c));
  return _mm_add_epi32(_mm_mullo_epi16(v, k), _mm_slli_epi32(_mm_mulhi_epu16(v, k), 16));
}

// (c * v) >> 11 on the wrapped product, shift arithmetic; |c| < 2^16 in every lane.
template <int c>
inline __m128i M(__m128i v) {
  static_assert(c > -65536 && c < 65536);
  const __m128i p = c >= 0 ? MulLoSmall(v, c) : _mm_sub_epi32(_mm_setzero_si128(), MulLoSmall(v, -c));
  return _mm_srai_epi32(p, 11);
}

inline __m128i Add(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
inline __m128i Sub(__m128i a, __m128i b) { return _mm_sub_epi32(a, b); }

// IdctButterfly (video/idct.h) on four independent lanes.
inline void Butterfly(const __m128i s[8], __m128i t[8]) {
  const __m128i a0 = Add(s[0], s[4]), a1 = Sub(s[0], s[4]), a2 = Add(s[2], s[6]), a3 = M<2896>(Sub(s[2], s[6]));
  const __m128i a4 = Add(s[5], s[3]), a5 = Sub(s[5], s[3]), a6 = Add(s[1], s[7]), a7 = Sub(s[1], s[7]);
  const __m128i b0 = Add(a4, a6), b1 = M<3784>(Add(a5, a7));
  const __m128i b2 = Add(Sub(M<-5352>(a5), b0), b1);
  const __m128i b3 = Sub(M<2896>(Sub(a6, a4)), b2);
  const __m128i b4 = Sub(Add(M<2217>(a7), b3), b1);
  const __m128i p = Add(a0, a2), m = Sub(a0, a2);
  const __m128i q = Sub(Add(a1, a3), a2), r = Add(Sub(a1, a3), a2);
  t[0] = Add(p, b0);
  t[1] = Add(q, b2);
  t[2] = Add(r, b3);
  t[3] = Sub(m, b4);
  t[4] = Add(m, b4);
  t[5] = Sub(r, b3);
  t[6] = Sub(q, b2);
  t[7] = Sub(p, b0);
}

inline void Transpose4(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3) {
  const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);
  const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);
  r0 = _mm_unpacklo_epi64(t0, t1);
  r1 = _mm_unpackhi_epi64(t0, t1);
  r2 = _mm_unpacklo_epi64(t2, t3);
  r3 = _mm_unpackhi_epi64(t2, t3);
}

// Rows 4h .. 4h + 3 of the result from the column pass output col[x][i]
// (x = 0 for columns 0..3, 1 for 4..7; i the row): 8 samples a row, two rows
// a vector, low 8 bits of (v + 127) >> 8.
inline void RowPass(__m128i cols[2][8], int h, __m128i out[2]) {
  __m128i s[8], t[8];
  for (int x = 0; x < 2; ++x) {
    s[4 * x + 0] = cols[x][4 * h + 0];
    s[4 * x + 1] = cols[x][4 * h + 1];
    s[4 * x + 2] = cols[x][4 * h + 2];
    s[4 * x + 3] = cols[x][4 * h + 3];
    Transpose4(s[4 * x + 0], s[4 * x + 1], s[4 * x + 2], s[4 * x + 3]);  // s[j]: column j of 4 rows
  }
  Butterfly(s, t);  // t[i]: output column i of the 4 rows
  const __m128i round = _mm_set1_epi32(127), low = _mm_set1_epi32(0xFF);
  for (int i = 0; i < 8; ++i) t[i] = _mm_and_si128(_mm_srai_epi32(Add(t[i], round), 8), low);
  Transpose4(t[0], t[1], t[2], t[3]);  // t[y]: columns 0..3 of row y
  Transpose4(t[4], t[5], t[6], t[7]);  // t[4 + y]: columns 4..7 of row y
  const __m128i r0 = _mm_packs_epi32(t[0], t[4]), r1 = _mm_packs_epi32(t[1], t[5]);  // 0..255 in 16 bits
  const __m128i r2 = _mm_packs_epi32(t[2], t[6]), r3 = _mm_packs_epi32(t[3], t[7]);
  out[0] = _mm_packus_epi16(r0, r1);
  out[1] = _mm_packus_epi16(r2, r3);
}

// The 64 output samples as four vectors of two rows each.
inline void Transform(const int16_t block[64], const int32_t* quant, __m128i rows[4]) {
  const __m128i* in = reinterpret_cast<const __m128i*>(block);
  __m128i coef[8];
  __m128i any = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) {
    coef[i] = _mm_loadu_si128(in + i);
    if (i) any = _mm_or_si128(any, coef[i]);
  }
  // cols[x][i]: row i, columns 4x .. 4x + 3 after the column pass.
  __m128i cols[2][8];
  const bool firstRowOnly = _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
  for (int x = 0; x < 2; ++x) {
    __m128i s[8];
    for (int i = 0; i < (firstRowOnly ? 1 : 8); ++i) {
      const __m128i c = x ? _mm_unpackhi_epi16(coef[i], coef[i]) : _mm_unpacklo_epi16(coef[i], coef[i]);
      const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(quant + 8 * i + 4 * x));
      s[i] = _mm_srai_epi32(MulLo(_mm_srai_epi32(c, 16), q), 11);
    }
    if (firstRowOnly) {  // the transform of (s, 0, ..., 0) is s in every row
      for (int i = 0; i < 8; ++i) cols[x][i] = s[0];
    } else {
      Butterfly(s, cols[x]);
    }
  }
  RowPass(cols, 0, rows);
  if (firstRowOnly) {  // all rows alike
    rows[2] = rows[0];
    rows[3] = rows[1];
  } else {
    RowPass(cols, 1, rows + 2);
  }
}

void IdctBlock_sse2(const int16_t block[64], const int32_t* quant, uint8_t out[64]) {
  __m128i rows[4];
  Transform(block, quant, rows);
  for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), rows[i]);
}

void IdctPut_sse2(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t stride) {
  __m128i rows[4];
  Transform(block, quant, rows);
  for (int i = 0; i < 4; ++i) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * i * stride), rows[i]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (2 * i + 1) * stride), _mm_srli_si128(rows[i], 8));
  }
}

void IdctAdd_sse2(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t dstStride,
                  const uint8_t* src, ptrdiff_t srcStride) {
  __m128i rows[4];
  Transform(block, quant, rows);
  for (int i = 0; i < 4; ++i) {
    const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 2 * i * srcStride));
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + (2 * i + 1) * srcStride));
    const __m128i sum = _mm_add_epi8(_mm_unpacklo_epi64(a, b), rows[i]);  // wraps like the scalar add
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * i * dstStride), sum);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (2 * i + 1) * dstStride), _mm_srli_si128(sum, 8));
  }
}

}  // namespace

void IdctDspInitSse2(IdctDsp& dsp) {
  dsp.block = IdctBlock_sse2;
  dsp.put = IdctPut_sse2;
  dsp.add = IdctAdd_sse2;
}

}  // namespace tarn
