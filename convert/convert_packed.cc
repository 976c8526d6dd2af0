// The packed arithmetic as scalar code: the model the SIMD members are checked
// against, and the pieces of a run (head, tail) that SIMD leaves over. Writes
// exactly count pixels (2 x count doubled) and reads what the table-driven
// converters read.
#include "convert/convert_packed_internal.h"

#include <utility>

namespace tarn {
namespace {

template <uint32_t F, bool Doubled, bool Alpha>
void LinePacked(const ConvertLine& l) {
  PackedRunScalar<F, Doubled, Alpha>(l.dst, l.y, l.cr, l.cb, l.a, l.x, l.count, l.row);
}

template <uint32_t F>
void SetPacked(ConvertDsp& dsp) {
  dsp.line[F][0][0] = LinePacked<F, false, false>;
  dsp.line[F][1][0] = LinePacked<F, true, false>;
  if constexpr (kFormatLayouts[F].alpha.width != 0) {
    dsp.line[F][0][1] = LinePacked<F, false, true>;
    dsp.line[F][1][1] = LinePacked<F, true, true>;
  }
}

template <uint32_t... F>
void SetPackedAll(ConvertDsp& dsp, std::integer_sequence<uint32_t, F...>) {
  (SetPacked<F>(dsp), ...);
}

}  // namespace

void ConvertDspInitPacked(ConvertDsp& dsp, CpuFlags cpu) {
  ConvertDsp plain;
  ConvertDspInitTable(plain);
  dsp = ConvertDsp{};
  SetPackedAll(dsp, std::make_integer_sequence<uint32_t, kRgbFormatCount>{});
  // Packed YUV has no arithmetic: the packed members write the plain copy's bytes.
  for (uint32_t f : {COPY_FORMAT_YUY2, COPY_FORMAT_UYVY})
    for (int d = 0; d < 2; ++d) dsp.line[f][d][0] = plain.line[f][d][0];
#if defined(__x86_64__) || defined(__i386__)
  if (cpu & CPU_SSE2) ConvertDspInitPackedSse2(dsp);
#else
  (void)cpu;
#endif
}

}  // namespace tarn
