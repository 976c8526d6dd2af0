// Helpers of the display buffer shared with its tests: the copy stage's codes
// it needs, the black of each surface layout and the scale classes.
#pragma once

#include <cstdint>

namespace tarn {

// The copy stage's destination-format codes and copy-flag bits that the
// display buffer sets.
inline constexpr uint32_t COPY_FORMAT_MASK = 0xFu;
inline constexpr uint32_t COPY_NO_RECTS = 0x4000000u;
inline constexpr uint32_t COPY_ONE_RECT = 0x8000000u;
inline constexpr uint32_t COPY_FULL = 0x80000000u;

inline constexpr int kFormatYuy2 = 13;
inline constexpr int kFormatUyvy = 14;
inline constexpr int kFormatYv12 = 15;

// Bytes per pixel of each format code (1 for the Y plane of YV12).
inline constexpr int kFormatBytes[16] = {1, 3, 3, 4, 4, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2, 1};

// Fills width x height pixels at p (rows pitch bytes apart) with the black of
// format: zero bytes for RGB layouts; YUY2 words 0x80008000 and UYVY words
// 0x00800080 (an odd width ends with the half word 0x8000 / 0x0080); YV12 luma
// 16 and its two chroma planes, (height + 1) / 2 rows of (width + 1) / 2
// samples at pitch / 2 following the Y plane, 128. pitch > 0.
void DisplayFillBlack(uint8_t* p, int pitch, int width, int height, int format);

// The scale class of one axis: 0 when dest == source, else multiply, divide,
// stretch or shrink (the axis' X or Y bits, by yAxis). source and dest > 0.
uint32_t DisplayScaleClass(uint32_t source, uint32_t dest, bool yAxis);

}  // namespace tarn
