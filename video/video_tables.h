// Fixed tables of the video decoder: code shapes, pixel and coefficient
// orders, and the dequantisation factors. All are immutable and shared.
#pragma once

#include <cstdint>

namespace tarn {

inline constexpr int kCodeShapeCount = 16;
inline constexpr int kShapeLookupBits = 7;  // longest code of any shape
inline constexpr int kShapeLookupSize = 1 << kShapeLookupBits;
inline constexpr int kRunScanCount = 16;
inline constexpr int kQuantRows = 16;

// Code words per shape and code index, as bit strings in stream order.
extern const char* const kCodeShapeWords[kCodeShapeCount][16];

// [shape][next 7 stream bits, first-read bit = bit 0] -> (code length << 4) | code index.
// Shapes with shorter longest codes are replicated over the 7-bit index.
extern const uint8_t (&kShapeLookup)[kCodeShapeCount][kShapeLookupSize];

// [scan number][i] -> sample position (row * 8 + column), each row a permutation of 0..63.
extern const uint8_t kRunScans[kRunScanCount][64];

// [coefficient order k] -> sample position.
extern const uint8_t kCoefficientScan[64];

// [q][sample position] -> factor; a coefficient c dequantises to (c * factor) >> 11.
extern const int32_t (&kIntraQuant)[kQuantRows][64];
extern const int32_t (&kInterQuant)[kQuantRows][64];

}  // namespace tarn
