// SSE2 radix-4 FFT stage: two neighbouring butterflies per step, one complex
// pair per register. Bit-exact with FftRadix4Stage_scalar.
#include <emmintrin.h>

#include <climits>

#include "audio/audio_fft_internal.h"

namespace tarn {

namespace {

// y * w for two complex values, with c = (c0, c0, c1, c1) and
// s = (-s0, s0, -s1, s1): (yr c - yi s, yi c + yr s) per value.
inline __m128 Rotate(__m128 y, __m128 c, __m128 s) {
  const __m128 swapped = _mm_shuffle_ps(y, y, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_add_ps(_mm_mul_ps(y, c), _mm_mul_ps(swapped, s));
}

template <bool kPositive>
void Stage(float* a, uint32_t m, uint32_t len, const FftTwiddles& t) {
  const uint32_t qtr = len / 4;  // even, since len >= 8
  const uint32_t step = m / len;
  const __m128 negRe = _mm_castsi128_ps(_mm_set_epi32(0, INT_MIN, 0, INT_MIN));
  for (uint32_t n0 = 0; n0 < qtr; n0 += 2) {
    float c[3][2], s[3][2];
    for (int r = 0; r < 3; ++r) {
      for (int h = 0; h < 2; ++h) FftUnit<kPositive>(t, uint32_t(r + 1) * (n0 + uint32_t(h)) * step, c[r][h], s[r][h]);
    }
    const __m128 c1 = _mm_set_ps(c[0][1], c[0][1], c[0][0], c[0][0]);
    const __m128 s1 = _mm_set_ps(s[0][1], -s[0][1], s[0][0], -s[0][0]);
    const __m128 c2 = _mm_set_ps(c[1][1], c[1][1], c[1][0], c[1][0]);
    const __m128 s2 = _mm_set_ps(s[1][1], -s[1][1], s[1][0], -s[1][0]);
    const __m128 c3 = _mm_set_ps(c[2][1], c[2][1], c[2][0], c[2][0]);
    const __m128 s3 = _mm_set_ps(s[2][1], -s[2][1], s[2][0], -s[2][0]);
    for (uint32_t base = 0; base < m; base += len) {
      float* p0 = a + 2 * (base + n0);
      float* p1 = p0 + 2 * qtr;
      float* p2 = p1 + 2 * qtr;
      float* p3 = p2 + 2 * qtr;
      const __m128 x0 = _mm_loadu_ps(p0), x1 = _mm_loadu_ps(p1);
      const __m128 x2 = _mm_loadu_ps(p2), x3 = _mm_loadu_ps(p3);
      const __m128 a0 = _mm_add_ps(x0, x2), a1 = _mm_sub_ps(x0, x2);
      const __m128 a2 = _mm_add_ps(x1, x3), a3 = _mm_sub_ps(x1, x3);
      // i * a3 = (-a3i, a3r)
      const __m128 ia3 = _mm_xor_ps(_mm_shuffle_ps(a3, a3, _MM_SHUFFLE(2, 3, 0, 1)), negRe);
      const __m128 y1 = kPositive ? _mm_add_ps(a1, ia3) : _mm_sub_ps(a1, ia3);
      const __m128 y3 = kPositive ? _mm_sub_ps(a1, ia3) : _mm_add_ps(a1, ia3);
      _mm_storeu_ps(p0, _mm_add_ps(a0, a2));
      _mm_storeu_ps(p1, Rotate(_mm_sub_ps(a0, a2), c2, s2));
      _mm_storeu_ps(p2, Rotate(y1, c1, s1));
      _mm_storeu_ps(p3, Rotate(y3, c3, s3));
    }
  }
}

}  // namespace

void FftRadix4Stage_sse2(float* a, uint32_t m, uint32_t len, const FftTwiddles& t, bool positive) {
  if (positive) {
    Stage<true>(a, m, len, t);
  } else {
    Stage<false>(a, m, len, t);
  }
}

}  // namespace tarn
