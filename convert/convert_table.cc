// Table-driven line converters (three look-ups and two ors per pixel) and the
// plain copies for the YUV formats. They write exactly count pixels (2 x count
// for the width-doubled variants) and read count luma and alpha samples and
// the chroma samples that the run's pixels pair with.
#include <cstring>
#include <utility>

#include "convert/convert_internal.h"
#include "convert/convert_packed_internal.h"

namespace tarn {
namespace {

int Clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

ColourTables BuildColourTables() {
  ColourTables t{};
  for (int i = 0; i < 256; ++i) {
    t.luma[i] = uint8_t(i < 16 ? 0 : (i >= 235 ? 255 : ((i - 16) * 76392) >> 16));
    t.chroma[i] = int8_t(((i - 128) * 26572) >> 16);  // arithmetic shift: rounds down
  }
  for (int f = 0; f < kRgbFormatCount; ++f) {
    const FormatLayout& l = kFormatLayouts[f];
    ComponentTables& c = t.component[f];
    for (int i = 0; i < kComponentSize; ++i) {
      const uint32_t v = uint32_t(Clamp255(i - kComponentBias));
      c.red[i] = (v >> (8 - l.red.width)) << l.red.position;
      c.green[i] = (v >> (8 - l.green.width)) << l.green.position;
      c.blue[i] = (v >> (8 - l.blue.width)) << l.blue.position;
    }
  }
  return t;
}

// Dither of the table-driven path: the 8-bit format steps each component by
// its own loss; the 16-bit formats use one step, that of the largest loss.
struct TableDither {
  int red, green, blue;
};
constexpr TableDither TableDitherSteps(uint32_t f) {
  if (f == 0) return {32, 32, 64};
  if (f >= 7 && f <= 12) {
    const FormatLayout& l = kFormatLayouts[f];
    int minWidth = l.red.width;
    if (l.green.width < minWidth) minWidth = l.green.width;
    if (l.blue.width < minWidth) minWidth = l.blue.width;
    const int s = 1 << (8 - minWidth);
    return {s, s, s};
  }
  return {0, 0, 0};
}

constexpr uint32_t FormatBytes(uint32_t f) { return CopyFormatBytesPerPixel(f); }

template <uint32_t F, bool Doubled, bool Alpha>
void LineTable(const ConvertLine& l) {
  constexpr uint32_t kBytes = FormatBytes(F);
  constexpr uint32_t kStep = Doubled ? 2 * kBytes : kBytes;
  constexpr TableDither kSteps = TableDitherSteps(F);
  const ColourTables& t = *l.tables;
  const ComponentTables& c = t.component[F];
  const uint32_t* red = c.red + kComponentBias;
  const uint32_t* green = c.green + kComponentBias;
  const uint32_t* blue = c.blue + kComponentBias;
  // Dither by column parity for this row: [0] even x, [1] odd x.
  const int dr[2] = {DitherValue(kSteps.red, l.row, 0), DitherValue(kSteps.red, l.row, 1)};
  const int dg[2] = {DitherValue(kSteps.green, l.row, 0), DitherValue(kSteps.green, l.row, 1)};
  const int db[2] = {DitherValue(kSteps.blue, l.row, 0), DitherValue(kSteps.blue, l.row, 1)};

  uint8_t* d = l.dst;
  auto pixel = [&](uint32_t i, int v, int u, int parity) {
    const int y = t.luma[l.y[i]];
    uint32_t p = red[y + dr[parity] + 4 * v] | green[y + dg[parity] - 2 * v - u] |
                 blue[y + db[parity] + 5 * u];
    if constexpr (Alpha) p |= AlphaBits<F>(l.a[i]);
    StorePixel<kBytes>(d, p);
    if constexpr (Doubled) StorePixel<kBytes>(d + kBytes, p);
    d += kStep;
  };
  // Pairs share one chroma sample; a run starting at odd x begins with the odd
  // pixel of a pair whose even pixel lies before it.
  const uint8_t* crs = l.cr;
  const uint8_t* cbs = l.cb;
  uint32_t i = 0;
  if (l.x & 1) {
    pixel(0, t.chroma[*crs++], t.chroma[*cbs++], 1);
    i = 1;
  }
  for (; i + 2 <= l.count; i += 2) {
    const int v = t.chroma[*crs++];
    const int u = t.chroma[*cbs++];
    pixel(i, v, u, 0);
    pixel(i + 1, v, u, 1);
  }
  if (i < l.count) pixel(i, t.chroma[*crs], t.chroma[*cbs], 0);
}

// YV12: the luma run unchanged; with dstV set, (count + 1) / 2 samples of each
// chroma plane (doubled: count samples, every source sample twice), never
// more than dstChromaRoom.
template <bool Doubled>
void LineYv12(const ConvertLine& l) {
  if constexpr (Doubled) {
    for (uint32_t i = 0; i < l.count; ++i) l.dst[2 * i] = l.dst[2 * i + 1] = l.y[i];
  } else {
    std::memcpy(l.dst, l.y, l.count);
  }
  if (!l.dstV) return;
  if constexpr (Doubled) {
    const uint32_t n = l.count < l.dstChromaRoom ? l.count : l.dstChromaRoom;
    const uint32_t odd = l.x & 1;
    for (uint32_t j = 0; j < n; ++j) {
      l.dstV[j] = l.cr[(odd + j) >> 1];
      l.dstU[j] = l.cb[(odd + j) >> 1];
    }
  } else {
    uint32_t n = (l.count + 1) / 2;
    if (n > l.dstChromaRoom) n = l.dstChromaRoom;
    std::memcpy(l.dstV, l.cr, n);
    std::memcpy(l.dstU, l.cb, n);
  }
}

template <uint32_t F>
void SetRgb(ConvertDsp& dsp) {
  dsp.line[F][0][0] = LineTable<F, false, false>;
  dsp.line[F][1][0] = LineTable<F, true, false>;
  if constexpr (kFormatLayouts[F].alpha.width != 0) {
    dsp.line[F][0][1] = LineTable<F, false, true>;
    dsp.line[F][1][1] = LineTable<F, true, true>;
  }
}

template <uint32_t... F>
void SetRgbAll(ConvertDsp& dsp, std::integer_sequence<uint32_t, F...>) {
  (SetRgb<F>(dsp), ...);
}

}  // namespace

const ColourTables& ColourTablesGet() {
  static const ColourTables tables = BuildColourTables();
  return tables;
}

void ConvertDspInitTable(ConvertDsp& dsp) {
  dsp = ConvertDsp{};
  SetRgbAll(dsp, std::make_integer_sequence<uint32_t, kRgbFormatCount>{});
  dsp.line[COPY_FORMAT_YUY2][0][0] = LineYuvPacked<false, false>;
  dsp.line[COPY_FORMAT_YUY2][1][0] = LineYuvPacked<false, true>;
  dsp.line[COPY_FORMAT_UYVY][0][0] = LineYuvPacked<true, false>;
  dsp.line[COPY_FORMAT_UYVY][1][0] = LineYuvPacked<true, true>;
  dsp.line[COPY_FORMAT_YV12][0][0] = LineYv12<false>;
  dsp.line[COPY_FORMAT_YV12][1][0] = LineYv12<true>;
}

}  // namespace tarn
