// Motion search: candidates, then a refining square search on whole-sample
// vectors.
#include "encoder/motion_search.h"

#include <cstddef>
#include <cstdlib>

namespace tarn::encoder {

int BlockSad(const uint8_t* t, const uint8_t* plane, uint32_t stride, int x, int y, int limit) {
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

MotionVector SearchMotion(const PlaneContext& pc, const uint8_t* t, int x, int y, const MotionVector* seeds,
                          int seedCount, const PlaneCosts& costs, double sadLambda, int* bestSad) {
  auto valid = [&](int dx, int dy) {
    return dx >= -15 && dx <= 15 && dy >= -15 && dy <= 15 && x + dx >= 0 && y + dy >= 0 &&
           uint32_t(x + dx + 8) <= pc.width && uint32_t(y + dy + 8) <= pc.height;
  };
  MotionVector best;
  int bestSadOnly = BlockSad(t, pc.ref, pc.width, x, y, 1 << 30);
  double bestCost = bestSadOnly + sadLambda * costs.Vector(0, 0);
  auto consider = [&](int dx, int dy) {
    if (!valid(dx, dy) || (dx == best.x && dy == best.y)) return false;
    const double bits = sadLambda * costs.Vector(dx, dy);
    if (bits >= bestCost) return false;
    const int s = BlockSad(t, pc.ref, pc.width, x + dx, y + dy, int(bestCost - bits) + 1);
    if (s + bits < bestCost) {
      bestCost = s + bits;
      bestSadOnly = s;
      best = {dx, dy};
      return true;
    }
    return false;
  };
  consider(costs.commonX(), costs.commonY());
  for (int i = 0; i < seedCount; ++i) consider(seeds[i].x, seeds[i].y);
  // A wide look only when no candidate fits well.
  if (bestSadOnly > 5 * 64) {
    const MotionVector c = best;
    for (int dy = -12; dy <= 12; dy += 4)
      for (int dx = -12; dx <= 12; dx += 4) consider(c.x + dx, c.y + dy);
    for (int step = 2; step >= 1; --step) {
      const MotionVector d = best;
      for (int dy = -step; dy <= step; dy += step)
        for (int dx = -step; dx <= step; dx += step) consider(d.x + dx, d.y + dy);
    }
  }
  if (bestSadOnly > 0) {
    for (int iter = 0; iter < 4; ++iter) {
      const MotionVector c = best;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) consider(c.x + dx, c.y + dy);
      if (best == c) break;
    }
  }
  *bestSad = bestSadOnly;
  return best;
}

}  // namespace tarn::encoder
