#include "common/movie_time.h"

#include <gtest/gtest.h>

#include "common/cpu_features.h"
#include "platform/fake/fake_clock.h"

namespace tarn {
namespace {

TEST(MovieTimeMs, FollowsTheCounterAndStartsAtZero) {
  ScopedFakeClock fake;
  fake.clock.tickMs = 123456;  // the tick's own origin does not matter
  EXPECT_EQ(MovieTimeMs(), 0u);
  fake.clock.Advance(33);
  EXPECT_EQ(MovieTimeMs(), 33u);
  fake.clock.Advance(1000);
  EXPECT_EQ(MovieTimeMs(), 1033u);
}

TEST(MovieTimeMs, SmallDisagreementIsKeptLargeIsPulledToTheTick) {
  ScopedFakeClock fake;
  EXPECT_EQ(MovieTimeMs(), 0u);
  // Counter runs 150 ms ahead of the tick: within 200 ms, the counter stands.
  fake.clock.AdvanceCounterOnly(1150);
  fake.clock.AdvanceTickOnly(1000);
  EXPECT_EQ(MovieTimeMs(), 1150u);
  // Counter jumps 500 ms while the tick moves 100: pulled to the tick's 100.
  fake.clock.AdvanceCounterOnly(500);
  fake.clock.AdvanceTickOnly(100);
  EXPECT_EQ(MovieTimeMs(), 1250u);
  // The skew stays applied afterwards.
  fake.clock.Advance(10);
  EXPECT_EQ(MovieTimeMs(), 1260u);
}

TEST(MovieTimeMs, NeverRunsBackwards) {
  ScopedFakeClock fake;
  EXPECT_EQ(MovieTimeMs(), 0u);
  fake.clock.Advance(5000);
  EXPECT_EQ(MovieTimeMs(), 5000u);
  // The counter steps back 150 ms while the tick stands still: the difference
  // is within the 200 ms tolerance, so the result would go back; it holds.
  fake.clock.counterUs -= 150000;
  EXPECT_EQ(MovieTimeMs(), 5000u);
  fake.clock.Advance(200);
  EXPECT_EQ(MovieTimeMs(), 5050u);
}

TEST(MovieTimeMs, WithoutACounterUsesTheFallbackClock) {
  ScopedFakeClock fake;
  fake.clock.hasCounter = false;
  fake.clock.tickMs = 777;
  EXPECT_EQ(MovieTimeMs(), 777u);
  fake.clock.Advance(3);
  EXPECT_EQ(MovieTimeMs(), 780u);
}

TEST(CpuFeatures, ProbedBitAndMask) {
  EXPECT_TRUE(CpuFeatures() & CPU_PROBED);
  CpuFeaturesSetMask(0);
  EXPECT_EQ(CpuFeatures(), CPU_PROBED);
  CpuFeaturesSetMask(~0u);
#if defined(__x86_64__)
  if (!std::getenv("TARN_NO_SIMD")) {
    EXPECT_TRUE(CpuFeatures() & CPU_SSE2);
  }
#endif
}

}  // namespace
}  // namespace tarn
