// Bit costs from the trees a plane was written with.
#include "encoder/bit_costs.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace tarn::encoder {

PlaneCosts::PlaneCosts() {
  std::fill_n(type_, 16, 3.0f);
  typeSame_ = 1.0f;
  std::fill_n(sub_, 16, 3.0f);
  std::fill_n(&colourHigh_[0][0], 256, 3.5f);
  std::fill_n(colourLow_, 16, 3.5f);
  std::fill_n(pattern_, 16, 3.0f);
  for (auto& axis : offset_)
    for (int v = 0; v < 16; ++v) axis[v] = 4.0f + (v != 0);
  std::fill_n(run_, 16, 3.0f);
  commonBits_ = offset_[0][0] + offset_[1][0];
  breakBits_ = 0;
}

PlaneCosts::PlaneCosts(const PlaneCoding& c) {
  for (int v = 0; v < 16; ++v) {
    type_[v] = c.length[TREE_TYPE][v];
    sub_[v] = c.length[TREE_SUB][v];
    for (int h = 0; h < 16; ++h) colourHigh_[h][v] = c.length[TREE_COLOUR_CONTEXT + h][v];
    colourLow_[v] = c.length[TREE_COLOUR][v];
    pattern_[v] = c.length[TREE_PATTERN][v];
    offset_[0][v] = c.length[TREE_X][v] + float(v != 0);
    offset_[1][v] = c.length[TREE_Y][v] + float(v != 0);
    run_[v] = c.length[TREE_RUN][v];
  }
  const float cheapest = *std::min_element(type_, type_ + 10);
  typeSame_ = c.sameTypeCount > 0 ? float(c.sameTypeBits / c.sameTypeCount) : cheapest;
  typeSame_ = std::clamp(typeSame_, 0.05f, cheapest);
  commonX_ = c.commonX;
  commonY_ = c.commonY;
  // Chunks of one repeated value carry their vectors for a few bits a row;
  // a vector off the common one costs its symbols and, where rows share one
  // value, the sharing it breaks. How much sharing to expect: what the
  // plane had, or, as a start, how many vectors were the common one.
  double shared = 1;
  if (c.vectorCount > 0) shared = std::max(c.sharedCount, c.commonCount) / c.vectorCount;
  const float tree = VectorTreeBits(commonX_, commonY_);
  commonBits_ = float(tree * (1 - shared) + 0.2 * shared);
  breakBits_ = float(8 * shared);
}

float PlaneCosts::Vector(int x, int y) const {
  if (x == commonX_ && y == commonY_) return commonBits_;
  return offset_[0][std::abs(x) & 15] + offset_[1][std::abs(y) & 15] + breakBits_;
}

float DcBits(int dc, int prev) {
  const int d = std::abs(dc - prev);
  return d ? float(std::bit_width(unsigned(d)) + 1) + 0.5f : 0.5f;
}

}  // namespace tarn::encoder
