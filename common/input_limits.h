// Caps on sizes taken from untrusted files. A value above a cap is treated like
// an allocation failure, so a hostile header cannot ask for unbounded memory.
#pragma once

#include <cstdint>

namespace tarn {

inline constexpr uint64_t kMaxAllocation = uint64_t(1) << 34;   // 16 GiB for any one block
inline constexpr uint32_t kMaxPictureSide = 16384;               // pixels, width or height
inline constexpr uint32_t kMaxAudioTracks = 1024;                // tracks in one movie

}  // namespace tarn
