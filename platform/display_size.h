// The size of the primary display, for centring and full-screen layout. The
// core has no display: the query answers 640 x 480 until the player installs
// one that asks the window system.
#pragma once

#include <cstdint>

namespace tarn {

struct DisplaySize {
  int32_t width;
  int32_t height;
};

using DisplaySizeQuery = DisplaySize (*)();

// Installs query (nullptr restores the 640 x 480 default).
void SetPrimaryDisplaySizeQuery(DisplaySizeQuery query);

DisplaySize PrimaryDisplaySize();

}  // namespace tarn
