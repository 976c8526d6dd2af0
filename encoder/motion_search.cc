// Motion search: a predictive diamond search on whole-sample vectors.
#include "encoder/motion_search.h"

#include <cstddef>
#include <cstdlib>

namespace tarn::encoder {

namespace {

// Sum of absolute differences of an 8 x 8 target and a plane block; stops
// early once limit is reached (then returns a value >= limit).
int Sad(const uint8_t* t, const uint8_t* plane, uint32_t stride, int x, int y, int limit) {
  int s = 0;
  for (int r = 0; r < 8; r += 2) {
    const uint8_t* a = plane + size_t(y + r) * stride + x;
    const uint8_t* b = a + stride;
    int part = 0;
    for (int c = 0; c < 8; ++c) part += std::abs(int(t[r * 8 + c]) - int(a[c]));
    for (int c = 0; c < 8; ++c) part += std::abs(int(t[r * 8 + 8 + c]) - int(b[c]));
    s += part;
    if (s >= limit) return s;
  }
  return s;
}

}  // namespace

MotionVector SearchMotion(const PlaneContext& pc, const uint8_t* t, int x, int y, const MotionVector* seeds,
                          int seedCount, int* bestSad) {
  auto valid = [&](int dx, int dy) {
    return dx >= -15 && dx <= 15 && dy >= -15 && dy <= 15 && x + dx >= 0 && y + dy >= 0 &&
           uint32_t(x + dx + 8) <= pc.width && uint32_t(y + dy + 8) <= pc.height;
  };
  MotionVector best;
  int bestCost = Sad(t, pc.ref, pc.width, x, y, 1 << 30);
  auto consider = [&](int dx, int dy) {
    if (!valid(dx, dy)) return false;
    const int s = Sad(t, pc.ref, pc.width, x + dx, y + dy, bestCost) + 2 * (std::abs(dx) + std::abs(dy));
    if (s < bestCost) {
      bestCost = s;
      best = {dx, dy};
      return true;
    }
    return false;
  };
  for (int i = 0; i < seedCount; ++i) consider(seeds[i].x, seeds[i].y);
  // A wide look only when no neighbour's vector fits well.
  if (bestCost > 4 * 64) {
    for (int dy = -12; dy <= 12; dy += 6)
      for (int dx = -12; dx <= 12; dx += 6) consider(best.x + dx, best.y + dy);
  }
  for (int step = 4; step >= 1; step /= 2) {
    for (int iter = 0; iter < 8; ++iter) {
      const MotionVector c = best;
      bool moved = false;
      moved |= consider(c.x + step, c.y);
      moved |= consider(c.x - step, c.y);
      moved |= consider(c.x, c.y + step);
      moved |= consider(c.x, c.y - step);
      if (!moved) break;
    }
  }
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) consider(best.x + dx, best.y + dy);
  *bestSad = bestCost;
  return best;
}

}  // namespace tarn::encoder
