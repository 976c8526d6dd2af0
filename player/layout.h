// The player's geometry decisions for one movie: the stretched size and its
// display-buffer flags, full-screen fitting, doubling by the converter instead
// of the blit, and the default window position. Pure functions, no window.
#pragma once

#include <cstdint>
#include <string>

namespace tarn {

struct StretchResult {
  uint32_t target;  // on-screen size along this axis
  uint32_t flags;   // baseFlag x 1 (shrink), x 2 (divide), x 4 (stretch), x 8 (multiply), or 0
};

// Requested fraction n/d for an axis whose movie size is source and screen size
// is screen; baseFlag is the axis's shrink flag. n < 0 scales (-1/1 is the
// screen), 0 (or a zero divisor) keeps the movie size, n > 0 is a size.
StretchResult ComputeStretch(int32_t numerator, int32_t divisor, uint32_t source, uint32_t screen,
                             uint32_t baseFlag);

// /W-1 /H-1: the largest size with the movie's aspect that fits the screen.
void FitToScreen(uint32_t movieWidth, uint32_t movieHeight, uint32_t screenWidth, uint32_t screenHeight,
                 int32_t& stretchWidth, int32_t& stretchHeight);

// The display option that makes the converter do an exact doubling, or 0:
// height doubled, width doubled or both, for a movie that has none of its own.
uint32_t ConverterDoubling(uint32_t movieWidth, uint32_t movieHeight, uint32_t stretchedWidth,
                           uint32_t stretchedHeight);

// The largest size of width x height's aspect inside areaWidth x areaHeight
// (at least 1 x 1), for a picture scaled into a window with black borders.
void FitInside(uint32_t width, uint32_t height, uint32_t areaWidth, uint32_t areaHeight, uint32_t& fitWidth,
               uint32_t& fitHeight);

// -3000 means "centre": x is rounded down to a multiple of 4; a window larger
// than the screen is placed so that its client area starts at the screen edge.
int32_t DefaultWindowX(int32_t requested, int32_t screenWidth, int32_t windowWidth, int32_t leftBorder);
int32_t DefaultWindowY(int32_t requested, int32_t screenHeight, int32_t windowHeight, int32_t topBorder);

// A name has an extension when, from its end, a "." comes before any folder
// separator or ":". Names without one get ".trn".
bool HasExtension(const std::string& name);
std::string WithDefaultExtension(const std::string& name);

// "file|offset": splits at the last "|"; false when the name has none or the
// offset is not a decimal number.
bool SplitOffsetForm(const std::string& name, std::string& file, uint64_t& offset);

// The file a frame of the movie named name is saved in:
// "tarn-<name without folder and extension>-<frame>.png", characters other
// than letters, digits, "-", "_" and "." in the name made "_".
std::string SnapshotFileName(const std::string& name, uint32_t frame);

// Parses the decimal offset of the ":offset" form (digits after the ":").
bool ParseOwnExecutableOffset(const std::string& name, uint64_t& offset);

}  // namespace tarn
