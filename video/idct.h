// The arithmetic of the 8 x 8 inverse transform, shared by the decoder's
// scalar transform and the encoder's model of it: dequantisation, the 1-D
// butterfly and the final descale. All wrap as 32-bit arithmetic.
#pragma once

#include <cstdint>

namespace tarn {

// (c * v) >> 11 on the 32-bit wrapped product, shift arithmetic.
struct IdctFixedMul {
  uint32_t operator()(int32_t c, uint32_t v) const { return uint32_t(int32_t(uint32_t(c) * v) >> 11); }
};

// A coefficient times its factor, >> 11 on the wrapped product.
inline uint32_t IdctDequant(int16_t c, int32_t f) { return uint32_t(int32_t(uint32_t(int32_t(c)) * uint32_t(f)) >> 11); }

// One pass over eight values. mul(c, v) multiplies by c / 2048: IdctFixedMul
// for the decoder's integers, a plain product for a model in double. The
// constants are 2048 times sqrt(2) (2896), 2 cos(pi/8) (3784),
// 2 (cos(pi/8) + sin(pi/8)) (5352) and 2 (cos(pi/8) - sin(pi/8)) (2217).
template <typename T, typename Mul>
inline void IdctButterfly(const T s[8], T t[8], Mul mul) {
  const T a0 = s[0] + s[4], a1 = s[0] - s[4], a2 = s[2] + s[6], a3 = mul(2896, s[2] - s[6]);
  const T a4 = s[5] + s[3], a5 = s[5] - s[3], a6 = s[1] + s[7], a7 = s[1] - s[7];
  const T b0 = a4 + a6, b1 = mul(3784, a5 + a7);
  const T b2 = mul(-5352, a5) - b0 + b1;
  const T b3 = mul(2896, a6 - a4) - b2;
  const T b4 = mul(2217, a7) + b3 - b1;
  t[0] = a0 + a2 + b0;
  t[1] = a1 + a3 - a2 + b2;
  t[2] = a1 - a3 + a2 + b3;
  t[3] = a0 - a2 - b4;
  t[4] = a0 - a2 + b4;
  t[5] = a1 - a3 + a2 - b3;
  t[6] = a1 + a3 - a2 - b2;
  t[7] = a0 + a2 - b0;
}

// The sample value of a second-pass output, before the decoder keeps its low
// 8 bits: (t + 127) >> 8, shift arithmetic.
inline int32_t IdctDescale(uint32_t t) { return int32_t(t + 127) >> 8; }

}  // namespace tarn
