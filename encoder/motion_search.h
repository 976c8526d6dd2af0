// Motion search of the video encoder: the vector that best predicts an 8 x 8
// block from the previous decoded plane, by sum of absolute differences and
// the vector's bits.
#pragma once

#include <cstdint>

#include "encoder/bit_costs.h"

namespace tarn::encoder {

// The coded picture area of one plane and its reference.
struct PlaneContext {
  uint32_t width = 0, height = 0;   // multiples of 8
  const uint8_t* src = nullptr;     // padded source, stride width
  const uint8_t* ref = nullptr;     // previous decoded plane or null, stride width
  uint8_t* out = nullptr;           // decoded plane being built, stride width
};

struct MotionVector {
  int x = 0, y = 0;
  bool operator==(const MotionVector&) const = default;
};

// Sum of absolute differences of an 8 x 8 target (64 samples by position)
// and the plane block at (x, y); stops once limit is reached (returning a
// value >= limit).
int BlockSad(const uint8_t* target, const uint8_t* plane, uint32_t stride, int x, int y, int limit);

// Search within +-15 that keeps the displaced block inside the plane: the
// candidates first (neighbours' and last frame's vectors, the plane's common
// vector, zero), a small refinement around the best, and a wider look only
// when none fits well. A vector costs its SAD plus sadLambda times its bits.
// target is the block at (x, y); pc.ref must be set. *bestSad receives the
// winner's SAD alone.
MotionVector SearchMotion(const PlaneContext& pc, const uint8_t* target, int x, int y, const MotionVector* seeds,
                          int seedCount, const PlaneCosts& costs, double sadLambda, int* bestSad);

}  // namespace tarn::encoder
