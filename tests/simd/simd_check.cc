// Every SIMD line converter and transform against the scalar model of the same
// arithmetic: random runs (seed printed; TARN_TEST_SEED replays) mixed with
// extremes, any start column and length or stride, exact-size inputs and
// guarded outputs.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>

#include "common/cpu_features.h"
#include "convert/convert_internal.h"
#include "tests/support/convert_test_planes.h"
#include "video/video_internal.h"

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

// Coefficients that reach every path: flat, first row only (the packed
// shortcut), sparse, dense, and the 16-bit ends; factors from the tables or
// arbitrary 32-bit words, so the products wrap.
void RandomTransformInput(std::mt19937& rng, int16_t coef[64], int32_t quant[64]) {
  static constexpr int16_t kEnds[] = {0, 1, -1, 2047, -2048, 32767, -32768};
  static constexpr int32_t kFactorEnds[] = {0, 1, -1, 0x7FFFFFFF, int32_t(0x80000000u), 1 << 20, 65536};
  const int shape = int(rng() % 5);
  for (int i = 0; i < 64; ++i) {
    int16_t v = 0;
    const bool allowed = shape == 4 || (shape == 1 && i < 8) || i == 0 || (shape >= 2 && rng() % 8 == 0);
    if (allowed) v = rng() % 4 == 0 ? kEnds[rng() % 7] : int16_t(int(rng() % 4096) - 2048);
    if (shape == 3 && allowed) v = int16_t(rng());
    coef[i] = v;
  }
  const uint32_t table = rng() % 3;
  const uint32_t q = rng() % kQuantRows;
  for (int i = 0; i < 64; ++i) {
    if (table == 0) quant[i] = kIntraQuant[q][i];
    else if (table == 1) quant[i] = kInterQuant[q][i];
    else quant[i] = rng() % 3 == 0 ? kFactorEnds[rng() % 7] : int32_t(rng());
  }
}

TEST(SimdCheck, TransformMatchesScalar) {
  const uint32_t seed = ConvertTestSeed();
  int compared = 0;
  for (CpuFlags level : SimdLevelsHere()) {
    IdctDsp ref, simd;
    IdctDspInit(ref, 0);
    IdctDspInit(simd, level);
    if (simd.put == ref.put && simd.add == ref.add && simd.block == ref.block) continue;
    ++compared;
    std::mt19937 rng(seed);
    for (int iter = 0; iter < 2000; ++iter) {
      int16_t coef[64];
      int32_t quant[64];
      RandomTransformInput(rng, coef, quant);
      const ptrdiff_t stride = 8 + ptrdiff_t(rng() % 41);
      const size_t bytes = size_t(7 * stride + 8);
      std::vector<uint8_t> src(bytes);
      for (auto& b : src) b = Sample(rng, true);
      GuardedBuffer blockRef(64), blockSimd(64), putRef(bytes), putSimd(bytes), addRef(bytes), addSimd(bytes);
      ref.block(coef, quant, blockRef.data());
      simd.block(coef, quant, blockSimd.data());
      ref.put(coef, quant, putRef.data(), stride);
      simd.put(coef, quant, putSimd.data(), stride);
      ref.add(coef, quant, addRef.data(), stride, src.data(), stride);
      simd.add(coef, quant, addSimd.data(), stride, src.data(), stride);
      ASSERT_TRUE(blockRef.Contents() == blockSimd.Contents() && blockSimd.Intact())
          << "block, iter " << iter << " seed " << seed << "\n" << DiffMap(blockRef.data(), blockSimd.data(), 64, 1);
      ASSERT_TRUE(putRef.Contents() == putSimd.Contents() && putSimd.Intact())
          << "put, iter " << iter << " stride " << stride << " seed " << seed << "\n"
          << DiffMap(putRef.data(), putSimd.data(), bytes, 1);
      ASSERT_TRUE(addRef.Contents() == addSimd.Contents() && addSimd.Intact())
          << "add, iter " << iter << " stride " << stride << " seed " << seed << "\n"
          << DiffMap(addRef.data(), addSimd.data(), bytes, 1);
      // In place: src is dst.
      GuardedBuffer inRef(bytes, 0), inSimd(bytes, 0);
      std::copy(src.begin(), src.end(), inRef.data());
      std::copy(src.begin(), src.end(), inSimd.data());
      ref.add(coef, quant, inRef.data(), stride, inRef.data(), stride);
      simd.add(coef, quant, inSimd.data(), stride, inSimd.data(), stride);
      ASSERT_TRUE(inRef.Contents() == inSimd.Contents() && inSimd.Intact())
          << "add in place, iter " << iter << " seed " << seed;
    }
  }
  if (SimdLevelsHere().empty()) GTEST_SKIP() << "no SIMD level on this machine";
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace tarn::test
