// Motion search of the video encoder: the vector that best predicts an 8 x 8
// block from the previous decoded plane, by sum of absolute differences.
#pragma once

#include <cstdint>

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
};

// Predictive search within +-15 that keeps the displaced block inside the
// plane: the seeds (the neighbours' vectors) first, a coarse grid when none
// fits well, then a shrinking diamond. target is the block at (x, y), 64
// samples by position; pc.ref must be set. *bestSad receives the winner's
// difference plus its vector cost.
MotionVector SearchMotion(const PlaneContext& pc, const uint8_t* target, int x, int y, const MotionVector* seeds,
                          int seedCount, int* bestSad);

}  // namespace tarn::encoder
