// The order of a decoded picture's planes, shared by the video decoder that
// fills them, the copy that reads them and the tools that dump them.
#pragma once

#include <cstdint>

namespace tarn {

enum : uint32_t { PLANE_LUMA = 0, PLANE_CHROMA1 = 1, PLANE_CHROMA2 = 2, PLANE_ALPHA = 3 };
inline constexpr int kPlaneCount = 4;

}  // namespace tarn
