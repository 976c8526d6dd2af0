// Every SIMD line converter against the scalar model of the same arithmetic:
// random runs (seed printed; TARN_TEST_SEED replays) mixed with extremes, any
// start column and length, exact-size inputs and guarded outputs.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>

#include "common/cpu_flags.h"
#include "convert/convert_internal.h"
#include "tests/support/convert_test_planes.h"

namespace tarn::test {
namespace {

std::vector<CpuFlags> SimdLevelsHere() {
  std::vector<CpuFlags> levels;
  const CpuFlags detected = CpuFlagsDetect();
  if (detected & CPU_SSE2) levels.push_back(CPU_MMX | CPU_SSE | CPU_SSE2);
  return levels;
}

// Exact-size copy, so a read past the run's samples trips the address sanitizer.
std::unique_ptr<uint8_t[]> Exact(const std::vector<uint8_t>& v) {
  auto p = std::make_unique<uint8_t[]>(v.size());
  std::copy(v.begin(), v.end(), p.get());
  return p;
}

// "x" where two outputs differ, "." where they agree, one mark per pixel.
std::string DiffMap(const uint8_t* a, const uint8_t* b, size_t pixels, size_t bytes) {
  std::ostringstream s;
  for (size_t i = 0; i < pixels; ++i) s << (std::memcmp(a + i * bytes, b + i * bytes, bytes) ? 'x' : '.');
  return s.str();
}

uint8_t Sample(std::mt19937& rng, bool extremes) {
  static constexpr uint8_t kEnds[] = {0, 15, 16, 128, 234, 235, 255};
  return extremes && rng() % 3 == 0 ? kEnds[rng() % 7] : uint8_t(rng());
}

TEST(SimdCheck, PackedConvertersMatchScalarModel) {
  const uint32_t seed = ConvertTestSeed();
  int compared = 0;
  for (CpuFlags level : SimdLevelsHere()) {
    ConvertDsp ref, simd;
    ConvertDspInitPacked(ref, CPU_MMX);
    ConvertDspInitPacked(simd, level);
    for (uint32_t format = 0; format < COPY_FORMAT_COUNT; ++format) {
      for (int doubled = 0; doubled < 2; ++doubled) {
        for (int alpha = 0; alpha < 2; ++alpha) {
          if (simd.line[format][doubled][alpha] == ref.line[format][doubled][alpha]) continue;
          ++compared;
          std::mt19937 rng(seed ^ (format * 977 + doubled * 31 + alpha));
          const size_t bytes = CopyFormatBytesPerPixel(format) * (doubled ? 2 : 1);
          for (int iter = 0; iter < 300; ++iter) {
            const uint32_t count = 1 + rng() % 257;
            const uint32_t x = rng() % 40;
            const bool extremes = iter % 4 == 0;
            const size_t chroma = ((x & 1) + count + 1) / 2;
            std::vector<uint8_t> y(count), a(count), cr(chroma), cb(chroma);
            for (auto* v : {&y, &a, &cr, &cb})
              for (auto& s : *v) s = Sample(rng, extremes);
            auto ey = Exact(y), ea = Exact(a), ecr = Exact(cr), ecb = Exact(cb);
            GuardedBuffer outRef(count * bytes), outSimd(count * bytes);
            ConvertLine l{};
            l.y = ey.get();
            l.cr = ecr.get();
            l.cb = ecb.get();
            l.a = alpha ? ea.get() : nullptr;
            l.x = x;
            l.count = count;
            l.row = uint32_t(iter & 1);
            l.tables = &ColourTablesGet();
            l.dst = outRef.data();
            ref.line[format][doubled][alpha](l);
            l.dst = outSimd.data();
            simd.line[format][doubled][alpha](l);
            ASSERT_TRUE(outRef.Contents() == outSimd.Contents() && outRef.Intact() && outSimd.Intact())
                << "format " << format << (doubled ? " doubled" : "") << (alpha ? " alpha" : "")
                << " x " << x << " count " << count << " seed " << seed << "\n"
                << DiffMap(outRef.data(), outSimd.data(), count * (doubled ? 2 : 1),
                           CopyFormatBytesPerPixel(format));
          }
        }
      }
    }
  }
  if (SimdLevelsHere().empty()) GTEST_SKIP() << "no SIMD level on this machine";
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace tarn::test
