// Inverse transforms of the audio decoder, in place on n 32-bit floats (n a
// power of two, 8..4096). The caller owns the data, the index area and the
// table; the tables are built on the first call and reused while n stays
// within what they cover. Nothing is allocated.
#pragma once

#include <cstdint>

namespace tarn {

// Entries of the index area: 2 + round(sqrt(n / 2)). Entry 0 is the number of
// twiddle floats built (0 = none yet), entry 1 the number of cosine floats
// built; the rest is scratch for the bit-reversal permutation.
uint32_t AudioTransformIndexAreaSize(uint32_t n);

// Floats of the table: n/4 twiddles (the quarter circle of the n/2-point
// complex DFT as cos/sin pairs) followed by the cosine table, n/4 floats for
// the real DFT and n for the DCT.
uint32_t AudioTransformTableSize(uint32_t n, bool dct);

// data[0] = R0, data[1] = R(n/2), data[2k] = Rk, data[2k+1] = Ik (0 < k < n/2)
// becomes data[j] = (R0 + R(n/2) cos(pi j)) / 2 + sum_k (Rk cos(2 pi jk/n) + Ik sin(2 pi jk/n)).
void InverseRealDft(uint32_t n, float* data, int32_t* transformIndexArea, float* transformTable);

// data'[k] = sum_j data[j] cos(pi j (k + 1/2) / n), data[0] at full weight.
void InverseDct(uint32_t n, float* data, int32_t* transformIndexArea, float* transformTable);

}  // namespace tarn
