// The converter selection and the two copy drivers (whole frame, changed
// blocks only) over a plain description of the decoded planes. The drivers
// write only inside the destination's lines; the planes are only read.
#include <algorithm>
#include <cstring>

#include "common/worker_pool.h"
#include "convert/convert_internal.h"
#include "convert/display_option.h"

namespace tarn {
namespace {

// The handler list, tried in order. Packed handlers need the MMX bit of the
// feature word (their SIMD members need SSE2 on top; without it the scalar
// model of the same arithmetic runs).
struct Handler {
  bool packed;
  uint8_t first, last;  // accepted format codes
  bool needsAlpha;
};
constexpr Handler kHandlers[] = {
    {true, 5, 6, true},     {true, 1, 6, false},    {true, 7, 8, true},   {true, 7, 12, false},
    {true, 13, 14, false},  {true, 0, 0, false},    {false, 5, 6, true},  {false, 1, 6, false},
    {false, 7, 8, true},    {false, 7, 12, false},  {false, 13, 14, false},
    {false, 15, 15, false}, {false, 0, 0, false},
};

// Pixels a band of a copy on the pool converts at least.
constexpr uint64_t kBandPixels = 64 * 1024;

constexpr uint32_t kGreyLineLength = 256;  // pixels per piece under COPY_GREY
constexpr uint8_t kGreyLine[kGreyLineLength] = {
#define TARN_GREY8 128, 128, 128, 128, 128, 128, 128, 128
#define TARN_GREY64 TARN_GREY8, TARN_GREY8, TARN_GREY8, TARN_GREY8, TARN_GREY8, TARN_GREY8, \
                    TARN_GREY8, TARN_GREY8
    TARN_GREY64, TARN_GREY64, TARN_GREY64, TARN_GREY64,
#undef TARN_GREY64
#undef TARN_GREY8
};

// Everything one copy needs per line, fixed at set-up.
struct Driver {
  ConvertConfig cfg;
  const ColourTables* tables;
  const uint8_t* luma;  // the plane read as luma (alpha when showing alpha)
  const uint8_t* cr;
  const uint8_t* cb;
  const uint8_t* alpha;  // the plane read as alpha; null unless the converter reads it
  uint32_t lumaStride, crStride, cbStride, alphaStride;
  bool grey;
  bool planar;

  CopyRect rect;
  uint8_t* data;
  size_t pitch;          // |pitch|
  bool bottomUp;
  uint32_t height;       // destination lines
  uint32_t destX, destY;
  // Planar chroma planes behind the luma plane.
  uint8_t* planeV;
  uint8_t* planeU;
  size_t chromaPitch;
  uint32_t chromaHeight;

  // Logical line k counts from destY in the direction of the copy.
  uint8_t* LumaLine(uint32_t k) const {
    const uint32_t line = destY + k;
    const size_t mem = bottomUp ? height - 1 - line : line;
    return data + mem * pitch + size_t(destX) * cfg.bytesPerPixel;
  }
  size_t ChromaLine(uint32_t c) const { return bottomUp ? chromaHeight - 1 - c : c; }

  // One run [c0, c1) of source row r into logical line k (and k + 1 when the
  // line is doubled and it exists).
  void Run(uint32_t r, uint32_t phase, uint32_t k, bool second, uint32_t c0, uint32_t c1) const {
    const uint8_t* lumaRow = luma + size_t(r) * lumaStride;
    const uint8_t* crRow = cr + size_t(r / 2) * crStride;
    const uint8_t* cbRow = cb + size_t(r / 2) * cbStride;
    const uint8_t* alphaRow = alpha ? alpha + size_t(r) * alphaStride : nullptr;
    uint8_t* line = LumaLine(k);
    uint8_t* line2 = second ? LumaLine(k + 1) : nullptr;
    const uint32_t piece = grey ? kGreyLineLength : c1 - c0;
    for (uint32_t x = c0; x < c1; x += piece) {
      ConvertLine l{};
      l.count = c1 - x < piece ? c1 - x : piece;
      l.x = x;
      l.row = phase;
      l.tables = tables;
      l.y = lumaRow + x;
      l.a = alphaRow ? alphaRow + x : nullptr;
      l.cr = grey ? kGreyLine : crRow + x / 2;
      l.cb = grey ? kGreyLine : cbRow + x / 2;
      const size_t offset = size_t(x - rect.x) * cfg.bytesPerPixel;
      l.dst = line + offset;
      if (!planar) {
        cfg.line(l);
        if (line2) std::memcpy(line2 + offset, l.dst, size_t(l.count) * cfg.bytesPerPixel);
        continue;
      }
      // Chroma goes with even source rows, to the chroma line of the luma
      // line; a doubled line also writes the next chroma line, which the
      // (chroma-less) odd source row after it would have needed.
      const size_t lumaColumn = size_t(destX) * cfg.bytesPerPixel + offset;
      const size_t chromaColumn = lumaColumn / 2;
      for (uint32_t copy = 0; copy < (line2 ? 2u : 1u); ++copy) {
        const uint32_t c = (destY + k) / 2 + copy;
        l.dst = (copy ? line2 : line) + offset;
        l.dstV = l.dstU = nullptr;
        if ((r & 1) == 0 && c < chromaHeight && chromaColumn < chromaPitch) {
          l.dstV = planeV + ChromaLine(c) * chromaPitch + chromaColumn;
          l.dstU = planeU + ChromaLine(c) * chromaPitch + chromaColumn;
          l.dstChromaRoom = uint32_t(chromaPitch - chromaColumn);
        }
        cfg.line(l);
      }
    }
  }
};

}  // namespace

bool ConvertSelect(ConvertConfig& config, uint32_t format, uint32_t displayOption, CpuFlags cpu,
                   bool hasAlpha) {
  config = ConvertConfig{};
  if (format >= COPY_FORMAT_COUNT) return false;
  if (displayOption == DISPLAY_FORCE_NONE) displayOption = DISPLAY_NONE;
  for (const Handler& h : kHandlers) {
    if (format < h.first || format > h.last) continue;
    if (h.packed && !(cpu & CPU_MMX)) continue;
    if (h.needsAlpha && !hasAlpha) continue;
    ConvertDsp dsp;
    if (h.packed)
      ConvertDspInitPacked(dsp, cpu);
    else
      ConvertDspInitTable(dsp);
    const bool doubled = DisplayDoublesWidth(displayOption);
    config.line = dsp.line[format][doubled][h.needsAlpha];
    if (!config.line) return false;
    config.format = format;
    config.widthDoubled = doubled;
    config.bytesPerPixel = CopyFormatBytesPerPixel(format) * (doubled ? 2 : 1);
    config.lineDoubled =
        displayOption == DISPLAY_HEIGHT_DOUBLED || displayOption == DISPLAY_BOTH_DOUBLED;
    config.alpha = h.needsAlpha;
    config.packed = h.packed;
    return true;
  }
  return false;
}

bool CopyPlanes(const CopySource& source, const CopyDestination& destination,
                const CopyRect& rectIn, uint32_t flags, bool changedOnly, CpuFlags cpu, WorkerPool* pool) {
  uint32_t display = (flags & COPY_DISPLAY_MASK) >> COPY_DISPLAY_SHIFT;
  if (display == DISPLAY_FORCE_NONE) display = DISPLAY_NONE;
  const bool hasAlpha = source.plane[PLANE_ALPHA] != nullptr;
  const bool showAlpha = (flags & COPY_SHOW_ALPHA) && hasAlpha;
  Driver d{};
  if (!ConvertSelect(d.cfg, flags & COPY_FORMAT_MASK, display, cpu, hasAlpha)) return false;
  if (!destination.data || !source.plane[PLANE_LUMA] || !source.plane[PLANE_CHROMA1] ||
      !source.plane[PLANE_CHROMA2])
    return true;

  CopyRect rect = rectIn;
  if (rect.x > source.width) rect.x = source.width;
  if (rect.y > source.height) rect.y = source.height;
  if (rect.width > source.width - rect.x) rect.width = source.width - rect.x;
  if (rect.height > source.height - rect.y) rect.height = source.height - rect.y;

  d.tables = &ColourTablesGet();
  const int luma = showAlpha ? PLANE_ALPHA : PLANE_LUMA;
  const int alpha = showAlpha ? PLANE_LUMA : PLANE_ALPHA;
  const bool swap = flags & COPY_SWAP_CHROMA;
  const int cr = swap ? PLANE_CHROMA2 : PLANE_CHROMA1;
  const int cb = swap ? PLANE_CHROMA1 : PLANE_CHROMA2;
  d.luma = source.plane[luma], d.lumaStride = source.stride[luma];
  d.cr = source.plane[cr], d.crStride = source.stride[cr];
  d.cb = source.plane[cb], d.cbStride = source.stride[cb];
  if (d.cfg.alpha) d.alpha = source.plane[alpha], d.alphaStride = source.stride[alpha];
  d.grey = flags & COPY_GREY;
  d.planar = d.cfg.format == COPY_FORMAT_YV12;

  d.data = destination.data;
  d.bottomUp = destination.pitch < 0;
  d.pitch = d.bottomUp ? size_t(-int64_t(destination.pitch)) : size_t(destination.pitch);
  d.height = destination.height;
  d.destX = destination.x;
  d.destY = destination.y;
  if (d.planar) {
    d.chromaPitch = d.pitch / 2;
    d.chromaHeight = (d.height + 1) / 2;
    d.planeV = d.data + d.pitch * d.height;
    d.planeU = d.planeV + d.chromaPitch * d.chromaHeight;
  }
  // Nothing beyond the destination's lines: clip the columns to the pitch and
  // the lines to the height.
  const size_t columns = d.pitch / d.cfg.bytesPerPixel;
  if (d.destX >= columns || d.destY >= d.height) return true;
  if (rect.width > columns - d.destX) rect.width = uint32_t(columns - d.destX);
  if (rect.width == 0 || rect.height == 0) return true;
  d.rect = rect;
  const uint32_t lineLimit = d.height - d.destY;

  // Lines per source line: 2 when doubling or interlacing; 1x interlacing also
  // reads every other source line.
  const bool everyOther = display == DISPLAY_INTERLACED;
  const uint32_t lineStep = (display == DISPLAY_NONE || display == DISPLAY_WIDTH_DOUBLED) ? 1 : 2;
  const uint32_t lines = everyOther ? (rect.height + 1) / 2 : rect.height;
  const bool useMap = changedOnly && source.changeMap;
  const uint32_t right = rect.x + rect.width;

  auto band = [&](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
      const uint32_t k = i * lineStep;
      if (k >= lineLimit) break;
      const uint32_t r = rect.y + (everyOther ? 2 * i : i);
      const uint32_t phase = (rect.y + i) & 1;
      const bool second = d.cfg.lineDoubled && k + 1 < lineLimit;
      if (!useMap) {
        d.Run(r, phase, k, second, rect.x, right);
        continue;
      }
      const uint32_t mapRow = r / 16;
      if (mapRow >= source.mapRows) continue;
      const uint8_t* map = source.changeMap + size_t(mapRow) * source.mapStride;
      uint32_t lastBlock = (right - 1) / 16;
      if (source.mapStride == 0) continue;
      if (lastBlock >= source.mapStride) lastBlock = source.mapStride - 1;
      for (uint32_t b = rect.x / 16; b <= lastBlock;) {
        if (!map[b]) {
          ++b;
          continue;
        }
        const uint32_t first = b;
        while (b <= lastBlock && map[b]) ++b;
        const uint32_t c0 = first * 16 > rect.x ? first * 16 : rect.x;
        const uint32_t c1 = b * 16 < right ? b * 16 : right;
        d.Run(r, phase, k, second, c0, c1);
      }
    }
  };

  // Line i writes destination line i * lineStep (and the one after it when
  // doubled) and, for the planar format, the chroma line of an even source
  // row only (two of them, doubled, which the odd row after it leaves
  // alone), so bands of lines write apart. A small copy is not worth waking
  // a thread for.
  const int threads = pool ? pool->threads() : 1;
  const uint64_t pixels = uint64_t(lines) * rect.width;
  if (threads < 2 || pixels < kBandPixels * 2 || lines < 64) {
    band(0, lines);
    return true;
  }
  const int bands = int(std::min<uint64_t>(uint64_t(threads), pixels / kBandPixels));
  const uint32_t per = ((lines + uint32_t(bands) - 1) / uint32_t(bands) + 15) & ~15u;
  pool->Run(bands, [&](int b) {
    const uint32_t from = std::min(lines, per * uint32_t(b));
    band(from, std::min(lines, from + per));
  });
  return true;
}

}  // namespace tarn
