// The processor-feature word, probed once. The converters and the video
// decoder pick their packed variants by it; TARN_NO_SIMD=1 forces it to 0.
#pragma once

#include <cstdint>

namespace tarn {

using CpuFlags = uint32_t;
inline constexpr CpuFlags CPU_MMX = 1u << 0;
inline constexpr CpuFlags CPU_3DNOW = 1u << 1;
inline constexpr CpuFlags CPU_SSE = 1u << 2;
inline constexpr CpuFlags CPU_SSE2 = 1u << 3;
inline constexpr CpuFlags CPU_PROBED = 1u << 31;  // set once the word is valid

// The cached word (with CPU_PROBED), masked by the override below.
CpuFlags CpuFeatures();

// What the processor itself reports, without TARN_NO_SIMD or the override.
CpuFlags CpuFlagsDetect();

// Tests force a lower level: the word returned by CpuFeatures is ANDed with
// mask (CPU_PROBED always stays). ~0u restores the detected word.
void CpuFeaturesSetMask(CpuFlags mask);

}  // namespace tarn
