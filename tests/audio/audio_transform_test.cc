// The inverse transforms against direct evaluation of their definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/audio_transform.h"
#include "common/cpu_features.h"

namespace tarn {
namespace {

struct Transform {
  std::vector<int32_t> index;
  std::vector<float> table;
  uint32_t n;
  bool dct;
  Transform(uint32_t size, bool isDct)
      : index(AudioTransformIndexAreaSize(size)), table(AudioTransformTableSize(size, isDct)), n(size), dct(isDct) {}
  void Run(std::vector<float>& data) {
    if (dct) {
      InverseDct(n, data.data(), index.data(), table.data());
    } else {
      InverseRealDft(n, data.data(), index.data(), table.data());
    }
  }
};

std::vector<double> Direct(const std::vector<float>& x, bool dct) {
  const size_t n = x.size();
  std::vector<double> out(n);
  for (size_t j = 0; j < n; ++j) {
    double s = 0;
    if (dct) {
      for (size_t i = 0; i < n; ++i) s += x[i] * std::cos(M_PI * double(i) * (double(j) + 0.5) / double(n));
    } else {
      s = (x[0] + x[1] * ((j & 1) ? -1.0 : 1.0)) / 2;
      for (size_t k = 1; k < n / 2; ++k) {
        const double a = 2 * M_PI * double((j * k) % n) / double(n);
        s += x[2 * k] * std::cos(a) + x[2 * k + 1] * std::sin(a);
      }
    }
    out[j] = s;
  }
  return out;
}

TEST(AudioTransform, MatchesDirectEvaluation) {
  for (bool dct : {false, true}) {
    for (uint32_t n : {512u, 1024u, 2048u, 4096u}) {
      const unsigned seed = n * 2 + dct;
      std::mt19937 rng(seed);
      std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
      std::vector<float> data(n);
      for (float& v : data) v = dist(rng);
      const std::vector<double> want = Direct(data, dct);
      Transform t(n, dct);
      t.Run(data);
      double errSq = 0, refSq = 0, maxErr = 0;
      for (uint32_t j = 0; j < n; ++j) {
        const double e = data[j] - want[j];
        errSq += e * e;
        refSq += want[j] * want[j];
        maxErr = std::max(maxErr, std::fabs(e));
      }
      const double rms = std::sqrt(refSq / n);
      // A float FFT of 2^k points loses about k * 2^-24 relative; allow 10x.
      SCOPED_TRACE(::testing::Message() << (dct ? "dct" : "rdft") << " n=" << n << " seed=" << seed);
      EXPECT_LT(std::sqrt(errSq / refSq), 1e-6);
      EXPECT_LT(maxErr, 5e-6 * rms * std::sqrt(double(n)));
    }
  }
}

TEST(AudioTransform, ImpulseExamples) {
  struct Case {
    bool dct;
    uint32_t index;  // the one input set to 1
    float even, odd; // expected outputs at even and odd positions
  };
  const Case cases[] = {
      {true, 0, 1.0f, 1.0f},
      {false, 0, 0.5f, 0.5f},
      {false, 1, 0.5f, -0.5f},
  };
  for (const Case& c : cases) {
    for (uint32_t n : {8u, 512u, 4096u}) {
      std::vector<float> data(n, 0.0f);
      data[c.index] = 1.0f;
      Transform t(n, c.dct);
      t.Run(data);
      for (uint32_t j = 0; j < n; ++j) {
        ASSERT_NEAR(data[j], (j & 1) ? c.odd : c.even, 1e-6)
            << (c.dct ? "dct" : "rdft") << " n=" << n << " impulse " << c.index << " at " << j;
      }
    }
  }
}

TEST(AudioTransform, TablesBuiltOnFirstCallOnly) {
  for (bool dct : {false, true}) {
    const uint32_t n = 2048;
    Transform t(n, dct);
    std::vector<float> data(n, 1.0f);
    t.Run(data);
    const uint32_t nw = n / 4, nc = dct ? n : n / 4;
    EXPECT_EQ(t.index[0], int32_t(nw));
    EXPECT_EQ(t.index[1], int32_t(nc));
    // The cosine table follows its rule: c[j] = cos(j d)/2, c[nc-j] = sin(j d)/2.
    const float* c = t.table.data() + nw;
    const double delta = double(0.7853982f / float(nc / 2));
    EXPECT_FLOAT_EQ(c[0], float(std::cos(delta * (nc / 2))));
    EXPECT_FLOAT_EQ(c[nc / 2], 0.5f * c[0]);
    for (uint32_t j = 1; j < nc / 2; j += 7) {
      EXPECT_FLOAT_EQ(c[j], float(0.5 * std::cos(delta * j))) << j;
      EXPECT_FLOAT_EQ(c[nc - j], float(0.5 * std::sin(delta * j))) << j;
    }

    // A second call leaves index entries and tables untouched: poisoning the
    // table shows in the result only if it is reused rather than rebuilt.
    const std::vector<float> built = t.table;
    std::vector<float> again(n, 1.0f);
    t.Run(again);
    EXPECT_EQ(t.table, built);
    EXPECT_EQ(t.index[0], int32_t(nw));
    EXPECT_EQ(t.index[1], int32_t(nc));
    t.table.assign(t.table.size(), 0.0f);
    std::vector<float> poisoned(n, 1.0f);
    t.Run(poisoned);
    EXPECT_NE(poisoned, again);
  }
}

// The packed FFT stage must give the scalar stage's floats exactly, so the
// decoded samples do not depend on the processor.
TEST(AudioTransform, PackedStagesMatchScalarExactly) {
  for (bool dct : {false, true}) {
    for (uint32_t n : {8u, 16u, 512u, 1024u, 2048u, 4096u}) {
      std::mt19937 rng(n + dct);
      std::uniform_real_distribution<float> dist(-30000.0f, 30000.0f);
      std::vector<float> input(n);
      for (float& v : input) v = dist(rng);
      std::vector<float> packed = input, scalar = input;
      Transform a(n, dct), b(n, dct);
      CpuFeaturesSetMask(~0u);
      a.Run(packed);
      CpuFeaturesSetMask(0);
      b.Run(scalar);
      CpuFeaturesSetMask(~0u);
      ASSERT_EQ(packed, scalar) << (dct ? "dct" : "rdft") << " n=" << n << " seed " << n + dct;
    }
  }
}

}  // namespace
}  // namespace tarn
