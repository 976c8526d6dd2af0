// The display buffer: the surface a movie's frames are copied into and the means
// to show it in the player's window, in one of ten blit styles. A frame goes
//   DisplayBufferLock -> MovieCopyToBuffer(surface, pitch, height, ..., copyFlags)
//   -> DisplayBufferUnlock -> MovieGetRects(copyFlags) -> DisplayBufferBlit.
// All calls run on the thread that owns the window; none of them throws.
// The window is a VideoWindow (platform/sdl/sdl_video.h makes or wraps one).
// The /D display-mode request (DisplayModeSetRequest) and the cursor helpers
// are in display/display_mode.h. Styles 3 to 9 draw through the window's
// renderer and repaint the whole client area (black around the frame) at each
// present; styles 1, 2 and 10 touch only the rectangles they show.
#pragma once

#include <cstdint>

#include "movie/movie.h"
#include "platform/video_window.h"

namespace tarn {

// DisplayBufferOpen flags: the blit style in the low five bits (0 = automatic),
// BUFFER_SET_MODE, and in the top byte the scale classes the caller will ask
// DisplayBufferSetScale for (a style is eligible only when it offers them all).
inline constexpr uint32_t BUFFER_STYLE_MASK = 0x1Fu;
inline constexpr uint32_t BUFFER_SET_MODE = 0x800000u;  // take the requested display mode
inline constexpr uint32_t BUFFER_X_MULTIPLY = 0x80000000u;  // destination width = n x width
inline constexpr uint32_t BUFFER_X_STRETCH = 0x40000000u;   // wider, not a multiple
inline constexpr uint32_t BUFFER_X_DIVIDE = 0x20000000u;    // width = n x destination width
inline constexpr uint32_t BUFFER_X_SHRINK = 0x10000000u;    // narrower, not a divisor
inline constexpr uint32_t BUFFER_Y_MULTIPLY = 0x8000000u;
inline constexpr uint32_t BUFFER_Y_STRETCH = 0x4000000u;
inline constexpr uint32_t BUFFER_Y_DIVIDE = 0x2000000u;
inline constexpr uint32_t BUFFER_Y_SHRINK = 0x1000000u;
inline constexpr uint32_t BUFFER_SCALE_MASK = 0xFF000000u;

// Blit styles (the numbers are those of the player's /B switch).
enum : uint32_t {
  BUFFER_STYLE_AUTOMATIC = 0,
  BUFFER_STYLE_WINDOW_SURFACE = 1,  // the window's own surface, written in place
  BUFFER_STYLE_SOFTWARE = 2,        // memory bitmap, (scaled) blit into the window surface
  BUFFER_STYLE_YV12_OVERLAY = 3,    // streaming textures, locked directly,
  BUFFER_STYLE_YUY2_OVERLAY = 4,    //   presented whole at unlock
  BUFFER_STYLE_UYVY_OVERLAY = 5,
  BUFFER_STYLE_YV12_OFFSCREEN = 6,  // memory surfaces whose changed rectangles
  BUFFER_STYLE_YUY2_OFFSCREEN = 7,  //   are uploaded to a texture, then presented
  BUFFER_STYLE_UYVY_OFFSCREEN = 8,
  BUFFER_STYLE_RGB_VIDEO = 9,   // memory in the renderer's RGB layout, uploaded by rectangles
  BUFFER_STYLE_RGB_SYSTEM = 10,  // memory in the window surface's layout, blitted by rectangles
  BUFFER_STYLE_COUNT = 11,
};

class VideoTexture;

// One per player window; owned by the caller from open to close. Fields marked
// "read" are for callers; the rest is the buffer's own state.
struct DisplayBuffer {
  uint32_t width, height;              // read: frame size in pixels
  uint32_t windowWidth, windowHeight;  // read: frame size + destination size
  uint32_t copyFlags;                  // read: format code (bits 0..3) | COPY_NO_RECTS,
                                       //   COPY_ONE_RECT, COPY_FULL of the copy stage
  uint8_t* surface;                    // read: first pixel of the frame, between lock and unlock
  int32_t pitch;                       // read: bytes per row (Y plane for YV12), same span
  int32_t borderLeft, borderTop;       // read: client origin inside the window frame
  uint32_t screenWidth, screenHeight, screenDepth;  // read: at open (depth in bits)
  uint32_t frameWidth, frameHeight;    // read: decorations: window size minus client size
  uint32_t capabilities;               // read: the BUFFER_X/Y_* classes the style can scale by
  uint32_t destWidth, destHeight;      // read: on-screen size of the frame
  int32_t destX, destY;                // screen position of the frame (client origin + offset)
  int32_t offsetX, offsetY;            // position of the frame inside the client area
  VideoWindow* window;
  uint8_t minimised;                   // 1 while the window is minimised; device styles lock 0
  uint8_t isOverlay, isOffscreen, overlayShown;
  uint8_t hideCursor;                  // always 0: the system draws the cursor
  int32_t cursorHideCount;             // times the cursor was hidden for this lock
  uint8_t* lockedMemory;               // what the current lock returned, else null
  uint32_t style;                      // read: 1..10
  uint8_t primaryInUse;                // window-surface style
  uint8_t holdsDevice;                 // took a reference on the shared display device
  uint8_t holdsRenderer;               // took a reference on the window's renderer
  uint8_t changedDisplayMode;          // counts as a user of a desktop-mode change
  VideoTexture* texture;               // overlay / off-screen texture (owned)
  uint8_t* memory;                     // software bitmap or off-screen surface (owned)
  int32_t memoryStride;                // its bytes per row (Y plane for YV12)
  uint32_t memoryHeight;               // its rows (Y plane)
  int32_t bytesPerPixel;               // of the surface: 1..4 (2 for packed YUV, 1 for YV12)
};

// Opens a buffer of width x height for window. flags: style | BUFFER_SET_MODE
// | needed scale classes. Returns nullptr and sets DisplayBufferGetError() on
// failure; an explicitly named style that cannot be made fails without trying
// another. The destination starts at the frame size, offset (0, 0).
[[nodiscard]] DisplayBuffer* DisplayBufferOpen(VideoWindow* window, uint32_t width,
                                               uint32_t height, uint32_t flags);

// Releases everything the open took, restoring a display mode it changed
// (a mode shared by two buffers is restored when the second closes). Null is ignored.
void DisplayBufferClose(DisplayBuffer* buffer);

// 1 with surface and pitch set for writing width x height pixels of the
// buffer's format; 0 when the surface cannot be written now (minimised, lost,
// or the window surface no longer holds the frame), with COPY_FULL set.
[[nodiscard]] int DisplayBufferLock(DisplayBuffer* buffer);

// Ends a lock (overlays are shown now); clears surface, pitch and COPY_FULL. 1.
int DisplayBufferUnlock(DisplayBuffer* buffer);

// Shows source rectangles (frame coordinates, clipped to the frame) at the
// destination size. rects == nullptr with count > 0 shows the whole frame;
// count <= 0 shows nothing.
void DisplayBufferBlit(DisplayBuffer* buffer, const MovieRect* rects, int count);

// Sets the on-screen size; 0 means the screen's size. Each size is taken only
// when its scale class is in the capabilities; 1 when both were taken.
// windowWidth/windowHeight follow.
int DisplayBufferSetScale(uint32_t destWidth, DisplayBuffer* buffer, uint32_t destHeight);

// Places the frame at (x, y) in the client area and asks for a full redraw. 1.
int DisplayBufferSetOffset(int32_t x, DisplayBuffer* buffer, int32_t y);

// Corrects a wanted offset so that the frame's screen position suits the
// surface: kept on the screen for the window-surface style, x aligned for the
// screen's bytes per pixel. Null pointers are ignored.
void DisplayBufferCheckOffset(int32_t* x, DisplayBuffer* buffer, int32_t* y);

// Lock, fill the frame with black, unlock.
void DisplayBufferClear(DisplayBuffer* buffer);

// The style's name ("" for null); a static text.
const char* DisplayBufferStyleName(const DisplayBuffer* buffer);

// The reason of the last failing DisplayBufferOpen; "" when none. Separate
// from MovieGetError().
const char* DisplayBufferGetError();

}  // namespace tarn
