// Bit costs of a plane's bundle values as the block choice sees them: the
// code lengths of the trees the plane was last written with, and what the
// writing measured (how cheap a repeated block type was, which vector the
// rows shared). A plane keeps its costs from frame to frame; a plane not yet
// written starts from costs typical of one.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "video/stream_codes.h"

namespace tarn::encoder {

// The trees of a plane, in the order the plane's header carries them.
enum TreeId : int {
  TREE_TYPE = 0,
  TREE_SUB = 1,
  TREE_COLOUR_CONTEXT = 2,  // sixteen trees, by the previous colour's high nibble
  TREE_COLOUR = 18,
  TREE_PATTERN = 19,
  TREE_X = 20,
  TREE_Y = 21,
  TREE_RUN = 22,
};
inline constexpr int kTreeCount = 23;

// What writing a plane measured, from which the next frame's costs follow.
struct PlaneCoding {
  uint8_t length[kTreeCount][16] = {};  // code length of each symbol in the trees written
  double sameTypeBits = 0;   // bits spent on block types equal to the one before them
  double sameTypeCount = 0;  // how many there were
  double vectorCount = 0;    // vectors taken
  double commonCount = 0;    // vectors equal to the common one
  double sharedCount = 0;    // vectors carried by chunks of one repeated value
  int commonX = 0, commonY = 0;  // the vector taken most often
};

class PlaneCosts {
 public:
  PlaneCosts();  // typical costs
  explicit PlaneCosts(const PlaneCoding& coding);

  // A block type after prev, the type before it in its block row (-1 at the row start).
  float Type(int type, int prev) const { return type == prev ? typeSame_ : type_[type & 15]; }
  float Sub(int sub) const { return sub_[sub & 15]; }
  // A colour byte as stored (after the old revisions' folding, see ColourSymbolValue)
  // after a colour whose high nibble was lastHigh; lastHigh becomes this one's.
  float Colour(int value, int& lastHigh) const {
    const int high = value >> 4;
    const float bits = colourHigh_[lastHigh][high] + colourLow_[value & 15];
    lastHigh = high;
    return bits;
  }
  float PatternRow(uint8_t row) const { return pattern_[row & 15] + pattern_[row >> 4]; }
  float Run(int value) const { return run_[value & 15]; }
  // The x and y offsets of a block that takes a vector.
  float Vector(int x, int y) const;
  // The same as symbols of the trees, with no regard to rows sharing one.
  float VectorTreeBits(int x, int y) const { return offset_[0][std::abs(x) & 15] + offset_[1][std::abs(y) & 15]; }
  int commonX() const { return commonX_; }
  int commonY() const { return commonY_; }
  // The frame's own estimate of the vector most blocks will share.
  void SetCommon(int x, int y) {
    commonX_ = x;
    commonY_ = y;
  }

 private:
  float type_[16], typeSame_;
  float sub_[16];
  float colourHigh_[16][16], colourLow_[16];
  float pattern_[16];
  float offset_[2][16];
  float run_[16];
  int commonX_ = 0, commonY_ = 0;
  float commonBits_;  // x and y of the common vector, as the rows shared it
  float breakBits_;   // extra bits of a vector that breaks rows of the common one
};

// The value a colour byte is coded as: the byte itself from revision i on,
// the old revisions' sign-folded form before it.
inline int ColourSymbolValue(int byte, bool oldColours) {
  return oldColours ? (byte >= 128 ? byte - 128 : (0x80 | (128 - byte))) : byte;
}

// Bits of a DC value coded after prev in its bundle: the deltas of a group
// share a width, so a delta costs about its own bit length and a sign.
float DcBits(int dc, int prev);

}  // namespace tarn::encoder
