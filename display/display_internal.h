// Helpers of the display buffer shared with its tests: the black of each
// surface layout and the scale classes.
#pragma once

#include <cstdint>

#include "convert/copy.h"

namespace tarn {

inline constexpr int kFormatYuy2 = int(COPY_FORMAT_YUY2);
inline constexpr int kFormatUyvy = int(COPY_FORMAT_UYVY);
inline constexpr int kFormatYv12 = int(COPY_FORMAT_YV12);

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
