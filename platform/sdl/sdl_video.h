// The SDL2 player window: creates (or wraps) an SDL window and offers it as a
// VideoWindow. Callers need no SDL headers; the video subsystem is initialised
// by the first window and shut down with the last.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/video_window.h"

namespace tarn {

inline constexpr uint32_t VIDEO_WINDOW_HIDDEN = 1u << 0;     // created not shown
inline constexpr uint32_t VIDEO_WINDOW_BORDERLESS = 1u << 1;  // no decorations
inline constexpr uint32_t VIDEO_WINDOW_RESIZABLE = 1u << 2;

// A new window with a client area of width x height; nullptr when SDL cannot
// make one (SdlVideoError() says why).
std::unique_ptr<VideoWindow> SdlVideoWindowCreate(const char* title, int width, int height,
                                                  uint32_t flags);

// Wraps a window the caller made (an SDL_Window*); the caller keeps it alive
// for the wrapper's lifetime and destroys it afterwards.
std::unique_ptr<VideoWindow> SdlVideoWindowWrap(void* sdlWindow);

// SDL's last error text; never null.
const char* SdlVideoError();

}  // namespace tarn
