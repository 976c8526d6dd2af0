// Fixed tables of the video stream as the encoder needs them: the sixteen code
// shapes (as code words), the coefficient and run scans, and the two
// dequantisation tables. All are built once and then read-only.
#pragma once

#include <cstdint>

namespace tarn::encoder {

inline constexpr int kCodeShapeCount = 16;

struct CodeWord {
  uint16_t bits;   // the code, first stream bit in bit 0
  uint8_t length;  // 1..7
};

// kCodeShapes()[shape][codeIndex]; every shape is a complete prefix code.
const CodeWord (&CodeShapes())[kCodeShapeCount][16];

// Coefficient order k -> sample position (row * 8 + column).
extern const uint8_t kCoefficientScan[64];
// Sixteen pixel orders of the run blocks, positions 0..63.
extern const uint8_t kRunScans[16][64];

// Dequantisation factors [q][position]; (c * f) >> 11 is the dequantised value.
const int32_t (&IntraQuantTable())[16][64];
const int32_t (&InterQuantTable())[16][64];

}  // namespace tarn::encoder
