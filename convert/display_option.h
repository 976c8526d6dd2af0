// Display options: how a decoded picture is laid out on its destination
// (doubled, interlaced). The value lives in bits 28-30 of the movie's open and
// header flags and of the copy flags, with the same meaning in all three.
#pragma once

#include <cstdint>

namespace tarn {

inline constexpr uint32_t DISPLAY_NONE = 0;
inline constexpr uint32_t DISPLAY_HEIGHT_DOUBLED = 1;
inline constexpr uint32_t DISPLAY_HEIGHT_INTERLACED = 2;
inline constexpr uint32_t DISPLAY_WIDTH_DOUBLED = 3;
inline constexpr uint32_t DISPLAY_BOTH_DOUBLED = 4;
inline constexpr uint32_t DISPLAY_BOTH_INTERLACED = 5;
inline constexpr uint32_t DISPLAY_INTERLACED = 6;
inline constexpr uint32_t DISPLAY_FORCE_NONE = 7;  // asks for none, overriding the header

// The field's place in a flag word.
inline constexpr uint32_t DISPLAY_OPTION_MASK = 0x70000000;
inline constexpr uint32_t DISPLAY_OPTION_SHIFT = 28;

// Whether an option doubles the picture's width or its height on output.
constexpr bool DisplayDoublesWidth(uint32_t option) {
  return option == DISPLAY_WIDTH_DOUBLED || option == DISPLAY_BOTH_DOUBLED || option == DISPLAY_BOTH_INTERLACED;
}
constexpr bool DisplayDoublesHeight(uint32_t option) {
  return option == DISPLAY_HEIGHT_DOUBLED || option == DISPLAY_HEIGHT_INTERLACED ||
         option == DISPLAY_BOTH_DOUBLED || option == DISPLAY_BOTH_INTERLACED;
}

}  // namespace tarn
