// Transform, coefficient-list and residue coding of single 8 x 8 blocks.
#include "encoder/block_coding.h"

#include <bit>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "encoder/video_tables.h"
#include "video/idct.h"

namespace tarn::encoder {

namespace {

// The squared norms of the 1-D transform's responses to unit inputs, in
// double. The decoder's output is (column response x row response) / 256
// per dequantised value, so projecting onto the responses inverts it.
struct Basis {
  double norm2[8];
  double energy[64];  // TransformEnergy by position
  Basis() {
    auto mul = [](double c, double x) { return c * x / 2048.0; };
    for (int i = 0; i < 8; ++i) {
      double s[8] = {}, t[8];
      s[i] = 1.0;
      IdctButterfly(s, t, mul);
      norm2[i] = 0;
      for (int k = 0; k < 8; ++k) norm2[i] += t[k] * t[k];
    }
    for (int p = 0; p < 64; ++p) energy[p] = norm2[p >> 3] * norm2[p & 7] / 65536.0;
  }
};

const Basis& TheBasis() {
  static const Basis b;
  return b;
}

}  // namespace

void IdctSamples(const int16_t coef[64], const int32_t quant[64], int32_t out[64]) {
  uint32_t block[64] = {};
  for (int k = 0; k < 64; ++k) {
    const int p = kCoefficientScan[k];
    block[p] = IdctDequant(coef[k], quant[p]);
  }
  uint32_t mid[64];
  for (int x = 0; x < 8; ++x) {
    uint32_t s[8], t[8];
    for (int i = 0; i < 8; ++i) s[i] = block[i * 8 + x];
    IdctButterfly(s, t, IdctFixedMul{});
    for (int i = 0; i < 8; ++i) mid[i * 8 + x] = t[i];
  }
  for (int y = 0; y < 8; ++y) {
    uint32_t t[8];
    IdctButterfly(&mid[y * 8], t, IdctFixedMul{});
    for (int i = 0; i < 8; ++i) out[y * 8 + i] = IdctDescale(t[i]);
  }
}

namespace {

// The transpose of the inverse butterfly (its flow graph run backwards, in
// double): u = B^T y where the butterfly computes t = B s. Divided by the
// basis norms it projects y onto the basis.
void ButterflyTransposed(const double y[8], double u[8]) {
  auto mul = [](double c, double v) { return c * v / 2048.0; };
  const double a0 = y[0] + y[3] + y[4] + y[7], a1 = y[1] + y[2] + y[5] + y[6];
  const double a2 = y[0] - y[1] + y[2] - y[3] - y[4] + y[5] - y[6] + y[7];
  const double a3 = y[1] - y[2] - y[5] + y[6];
  double b0 = y[0] - y[7], b1 = 0, b2 = y[1] - y[6], b3 = y[2] - y[5];
  const double b4 = y[4] - y[3];
  double a4 = 0, a5 = 0, a6 = 0, a7 = 0;
  a7 += mul(2217, b4);  // b4 = M(2217, a7) + b3 - b1
  b3 += b4;
  b1 -= b4;
  a6 += mul(2896, b3);  // b3 = M(2896, a6 - a4) - b2
  a4 -= mul(2896, b3);
  b2 -= b3;
  a5 += mul(-5352, b2);  // b2 = M(-5352, a5) - b0 + b1
  b0 -= b2;
  b1 += b2;
  a5 += mul(3784, b1);  // b1 = M(3784, a5 + a7)
  a7 += mul(3784, b1);
  a4 += b0;  // b0 = a4 + a6
  a6 += b0;
  const double m3 = mul(2896, a3);
  u[0] = a0 + a1;
  u[4] = a0 - a1;
  u[2] = a2 + m3;
  u[6] = a2 - m3;
  u[5] = a4 + a5;
  u[3] = a4 - a5;
  u[1] = a6 + a7;
  u[7] = a6 - a7;
}

}  // namespace

void ForwardTransform(const double in[64], double s[64]) {
  const Basis& b = TheBasis();
  // Rows, then columns: each pass is the transposed butterfly over the
  // basis norms; the decoder's final shift by 8 asks for the 256.
  double rows[64];
  for (int y = 0; y < 8; ++y) {
    double u[8];
    ButterflyTransposed(in + 8 * y, u);
    for (int j = 0; j < 8; ++j) rows[y * 8 + j] = u[j] / b.norm2[j];
  }
  for (int j = 0; j < 8; ++j) {
    double col[8], u[8];
    for (int y = 0; y < 8; ++y) col[y] = rows[y * 8 + j];
    ButterflyTransposed(col, u);
    for (int i = 0; i < 8; ++i) s[i * 8 + j] = 256.0 * u[i] / b.norm2[i];
  }
}

namespace {

// Per factor row: 2048 / f and the largest magnitude whose dequantised value
// stays below 2^20, so the transform's sums never come near 32 bits.
struct RowAids {
  double scale[64];
  double cap[64];
};

const RowAids& Aids(const int32_t quant[64]) {
  struct Tables {
    RowAids intra[16], inter[16];
    Tables() {
      for (int q = 0; q < 16; ++q)
        for (int p = 0; p < 64; ++p) {
          for (auto [row, aids] : {std::pair{kIntraQuant[q], &intra[q]}, std::pair{kInterQuant[q], &inter[q]}}) {
            aids->scale[p] = 2048.0 / row[p];
            aids->cap[p] = std::min(32767.0, std::floor(double(1 << 20) * 2048.0 / row[p]));
          }
        }
    }
  };
  static const Tables t;
  for (int q = 0; q < 16; ++q) {
    if (quant == kIntraQuant[q]) return t.intra[q];
    if (quant == kInterQuant[q]) return t.inter[q];
  }
  static thread_local RowAids other;
  for (int p = 0; p < 64; ++p) {
    other.scale[p] = 2048.0 / quant[p];
    other.cap[p] = std::min(32767.0, std::floor(double(1 << 20) * 2048.0 / quant[p]));
  }
  return other;
}

// The one rounding of a block's coefficients: the DC to nearest within its
// limits; any other by its magnitude less the dead zone, capped and then
// truncated (the floor here: a magnitude below 1 is 0 either way).
int16_t RoundedDc(double s0, const RowAids& aids, int dcMin, int dcMax) {
  return int16_t(std::clamp(std::floor(s0 * aids.scale[0] + 0.5), double(dcMin), double(dcMax)));
}
int RoundedLevel(double c, double deadZone, double cap) {
  const double m = std::min(std::fabs(c) + 0.5 - deadZone, cap);
  return m < 1 ? 0 : int(m);
}

}  // namespace

void QuantiseBlock(const double s[64], const int32_t quant[64], double deadZone, int dcMin,
                   int dcMax, int16_t coef[64]) {
  const RowAids& aids = Aids(quant);
  coef[0] = RoundedDc(s[0], aids, dcMin, dcMax);
  for (int k = 1; k < 64; ++k) {
    const int p = kCoefficientScan[k];
    const double c = s[p] * aids.scale[p];
    const int level = RoundedLevel(c, deadZone, aids.cap[p]);
    coef[k] = int16_t(c < 0 ? -level : level);
  }
}

namespace {

// Entry lists shared by the coefficient and residue coders: (index, mode)
// pairs with room for front insertions before the start entries.
struct EntryList {
  uint8_t index[160];
  uint8_t mode[160];
  int start = 80, end = 80;
  void Push(int i, int m) {
    index[end] = uint8_t(i);
    mode[end++] = uint8_t(m);
  }
  void PushFront(int i, int m) {
    --start;
    index[start] = uint8_t(i);
    mode[start] = uint8_t(m);
  }
  bool Empty(int pos) const { return index[pos] == 0 && mode[pos] == 0; }
  void Clear(int pos) { index[pos] = mode[pos] = 0; }
};

// Coverage of an entry: mode 0 -> 20 indices, 1 -> 16, 2 -> 4, 3 -> 1.
inline int Coverage(int mode) { return mode == 0 ? 20 : mode == 1 ? 16 : mode == 2 ? 4 : 1; }

int BitLength(uint32_t v) { return int(std::bit_width(v)); }

}  // namespace

namespace {

// Counts what a writer would be given.
struct BitCounter {
  int bits = 0;
  void Put(uint32_t, int n) { bits += n; }
};

template <class Out>
bool CodeCoefficients(Out& out, const int16_t coef[64]) {
  int mag[64];
  uint32_t maxMag = 0;
  for (int k = 0; k < 64; ++k) {
    mag[k] = k == 0 ? 0 : std::abs(int(coef[k]));
    maxMag = std::max(maxMag, uint32_t(mag[k]));
  }
  const int levels = BitLength(maxMag);
  if (levels > 15) return false;
  out.Put(uint32_t(levels), 4);
  EntryList list;
  list.Push(4, 0);
  list.Push(24, 0);
  list.Push(44, 0);
  list.Push(1, 3);
  list.Push(2, 3);
  list.Push(3, 3);
  for (int level = levels; level >= 1; --level) {
    const int b = level - 1;
    const int threshold = 1 << b;
    auto writeValue = [&](int i) {
      const uint32_t sign = coef[i] < 0;
      if (b == 0) {
        out.Put(sign, 1);
      } else {
        out.Put(uint32_t(mag[i] - threshold) | sign << b, b + 1);
      }
      mag[i] = 0;  // coded: no longer counts as significant
    };
    auto group = [&](int c) {
      for (int i = c; i < c + 4; ++i) {
        if (mag[i] >= threshold) {
          out.Put(0, 1);
          writeValue(i);
        } else {
          out.Put(1, 1);
          list.PushFront(i, 3);
        }
      }
    };
    int pos = list.start;
    while (pos < list.end) {
      if (list.Empty(pos)) {
        ++pos;
        continue;
      }
      const int c = list.index[pos], mode = list.mode[pos];
      bool significant = false;
      for (int i = c; i < c + Coverage(mode) && i < 64; ++i) significant |= mag[i] >= threshold;
      out.Put(significant, 1);
      if (!significant) {
        ++pos;
        continue;
      }
      switch (mode) {
        case 0:
          list.index[pos] = uint8_t(c + 4);
          list.mode[pos] = 1;
          group(c);
          break;
        case 1:
          list.mode[pos] = 2;
          list.Push(c + 4, 2);
          list.Push(c + 8, 2);
          list.Push(c + 12, 2);
          break;
        case 2:
          list.Clear(pos);
          ++pos;
          group(c);
          break;
        default:
          writeValue(c);
          list.Clear(pos);
          ++pos;
          break;
      }
    }
  }
  return true;
}

}  // namespace

bool WriteCoefficients(BitWriter& out, const int16_t coef[64]) { return CodeCoefficients(out, coef); }

int CoefficientBits(const int16_t coef[64]) {
  BitCounter c;
  return CodeCoefficients(c, coef) ? c.bits : -1;
}

double QuantiseTrial(const double s[64], bool inter, int q, int dcMin, int dcMax, int16_t coef[64], int* estimate) {
  const double* energy = TheBasis().energy;
  const int32_t* quant = inter ? kInterQuant[q] : kIntraQuant[q];
  const RowAids& aids = Aids(quant);
  // The same rounding as QuantiseBlock, with each coefficient's error and
  // estimated bits taken on the way.
  coef[0] = RoundedDc(s[0], aids, dcMin, dcMax);
  double d0 = s[0] - int32_t(IdctDequant(coef[0], quant[0]));
  double err = energy[0] * d0 * d0;
  int bits = 4;
  for (int k = 1; k < 64; ++k) {
    const int p = kCoefficientScan[k];
    const double c = s[p] * aids.scale[p];
    const int level = RoundedLevel(c, kDeadZone, aids.cap[p]);
    coef[k] = int16_t(c < 0 ? -level : level);
    const double d = s[p] - (level ? int32_t(IdctDequant(coef[k], quant[p])) : 0);
    err += energy[p] * d * d;
    if (level) bits += std::bit_width(unsigned(level)) + 3;
  }
  *estimate = bits;
  return err;
}

double TransformEnergy(int position) { return TheBasis().energy[position]; }

namespace {

// Codes one residue with at most limit + 1 changes; returns the changes made.
int CodeResidue(BitWriter* out, const int8_t target[64], int limit, int8_t decoded[64]) {
  auto put = [out](uint32_t v, int n) {
    if (out) out->Put(v, n);
  };
  int mag[64];
  int maxMag = 0;
  for (int k = 0; k < 64; ++k) {
    mag[k] = std::abs(int(target[k]));
    maxMag = std::max(maxMag, mag[k]);
    decoded[k] = 0;
  }
  const int e = maxMag ? BitLength(uint32_t(maxMag)) - 1 : 0;
  put(uint32_t(e), 3);
  EntryList list;
  list.Push(4, 0);
  list.Push(24, 0);
  list.Push(44, 0);
  list.Push(0, 2);
  uint8_t nonZero[64];
  int nonZeroCount = 0;
  int changes = 0;
  bool coded[64] = {};
  for (int mask = 1 << e; mask >= 1; mask >>= 1) {
    // A change ends the residue once limit changes were made before it.
    auto change = [&]() { return changes++ == limit; };
    for (int n = 0; n < nonZeroCount; ++n) {
      const int i = nonZero[n];
      const bool bit = (mag[i] & mask) != 0;
      put(bit, 1);
      if (bit) {
        decoded[i] = int8_t(decoded[i] >= 0 ? decoded[i] + mask : decoded[i] - mask);
        if (change()) return changes;
      }
    }
    auto newValue = [&](int i) {
      put(target[i] < 0, 1);
      decoded[i] = int8_t(target[i] < 0 ? -mask : mask);
      coded[i] = true;
      nonZero[nonZeroCount++] = uint8_t(i);
      return change();
    };
    auto significantAt = [&](int i) { return !coded[i] && mag[i] >= mask; };
    auto group = [&](int c) {
      for (int i = c; i < c + 4; ++i) {
        if (significantAt(i)) {
          put(0, 1);
          if (newValue(i)) return true;
        } else {
          put(1, 1);
          list.PushFront(i, 3);
        }
      }
      return false;
    };
    int pos = list.start;
    while (pos < list.end) {
      if (list.Empty(pos)) {
        ++pos;
        continue;
      }
      const int c = list.index[pos], mode = list.mode[pos];
      bool significant = false;
      for (int i = c; i < c + Coverage(mode) && i < 64; ++i) significant |= significantAt(i);
      put(significant, 1);
      if (!significant) {
        ++pos;
        continue;
      }
      switch (mode) {
        case 0:
          list.index[pos] = uint8_t(c + 4);
          list.mode[pos] = 1;
          if (group(c)) return changes;
          break;
        case 1:
          list.mode[pos] = 2;
          list.Push(c + 4, 2);
          list.Push(c + 8, 2);
          list.Push(c + 12, 2);
          break;
        case 2:
          list.Clear(pos);
          ++pos;
          if (group(c)) return changes;
          break;
        default:
          list.Clear(pos);
          ++pos;
          if (newValue(c)) return changes;
          break;
      }
    }
  }
  return changes;
}

}  // namespace

void WriteResidue(BitWriter& out, const int8_t target[64], int maxChanges, int8_t decoded[64]) {
  maxChanges = std::clamp(maxChanges, 1, 128);
  // A dry run counts the changes a complete residue needs; the limit then
  // ends the stream right after the last one instead of after trailing zeros.
  const int needed = CodeResidue(nullptr, target, maxChanges - 1, decoded);
  const int limit = std::max(needed, 1) - 1;
  out.Put(uint32_t(limit), 7);
  CodeResidue(&out, target, limit, decoded);
}

}  // namespace tarn::encoder
