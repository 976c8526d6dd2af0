// The line converters behind the copy, their dispatch table, the converter
// selection and the two copy drivers. The drivers work on a plain description
// of the source planes, so they run without a movie.
#pragma once

#include <cstdint>

#include "common/little_endian.h"
#include "common/cpu_features.h"
#include "convert/copy.h"

namespace tarn {

// Component layout of a format: bit position and width of red, green, blue and
// alpha in the pixel value (alpha width 0: the format has no alpha bits).
struct ComponentLayout {
  uint8_t position;
  uint8_t width;
};
struct FormatLayout {
  ComponentLayout red, green, blue, alpha;
};

// Layouts of the RGB formats 0-12, indexed by format code.
inline constexpr int kRgbFormatCount = 13;
inline constexpr FormatLayout kFormatLayouts[kRgbFormatCount] = {
    {{0, 3}, {3, 3}, {6, 2}, {0, 0}},        // 0: 3-3-2 palette index
    {{16, 8}, {8, 8}, {0, 8}, {0, 0}},       // 1
    {{0, 8}, {8, 8}, {16, 8}, {0, 0}},       // 2
    {{16, 8}, {8, 8}, {0, 8}, {0, 0}},       // 3
    {{0, 8}, {8, 8}, {16, 8}, {0, 0}},       // 4
    {{16, 8}, {8, 8}, {0, 8}, {24, 8}},      // 5
    {{0, 8}, {8, 8}, {16, 8}, {24, 8}},      // 6
    {{8, 4}, {4, 4}, {0, 4}, {12, 4}},       // 7
    {{10, 5}, {5, 5}, {0, 5}, {15, 1}},      // 8
    {{10, 5}, {5, 5}, {0, 5}, {0, 0}},       // 9
    {{11, 5}, {5, 6}, {0, 5}, {0, 0}},       // 10
    {{10, 6}, {5, 5}, {0, 5}, {0, 0}},       // 11
    {{10, 6}, {4, 6}, {0, 4}, {0, 0}},       // 12
};

// 2 x 2 ordered dither with step s: even rows add 0 at even x and s/2 at odd
// x, odd rows s/4 and 3s/4.
constexpr int DitherValue(int step, uint32_t row, uint32_t x) {
  return (row & 1) ? ((x & 1) ? 3 * step / 4 : step / 4) : ((x & 1) ? step / 2 : 0);
}

// Stores one pixel value of 1-4 bytes, little-endian.
template <uint32_t Bytes>
inline void StorePixel(uint8_t* d, uint32_t p) {
  if constexpr (Bytes == 1) {
    d[0] = uint8_t(p);
  } else if constexpr (Bytes == 2) {
    StoreLe16(d, uint16_t(p));
  } else if constexpr (Bytes == 3) {
    d[0] = uint8_t(p);
    d[1] = uint8_t(p >> 8);
    d[2] = uint8_t(p >> 16);
  } else {
    StoreLe32(d, p);
  }
}

// Alpha bits of formats 5-8 in both paths: the sample unchanged in bits 24-31
// (5, 6), or its top bits (7: 4 bits at 12, 8: 1 bit at 15).
template <uint32_t F>
inline uint32_t AlphaBits(uint8_t a) {
  constexpr ComponentLayout l = kFormatLayouts[F].alpha;
  return (uint32_t(a) >> (8 - l.width)) << l.position;
}

// Tables of the table-driven converters, built once per process.
inline constexpr int kComponentBias = 384;   // index = luma-plus-chroma sum + bias
inline constexpr int kComponentSize = 1024;  // sums lie in -260..558 (dither included)
struct ComponentTables {
  uint32_t red[kComponentSize], green[kComponentSize], blue[kComponentSize];
};
struct ColourTables {
  uint8_t luma[256];   // 0 below 16, 255 from 235, (Y - 16) * 76392 >> 16 between
  int8_t chroma[256];  // (x - 128) * 26572 >> 16 (arithmetic), -52..51
  ComponentTables component[kRgbFormatCount];  // clamp(sum) >> (8 - width) << position
};
const ColourTables& ColourTablesGet();

// One run of one source line. Chroma sample i of the run's pixel pairs is
// cr[((x & 1) + k) / 2] for the run's pixel k, so a run may start on an odd x.
struct ConvertLine {
  uint8_t* dst;           // destination of the run's first pixel
  const uint8_t* y;       // count luma samples (the alpha plane when showing alpha)
  const uint8_t* cr;      // first chroma of the run (at x / 2), or a grey line
  const uint8_t* cb;      // second chroma, likewise
  const uint8_t* a;       // count alpha samples (luma when showing alpha); alpha converters only
  uint8_t* dstV;          // planar format: chroma destinations, null on lines without chroma
  uint8_t* dstU;
  uint32_t dstChromaRoom; // planar format: chroma bytes that may be written at dstV / dstU
  uint32_t x;             // source column of the first pixel: chroma pairing and dither
  uint32_t count;         // pixels, >= 1
  uint32_t row;           // dither phase, 0 or 1
  const ColourTables* tables;
};

// Writes count pixels (twice each for the doubled variants) at dst, and for the
// planar format the run's chroma samples; reads only the samples named above.
using LineConvertFn = void (*)(const ConvertLine& line);

// Line converters by format, width doubling and alpha; null where a path has
// no member (alpha variants exist only for 5-8, packed ones for 0-14).
struct ConvertDsp {
  LineConvertFn line[COPY_FORMAT_COUNT][2][2];  // [format][widthDoubled][alpha]
};
// The table-driven converters and the plain YUV copies (every format).
void ConvertDspInitTable(ConvertDsp& dsp);
// The packed arithmetic (formats 0-14): the scalar model of it, overridden by
// SIMD members the cpu word allows.
void ConvertDspInitPacked(ConvertDsp& dsp, CpuFlags cpu);
void ConvertDspInitPackedSse2(ConvertDsp& dsp);  // x86 only

// Packed arithmetic, one pixel: signed 16-bit words with four fraction bits.
// hi(a * b) is the high half of the signed 32-bit product.
inline constexpr int16_t kPackedLumaGain = 19081;
inline constexpr int16_t kPackedChromaGain = 26640;
inline constexpr int16_t kPackedRedBias = 0x61D0;
inline constexpr int16_t kPackedGreenBias = 0x78A7;
inline constexpr int16_t kPackedBlueBias = 0x5E8D;
inline constexpr uint16_t kPackedFloor = 0x7000;

constexpr int PackedMulHi(int a, int b) { return (a * b) >> 16; }
constexpr int PackedAddSat(int a, int b) {
  const int s = int(int16_t(a)) + int(int16_t(b));
  return s > 32767 ? 32767 : (s < -32768 ? -32768 : s);
}
constexpr int PackedSubFloor(int a) {  // unsigned saturating subtract of the floor
  const int u = int(uint16_t(a));
  return u > kPackedFloor ? u - kPackedFloor : 0;
}
struct PackedRgb {
  int red, green, blue;  // 0..4095 (12 bits: 8 bits and four fraction bits)
};
// dither*: per-component dither in sixteenths, added to the bias.
constexpr PackedRgb PackedPixel(int y, int cr, int cb, int ditherR, int ditherG, int ditherB) {
  const int yy = PackedMulHi(y * 64, kPackedLumaGain);    // 0..4751
  const int u = PackedMulHi(cb * 16, kPackedChromaGain);  // 0..1658
  const int v = PackedMulHi(cr * 32, kPackedChromaGain);  // 0..3317
  return {PackedSubFloor(PackedAddSat(yy + 2 * v, kPackedRedBias + ditherR)),
          PackedSubFloor(PackedAddSat(yy - u - v, kPackedGreenBias + ditherG)),
          PackedSubFloor(PackedAddSat(yy + 5 * u, kPackedBlueBias + ditherB))};
}

// Dither steps of the packed converters: per component, 1 << (12 - width), for
// the 8- and 16-bit formats; 0 (no dither) otherwise.
constexpr int PackedDitherStep(uint32_t format, const ComponentLayout& c) {
  return (format == 0 || (format >= 7 && format <= 12)) ? 1 << (12 - c.width) : 0;
}

// The current converter, chosen by ConvertSelect.
struct ConvertConfig {
  LineConvertFn line = nullptr;
  uint32_t format = 0;
  uint32_t bytesPerPixel = 0;  // after width doubling; luma bytes for the planar format
  bool widthDoubled = false;
  bool lineDoubled = false;    // each line is also written to the next destination line
  bool alpha = false;          // the converter reads the alpha samples
  bool packed = false;         // packed arithmetic (else table-driven or a plain copy)
};

// Tries the handler list in order; false (and no converter) when none accepts
// the format code.
bool ConvertSelect(ConvertConfig& config, uint32_t format, uint32_t displayOption, CpuFlags cpu,
                   bool hasAlpha);

}  // namespace tarn
