// Copying decoded planes into a caller's pixel buffer: the copy flags, the
// sixteen destination formats and CopyPlanes over plain descriptions of the
// planes and the destination. The movie's MovieCopyToBuffer is built on it.
#pragma once

#include <cstdint>

#include "common/cpu_features.h"
#include "common/plane_order.h"
#include "convert/display_option.h"

namespace tarn {

class WorkerPool;

// Destination formats: bits 0-3 of the copy flags. Bit numbers are within the
// little-endian pixel value.
enum CopyFormat : uint32_t {
  COPY_FORMAT_8_332 = 0,    // palette index: red bits 0-2, green 3-5, blue 6-7
  COPY_FORMAT_24_RGB = 1,   // red 16-23, green 8-15, blue 0-7 (bytes: blue, green, red)
  COPY_FORMAT_24_BGR = 2,   // red 0-7, green 8-15, blue 16-23 (bytes: red, green, blue)
  COPY_FORMAT_32_XRGB = 3,  // red 16-23, green 8-15, blue 0-7, bits 24-31 zero
  COPY_FORMAT_32_XBGR = 4,  // blue 16-23, green 8-15, red 0-7, bits 24-31 zero
  COPY_FORMAT_32_ARGB = 5,  // as 3 with alpha in 24-31 when the frame has alpha
  COPY_FORMAT_32_ABGR = 6,  // as 4 with alpha in 24-31 when the frame has alpha
  COPY_FORMAT_16_4444 = 7,  // alpha 12-15, red 8-11, green 4-7, blue 0-3
  COPY_FORMAT_16_1555 = 8,  // alpha 15, red 10-14, green 5-9, blue 0-4
  COPY_FORMAT_16_X555 = 9,  // bit 15 zero, red 10-14, green 5-9, blue 0-4
  COPY_FORMAT_16_565 = 10,  // red 11-15, green 5-10, blue 0-4
  COPY_FORMAT_16_655 = 11,  // red 10-15, green 5-9, blue 0-4
  COPY_FORMAT_16_664 = 12,  // red 10-15, green 4-9, blue 0-3
  COPY_FORMAT_YUY2 = 13,    // pixel pairs as bytes Y0, U, Y1, V
  COPY_FORMAT_UYVY = 14,    // pixel pairs as bytes U, Y0, V, Y1
  COPY_FORMAT_YV12 = 15,    // Y plane, then V plane, then U plane, chroma at half size
  COPY_FORMAT_COUNT = 16,
};

inline constexpr uint32_t COPY_FORMAT_MASK = 0x0000000F;
inline constexpr uint32_t COPY_SHOW_ALPHA = 0x00000800;       // show the alpha plane as luma
inline constexpr uint32_t COPY_SWAP_CHROMA = 0x00010000;      // chroma planes exchanged (old files)
inline constexpr uint32_t COPY_GREY = 0x00020000;             // chroma replaced by 128
inline constexpr uint32_t COPY_NEVER_SKIP = 0x00080000;       // copy even when late
inline constexpr uint32_t COPY_NO_READ_SERVICE = 0x00200000;  // give the reader no time
inline constexpr uint32_t COPY_NO_RECTS = 0x04000000;         // MovieGetRects reports none
inline constexpr uint32_t COPY_ONE_RECT = 0x08000000;         // MovieGetRects reports one
inline constexpr uint32_t COPY_DISPLAY_MASK = DISPLAY_OPTION_MASK;    // display option 1-7
inline constexpr uint32_t COPY_DISPLAY_SHIFT = DISPLAY_OPTION_SHIFT;
inline constexpr uint32_t COPY_FULL = 0x80000000;             // every block, changed or not

// Movie flags carried into every copy: display option, chroma swap and grey.
inline constexpr uint32_t kCopyMovieFlagsMask = 0x70030000;

// Bytes per destination pixel of a format without a width-doubling display
// option: 1 for the 8-bit and planar formats (the luma plane), 2 for 16-bit and
// packed YUV, 3 or 4 for 24- and 32-bit. 0 for a code outside 0-15.
constexpr uint32_t CopyFormatBytesPerPixel(uint32_t format) {
  constexpr uint8_t kBytes[COPY_FORMAT_COUNT] = {1, 3, 3, 4, 4, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2, 1};
  return format < COPY_FORMAT_COUNT ? kBytes[format] : 0;
}

// Decoded planes as the drivers read them.
struct CopySource {
  const uint8_t* plane[4];   // PLANE_LUMA, PLANE_CHROMA1 (Cr), PLANE_CHROMA2 (Cb), PLANE_ALPHA
  uint32_t stride[4];        // plane[PLANE_ALPHA] null: the frame has no alpha
  uint32_t width, height;    // decoded size in pixels; chroma planes hold (n + 1) / 2
  const uint8_t* changeMap;  // one byte per 16 x 16 block, non-zero when changed
  uint32_t mapStride;        // map bytes per block row
  uint32_t mapRows;          // block rows in the map
};

struct CopyDestination {
  uint8_t* data;    // top line of the buffer (also for a negative pitch)
  int32_t pitch;    // bytes between lines; negative: bottom-up
  uint32_t height;  // lines of the buffer (luma lines for the planar format)
  uint32_t x, y;    // start, in converted pixels and destination lines
};

struct CopyRect {
  uint32_t x, y, width, height;  // in plane pixels, inside the planes
};

// Converts rect into the destination with flags (format code, display option,
// COPY_SHOW_ALPHA, COPY_SWAP_CHROMA, COPY_GREY). changedOnly: only the runs of
// changed blocks. Writes only inside destination.height lines of |pitch|
// bytes (and the chroma planes behind them for the planar format). Returns
// false when no converter takes the format. With a pool of more than one
// thread, a large rectangle is converted in bands of lines at once, each
// band writing only its own lines; the result is the same.
bool CopyPlanes(const CopySource& source, const CopyDestination& destination,
                const CopyRect& rect, uint32_t flags, bool changedOnly, CpuFlags cpu,
                WorkerPool* pool = nullptr);

}  // namespace tarn
