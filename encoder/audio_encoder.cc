// Audio block coding: forward transform, per-band quantisers, and runs of
// coefficients with a shared width, written in the decoder's bit order.
#include "encoder/audio_encoder.h"

#include <bit>
#include <algorithm>
#include <cmath>
#include <complex>

#include "video/bit_writer.h"

namespace tarn::encoder {

namespace {

const uint32_t kBandEdgeHz[25] = {0,    100,  200,  300,  400,  510,  630,  770,   920,
                                  1080, 1270, 1480, 1720, 2000, 2320, 2700, 3150,  3700,
                                  4400, 5300, 6400, 7700, 9500, 12000, 15500};
const uint8_t kRunLengths[16] = {2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 32, 64};

// Factor of quantiser index i, as the decoder's table holds it (float).
double QuantFactor(int i) { return double(float(std::exp(0.15289164787 * i))); }

void Fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const double ang = -2 * M_PI / double(len);
    const std::complex<double> wl(std::cos(ang), std::sin(ang));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w(1);
      for (size_t k = 0; k < len / 2; ++k) {
        const auto u = a[i + k], v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= wl;
      }
    }
  }
}

// 29-bit float field: exponent in bits 0-4, 23-bit mantissa, sign in bit 28.
uint32_t FloatField(double v) {
  const double a = std::fabs(v);
  uint32_t e = 23, m = 0;
  for (uint32_t k = 0; k <= 23; ++k) {
    const double scaled = std::nearbyint(std::ldexp(a, 23 - int(k)));
    if (scaled < 8388608.0) {
      e = k;
      m = uint32_t(scaled);
      break;
    }
    if (k == 23) m = 8388607;
  }
  return e | m << 5 | uint32_t(v < 0 && m) << 28;
}

int BitLength(uint32_t v) { return int(std::bit_width(v)); }

}  // namespace

void ForwardDct(std::vector<double>& x) {
  // Makhoul: even samples forward, odd samples backward, one complex FFT.
  const size_t n = x.size();
  std::vector<std::complex<double>> v(n);
  for (size_t i = 0; i < n / 2; ++i) {
    v[i] = x[2 * i];
    v[n - 1 - i] = x[2 * i + 1];
  }
  Fft(v);
  for (size_t k = 0; k < n; ++k) {
    const double ang = -M_PI * double(k) / (2.0 * double(n));
    const double c = (v[k] * std::complex<double>(std::cos(ang), std::sin(ang))).real();
    // The inverse takes term 0 at full weight and sums without 1/N.
    x[k] = (k == 0 ? 1.0 : 2.0) * c / double(n);
  }
}

void ForwardRealDft(std::vector<double>& x) {
  const size_t n = x.size();
  std::vector<std::complex<double>> v(x.begin(), x.end());
  Fft(v);
  const double s = 2.0 / double(n);
  x[0] = s * v[0].real();
  x[1] = s * v[n / 2].real();
  for (size_t k = 1; k < n / 2; ++k) {
    x[2 * k] = s * v[k].real();
    x[2 * k + 1] = -s * v[k].imag();
  }
}

AudioEncoder::AudioEncoder(const AudioEncoderConfig& config) : config_(config) {
  config_.channels = std::clamp(config_.channels, 1u, 2u);
  frameLength_ = config.sampleRate >= 44100 ? 2048 : config.sampleRate >= 22050 ? 1024 : 512;
  uint32_t rate = config_.sampleRate;
  transformLength_ = frameLength_;
  if (!config_.useDct) {
    transformLength_ *= config_.channels;
    rate *= config_.channels;
  }
  const uint32_t halfRate = (rate + 1) / 2;
  bandCount_ = 25;
  for (uint32_t i = 0; i < 25; ++i) {
    if (kBandEdgeHz[i] >= halfRate) {
      bandCount_ = i;
      break;
    }
  }
  bandEdges_.resize(bandCount_ + 1);
  for (uint32_t i = 0; i < bandCount_; ++i) {
    bandEdges_[i] = uint32_t(kBandEdgeHz[i] * (transformLength_ / 2) / halfRate);
    if (bandEdges_[i] == 0) bandEdges_[i] = 1;
  }
  bandEdges_[bandCount_] = transformLength_ / 2;
  work_.resize(transformLength_);
}

void AudioEncoder::EncodeBlock(const int16_t* samples, std::vector<uint8_t>& out) {
  BitWriter w;
  const uint32_t n = transformLength_, ch = config_.channels;
  // The decoder multiplies its transform output by 2 / sqrt(N).
  const double gain = std::sqrt(double(n)) / 2.0;
  if (config_.useDct) {
    w.Put(0, 2);
    for (uint32_t c = 0; c < ch; ++c) {
      for (uint32_t i = 0; i < n; ++i) work_[i] = samples[i * ch + c] * gain;
      ForwardDct(work_);
      CodeChannel(w, work_);
    }
  } else {
    for (uint32_t i = 0; i < n; ++i) work_[i] = samples[i] * gain;
    ForwardRealDft(work_);
    CodeChannel(w, work_);
  }
  w.FlushTo(out);
}

void AudioEncoder::CodeChannel(BitWriter& w, std::vector<double>& coef) {
  const uint32_t n = transformLength_;
  w.Put(FloatField(coef[0]), 29);
  w.Put(FloatField(coef[1]), 29);

  // Quantiser per band: a floor set by the quality, raised in loud bands
  // where the noise is masked by the band's own energy.
  const int quality = std::clamp(config_.quality, 1, 100);
  const double floorStep = std::pow(2.0, (100 - quality) / 8.0);
  const double mask = 0.02 + (100 - quality) * 0.002;
  std::vector<double> factor(bandCount_);
  std::vector<int> index(bandCount_);
  for (uint32_t b = 0; b < bandCount_; ++b) {
    const uint32_t lo = std::max(2u, 2 * bandEdges_[b]), hi = 2 * bandEdges_[b + 1];
    double energy = 0;
    for (uint32_t j = lo; j < hi; ++j) energy += coef[j] * coef[j];
    const double rms = hi > lo ? std::sqrt(energy / double(hi - lo)) : 0.0;
    const double step = std::max(floorStep, mask * rms);
    int i = int(std::lround(std::log(step) / 0.15289164787));
    i = std::clamp(i, 0, 95);
    // Values are at most 15 bits wide: make sure the loudest one fits.
    double peak = 0;
    for (uint32_t j = lo; j < hi; ++j) peak = std::max(peak, std::fabs(coef[j]));
    while (i < 95 && peak / QuantFactor(i) > 32767.0) ++i;
    index[b] = i;
    factor[b] = QuantFactor(i);
    w.Put(uint32_t(i), 8);
  }

  // Runs, following the decoder's band cursor exactly so each value is
  // quantised with the factor the decoder will apply to it.
  uint32_t j = 2, k = 0;
  double q = 0.0;
  while (k < bandCount_ && 2 * bandEdges_[k] == 0) q = factor[k++];
  std::vector<uint32_t> values(n);
  while (j < n) {
    // Quantise one group of 8 as a non-zero run would see it.
    const uint32_t end8 = std::min(n, j + 8);
    uint32_t kk = k;
    double qq = q;
    uint32_t maxV = 0;
    for (uint32_t i = j; i < end8; ++i) {
      if (kk < bandCount_ && i == 2 * bandEdges_[kk]) qq = factor[kk++];
      const double v = qq > 0 ? std::floor(std::fabs(coef[i]) / qq + 0.5) : 0.0;
      values[i] = uint32_t(std::min(v, 32767.0));
      maxV = std::max(maxV, values[i]);
    }
    if (maxV == 0) {
      // Zero run: as many groups as are zero, coded with the longest
      // run length that does not pass a non-zero group.
      uint32_t groups = 1, pos = end8;
      while (pos < n && groups < 64) {
        const uint32_t ge = std::min(n, pos + 8);
        uint32_t kk2 = kk;
        double q2 = qq;
        bool zero = true;
        for (uint32_t i = pos; i < ge && zero; ++i) {
          if (kk2 < bandCount_ && i == 2 * bandEdges_[kk2]) q2 = factor[kk2++];
          zero = q2 <= 0 || std::floor(std::fabs(coef[i]) / q2 + 0.5) == 0;
        }
        if (!zero) break;
        ++groups;
        pos = ge;
        // The band cursor of a zero run is settled after it; the trial
        // cursor only estimates quantisation here.
        kk = kk2;
        qq = q2;
      }
      const bool toEnd = pos >= n;
      int best = -1;
      if (toEnd) {
        for (int r = 0; r < 16 && best < 0; ++r)
          if (j + 8u * kRunLengths[r] >= n) best = r;
      }
      if (best < 0) {
        for (int r = 15; r >= 0 && best < 0; --r)
          if (kRunLengths[r] <= groups) best = r;
      }
      uint32_t end;
      if (best < 0) {
        w.Put(0, 1);
        end = end8;
      } else {
        w.Put(1, 1);
        w.Put(uint32_t(best), 4);
        end = std::min(n, j + 8u * kRunLengths[best]);
      }
      w.Put(0, 4);
      j = end;
      while (k < bandCount_ && 2 * bandEdges_[k] < j) q = factor[k++];
      continue;
    }
    const int width = BitLength(maxV);
    w.Put(0, 1);
    w.Put(uint32_t(width), 4);
    for (uint32_t i = j; i < end8; ++i) {
      if (k < bandCount_ && i == 2 * bandEdges_[k]) q = factor[k++];
      w.Put(values[i], width);
      if (values[i]) w.Put(coef[i] < 0, 1);
    }
    j = end8;
  }
}

}  // namespace tarn::encoder
