// Inverse real DFT and inverse DCT over one complex FFT of n/2 points: radix-4
// stages (a final radix-2 stage when log2(n/2) is odd) decimating in
// frequency, then a bit-reversal permutation. Works in place on the caller's
// n floats; reads and writes nothing beyond them, the index area and the table.
#include "audio/audio_transform.h"

#include "audio/audio_fft_internal.h"
#include "common/cpu_features.h"

#include <cassert>
#include <cmath>
#include <utility>

namespace tarn {

namespace {

[[maybe_unused]] bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

int Log2(uint32_t v) {
  int b = 0;
  while ((1u << b) < v) ++b;
  return b;
}

// Twiddles of an m-point DFT, m = 2 * nw: for r < m/4 the pair
// cos(2 pi r / m), sin(2 pi r / m); the other quadrants follow by symmetry.
void BuildTwiddles(uint32_t nw, float* w) {
  const uint32_t m = 2 * nw;
  const double step = 2.0 * M_PI / double(m);
  for (uint32_t r = 0; r < m / 4; ++r) {
    w[2 * r] = float(std::cos(step * double(r)));
    w[2 * r + 1] = float(std::sin(step * double(r)));
  }
}

// Cosine table of nc floats: with nch = nc/2 and delta = (pi/4) / nch as a
// float, c[0] = cos(delta * nch), c[nch] = c[0] / 2 and, for 0 < j < nch,
// c[j] = cos(j delta) / 2, c[nc - j] = sin(j delta) / 2.
void BuildCosTable(uint32_t nc, float* c) {
  const uint32_t nch = nc / 2;
  const float quarterPi = 0.7853982f;
  const double delta = double(quarterPi / float(nch));
  c[0] = float(std::cos(delta * double(nch)));
  c[nch] = 0.5f * c[0];
  for (uint32_t j = 1; j < nch; ++j) {
    c[j] = float(0.5 * std::cos(delta * double(j)));
    c[nc - j] = float(0.5 * std::sin(delta * double(j)));
  }
}

// Builds the twiddles when n exceeds what they cover (which also invalidates
// the cosine table), then the cosine table when it is shorter than nc.
void EnsureTables(uint32_t n, uint32_t nc, int32_t* ip, float* table) {
  if (uint64_t(n) > 4 * uint64_t(uint32_t(ip[0]))) {
    BuildTwiddles(n / 4, table);
    ip[0] = int32_t(n / 4);
    ip[1] = 1;
  }
  if (int64_t(nc) > int64_t(ip[1])) {
    BuildCosTable(nc, table + ip[0]);
    ip[1] = int32_t(nc);
  }
}

// One decimation-in-frequency radix-4 stage (see FftRadix4Stage_sse2).
template <bool kPositive>
void Radix4Stage(float* a, uint32_t m, uint32_t len, const FftTwiddles& t) {
  const uint32_t qtr = len / 4;
  const uint32_t step = m / len;
  for (uint32_t n0 = 0; n0 < qtr; ++n0) {
    float c1, s1, c2, s2, c3, s3;
    FftUnit<kPositive>(t, n0 * step, c1, s1);
    FftUnit<kPositive>(t, 2 * n0 * step, c2, s2);
    FftUnit<kPositive>(t, 3 * n0 * step, c3, s3);
    for (uint32_t base = 0; base < m; base += len) {
      float* p0 = a + 2 * (base + n0);
      float* p1 = p0 + 2 * qtr;
      float* p2 = p1 + 2 * qtr;
      float* p3 = p2 + 2 * qtr;
      const float a0r = p0[0] + p2[0], a0i = p0[1] + p2[1];
      const float a1r = p0[0] - p2[0], a1i = p0[1] - p2[1];
      const float a2r = p1[0] + p3[0], a2i = p1[1] + p3[1];
      const float a3r = p1[0] - p3[0], a3i = p1[1] - p3[1];
      // y1 = a1 + s i a3, y3 = a1 - s i a3
      const float y1r = kPositive ? a1r - a3i : a1r + a3i;
      const float y1i = kPositive ? a1i + a3r : a1i - a3r;
      const float y3r = kPositive ? a1r + a3i : a1r - a3i;
      const float y3i = kPositive ? a1i - a3r : a1i + a3r;
      const float y2r = a0r - a2r, y2i = a0i - a2i;
      p0[0] = a0r + a2r;
      p0[1] = a0i + a2i;
      // Bit-reversed slots: y2 to the second quarter, y1 to the third.
      p1[0] = y2r * c2 - y2i * s2;
      p1[1] = y2r * s2 + y2i * c2;
      p2[0] = y1r * c1 - y1i * s1;
      p2[1] = y1r * s1 + y1i * c1;
      p3[0] = y3r * c3 - y3i * s3;
      p3[1] = y3r * s3 + y3i * c3;
    }
  }
}

// In-place DFT of m complex values (interleaved re, im; m a power of two,
// 2..2048): X[k] = sum_j x[j] e^(s 2 pi i jk/m), s = +1 when kPositive, else -1.
// tw holds the quarter circle of an mt-point DFT (mt >= m, both powers of two).
template <bool kPositive>
void ComplexDft(float* a, uint32_t m, const float* tw, uint32_t mt, int32_t* scratch) {
  const FftTwiddles t{tw, mt / m, m / 4};
#if defined(__SSE2__)
  const bool sse2 = (CpuFeatures() & CPU_SSE2) != 0;
#else
  const bool sse2 = false;
#endif
  uint32_t len = m;
  for (; len >= 8; len /= 4) {
    if (sse2) {
      FftRadix4Stage_sse2(a, m, len, t, kPositive);
    } else {
      Radix4Stage<kPositive>(a, m, len, t);
    }
  }
  if (len == 4) {
    for (uint32_t base = 0; base < m; base += 4) {
      float* p = a + 2 * base;
      const float a0r = p[0] + p[4], a0i = p[1] + p[5];
      const float a1r = p[0] - p[4], a1i = p[1] - p[5];
      const float a2r = p[2] + p[6], a2i = p[3] + p[7];
      const float a3r = p[2] - p[6], a3i = p[3] - p[7];
      p[0] = a0r + a2r;
      p[1] = a0i + a2i;
      p[2] = a0r - a2r;
      p[3] = a0i - a2i;
      p[4] = kPositive ? a1r - a3i : a1r + a3i;
      p[5] = kPositive ? a1i + a3r : a1i - a3r;
      p[6] = kPositive ? a1r + a3i : a1r - a3i;
      p[7] = kPositive ? a1i - a3r : a1i + a3r;
    }
  } else if (len == 2) {
    for (uint32_t base = 0; base < m; base += 2) {
      float* p = a + 2 * base;
      const float xr = p[0] - p[2], xi = p[1] - p[3];
      p[0] += p[2];
      p[1] += p[3];
      p[2] = xr;
      p[3] = xi;
    }
  }

  // Bit reversal of b = log2(m) bits: index = hi * 2^l + lo with h = b/2
  // bits of hi and l = b - h bits of lo; scratch holds rev_h for 0..2^h-1.
  const int b = Log2(m);
  const int h = b / 2, l = b - h;
  const uint32_t hn = 1u << h, hmask = hn - 1;
  scratch[0] = 0;
  for (int bit = 0; bit < h; ++bit) {
    const uint32_t half = 1u << bit;
    for (uint32_t x = 0; x < half; ++x) {
      scratch[x] <<= 1;
      scratch[x + half] = scratch[x] | 1;
    }
  }
  for (uint32_t hi = 0; hi < hn; ++hi) {
    const uint32_t revHi = uint32_t(scratch[hi]);
    for (uint32_t lo = 0; lo < (1u << l); ++lo) {
      const uint32_t i = (hi << l) | lo;
      const uint32_t revLo =
          l == h ? uint32_t(scratch[lo]) : (uint32_t(scratch[lo & hmask]) << 1) | (lo >> h);
      const uint32_t j = (revLo << h) | revHi;
      if (i < j) {
        std::swap(a[2 * i], a[2 * j]);
        std::swap(a[2 * i + 1], a[2 * j + 1]);
      }
    }
  }
}

}  // namespace

uint32_t AudioTransformIndexAreaSize(uint32_t n) {
  return 2 + uint32_t(std::lround(std::sqrt(double(n / 2))));
}

uint32_t AudioTransformTableSize(uint32_t n, bool dct) { return n / 4 + (dct ? n : n / 4); }

void InverseRealDft(uint32_t n, float* a, int32_t* ip, float* table) {
  assert(IsPowerOfTwo(n) && n >= 8 && n <= 4096);
  EnsureTables(n, n / 4, ip, table);
  const uint32_t nw = uint32_t(ip[0]), nc = uint32_t(ip[1]);
  const float* c = table + nw;

  a[1] = 0.5f * (a[0] - a[1]);
  a[0] -= a[1];

  // Split the spectrum of the interleaved signal into that of the complex
  // sequence whose DFT gives the even and odd samples.
  const uint32_t m = n / 2;
  const uint32_t ks = 2 * nc / m;
  uint32_t kk = 0;
  for (uint32_t j = 2; j < m; j += 2) {
    const uint32_t k = n - j;
    kk += ks;
    const float wkr = 0.5f - c[nc - kk];
    const float wki = c[kk];
    const float xr = a[j] - a[k];
    const float xi = a[j + 1] + a[k + 1];
    const float yr = wkr * xr + wki * xi;
    const float yi = wkr * xi - wki * xr;
    a[j] -= yr;
    a[j + 1] -= yi;
    a[k] += yr;
    a[k + 1] -= yi;
  }
  ComplexDft<false>(a, m, table, 2 * nw, ip + 2);
}

void InverseDct(uint32_t n, float* a, int32_t* ip, float* table) {
  assert(IsPowerOfTwo(n) && n >= 8 && n <= 4096);
  EnsureTables(n, n, ip, table);
  const uint32_t nw = uint32_t(ip[0]), nc = uint32_t(ip[1]);
  const float* c = table + nw;
  const uint32_t m = n / 2;

  const uint32_t ks = nc / n;
  for (uint32_t j = 1; j < m; ++j) {
    const uint32_t k = n - j;
    const uint32_t kk = j * ks;
    const float wkr = c[kk] - c[nc - kk];
    const float wki = c[kk] + c[nc - kk];
    const float xr = wki * a[j] - wkr * a[k];
    a[j] = wkr * a[j] + wki * a[k];
    a[k] = xr;
  }
  a[m] *= c[0];

  ComplexDft<true>(a, m, table, 2 * nw, ip + 2);
  const uint32_t ks2 = 2 * nc / m;
  uint32_t kk = 0;
  for (uint32_t j = 2; j < m; j += 2) {
    const uint32_t k = n - j;
    kk += ks2;
    const float wkr = 0.5f - c[nc - kk];
    const float wki = c[kk];
    const float xr = a[j] - a[k];
    const float xi = a[j + 1] + a[k + 1];
    const float yr = wkr * xr - wki * xi;
    const float yi = wkr * xi + wki * xr;
    a[j] -= yr;
    a[j + 1] -= yi;
    a[k] += yr;
    a[k + 1] -= yi;
  }

  const float xr = a[0] - a[1];
  a[0] += a[1];
  for (uint32_t j = 2; j < n; j += 2) {
    a[j - 1] = a[j] - a[j + 1];
    a[j] += a[j + 1];
  }
  a[n - 1] = xr;
}

}  // namespace tarn
