// Block-level coding of the video stream: the decoder's inverse transform
// kept wide (on its own arithmetic, so the encoder's reference frames match),
// a forward transform fitted to it, and the writers of coefficient lists and
// residues. Coefficient and residue arrays are in coefficient order.
#pragma once

#include <cstdint>

#include "video/bit_writer.h"

namespace tarn::encoder {

// The decoder's dequantise + inverse transform of coef (coefficient order)
// with the factor row quant, before the store: out[position] is the sample
// value the decoder keeps the low 8 bits of (IdctPut) or adds to the source.
void IdctSamples(const int16_t coef[64], const int32_t quant[64], int32_t out[64]);

// Forward transform of 64 values by position (row * 8 + column) into the
// dequantised domain of the decoder: IdctSamples of coefficients c with
// (c * f) >> 11 == s[position] reproduces the input closely.
void ForwardTransform(const double in[64], double s[64]);

// Quantises s (by position) with a factor row into coefficient order. The DC
// term is quantised to the nearest value and limited to [dcMin, dcMax]; AC
// terms use a dead zone (0 <= deadZone < 0.5) and are limited so that every
// dequantised product stays far inside 32 bits.
void QuantiseBlock(const double s[64], const int32_t quant[64], double deadZone, int dcMin,
                   int dcMax, int16_t coef[64]);

// Writes coefficients 1..63 as the decoder's list coding reads them. Returns
// false (writing nothing useful) only if a magnitude needs more than 15 levels.
bool WriteCoefficients(BitWriter& out, const int16_t coef[64]);
// The bits WriteCoefficients would write; -1 where it would return false.
int CoefficientBits(const int16_t coef[64]);

// QuantiseBlock with kDeadZone at row q of the intra or inter factors, in
// one pass with the transform-domain error (returned) and a quick estimate
// of the bits: 4, and each coefficient's bit length and 3.
double QuantiseTrial(const double s[64], bool inter, int q, int dcMin, int dcMax, int16_t coef[64], int* estimate);

// The squared error over a block's samples that a unit error of the
// dequantised value at a position (row * 8 + column) makes.
double TransformEnergy(int position);

// The dead zone of the transforms' quantisation: magnitudes are rounded down
// from .72 of a step (measured on the photographs: a smaller one spends more
// bytes than its gain is worth at every quality, a larger one loses more).
inline constexpr double kDeadZone = 0.22;

// Writes the 7-bit change limit and the residue as the decoder reads them.
// target holds values in -127..127; at most maxChanges (1..128) changes are
// coded, in bit-plane order. decoded receives what the decoder rebuilds.
void WriteResidue(BitWriter& out, const int8_t target[64], int maxChanges, int8_t decoded[64]);

}  // namespace tarn::encoder
