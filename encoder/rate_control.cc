// Rate control. Bytes are modelled per frame as exp(complexity + kSlope *
// quality); the complexity of each kind of frame follows what the frames
// came to, and the bytes owed or saved so far are spread over the next
// second. A second's frames are the container's rounded frame rate.
#include "encoder/rate_control.h"

#include <algorithm>
#include <cmath>

#include "movie/container.h"

namespace tarn::encoder {

namespace {

// Under the hard limit of a second's bytes (1.5 times the rate) budgets aim
// at a softer one, which leaves the next frames of the second some room.
constexpr double kHardSecond = 1.5, kSoftSecond = 1.35;

}  // namespace

RateControl::RateControl(uint64_t bytesPerSecond, uint32_t rateNumerator, uint32_t rateDenominator)
    : rate_(double(bytesPerSecond)),
      perFrame_(double(bytesPerSecond) * rateDenominator / std::max<uint32_t>(rateNumerator, 1)),
      second_(RoundedFrameRate(rateNumerator, rateDenominator)),
      smallest_(perFrame_ / 2) {}

void RateControl::Plan(const std::vector<size_t>& videoBytes, const std::vector<size_t>& otherBytes,
                       double firstQuality) {
  const size_t n = videoBytes.size();
  firstComplexity_.resize(n);
  planned_.assign(n, 0);
  if (n == 0) return;
  double other = 0, sum = 0;
  for (size_t i = 0; i < n; ++i) {
    firstComplexity_[i] = std::log(std::max<double>(double(videoBytes[i]), 1)) - kSlope * firstQuality;
    other += double(otherBytes[i]);
    sum += std::exp(firstComplexity_[i]);
  }
  // One quality for every frame, the one that spends the movie's bytes.
  const double video = std::max(perFrame_ * double(n) - other, double(n));
  const double quality = std::clamp((std::log(video) - std::log(sum)) / kSlope, 1.0, 100.0);
  for (size_t i = 0; i < n; ++i) planned_[i] = std::exp(firstComplexity_[i] + kSlope * quality);
  // Seconds that would pass the soft limit are cut down to it, and what they
  // gave up goes to the frames outside them.
  std::vector<char> capped(n, 0);
  for (int round = 0; round < 6 && n >= second_; ++round) {
    bool cut = false;
    for (size_t s = 0; s + second_ <= n; ++s) {
      double v = 0, o = 0;
      for (size_t j = s; j < s + second_; ++j) {
        v += planned_[j];
        o += double(otherBytes[j]);
      }
      const double room = kSoftSecond * rate_ - o;
      if (v <= room || v <= 0) continue;
      const double f = std::max(room, double(second_)) / v;
      for (size_t j = s; j < s + second_; ++j) {
        planned_[j] *= f;
        capped[j] = 1;
      }
      cut = true;
    }
    if (!cut) break;
    double total = 0, free = 0;
    for (size_t i = 0; i < n; ++i) {
      total += planned_[i];
      if (!capped[i]) free += planned_[i];
    }
    if (free <= 0 || total >= video) break;
    const double f = (free + video - total) / free;
    for (size_t i = 0; i < n; ++i)
      if (!capped[i]) planned_[i] *= f;
  }
}

double RateControl::QualityFor(double logBytes, double logComplexity) const {
  return std::clamp((logBytes - logComplexity) / kSlope, 1.0, 100.0);
}

double RateControl::WindowBefore() const {
  // Each second that holds the next frame holds some frames before it and
  // the rest after it; those after it will take at least the smallest
  // record a predicted frame has taken.
  const size_t n = records_.size(), r = std::max<uint32_t>(second_, 1);
  double past = 0, most = double(r - 1) * smallest_;
  for (size_t k = 1; k < r && k <= n; ++k) {
    past += double(records_[n - k]);
    most = std::max(most, past + double(r - 1 - k) * smallest_);
  }
  return most;
}

size_t RateControl::Ceiling() const { return size_t(std::max(0.0, kHardSecond * rate_ - WindowBefore())); }

double RateControl::Quality(bool key, size_t otherBytes) {
  const size_t i = records_.size();
  const double other = double(otherBytes);
  const bool planned = i < planned_.size();
  // The record's share (the plan's, or the rate's), and what the frames so
  // far owe or saved against it, spread over a second.
  const double share = planned ? planned_[i] + other : perFrame_;
  const double owed = planned ? plannedSpent_ - videoSpent_ : double(i) * perFrame_ - spent_;
  const double target = std::clamp(share + owed / std::max<uint32_t>(second_, 1), 0.3 * share, 3.0 * share);
  // Never past the soft limit of the second this frame ends.
  const double room = std::max(kSoftSecond * rate_ - WindowBefore() - other, 1.0);
  const double video = std::clamp(target - other, 1.0, room);

  double quality = lastQuality_;
  if (planned) {
    quality = QualityFor(std::log(video), firstComplexity_[i] + drift_);
  } else if (key && known_[1]) {
    // A key frame keeps the pictures' quality unless its second cannot take it.
    quality = std::min(lastQuality_, QualityFor(std::log(room), complexity_[1]));
  } else if (!key && known_[0]) {
    quality = std::clamp(QualityFor(std::log(video), complexity_[0]), lastQuality_ - 12, lastQuality_ + 12);
  }
  return std::clamp(quality, 1.0, 100.0);
}

double RateControl::Retry(size_t recordBytes, double quality) const {
  const double ceiling = std::max<double>(double(Ceiling()), 1);
  const double step = (std::log(double(recordBytes) / ceiling) + 0.1) / kSlope + 1;
  return std::max(1.0, quality - std::max(step, 2.0));
}

void RateControl::Done(bool key, size_t recordBytes, size_t otherBytes, double quality) {
  const size_t i = records_.size();
  const double video = std::max<double>(double(recordBytes) - double(otherBytes), 1);
  const double c = std::log(video) - kSlope * quality;
  complexity_[key] = known_[key] && !key ? 0.5 * complexity_[key] + 0.5 * c : c;
  known_[key] = true;
  if (!key || i == 0) lastQuality_ = quality;
  if (i < planned_.size()) {
    drift_ = 0.7 * drift_ + 0.3 * (c - firstComplexity_[i]);
    plannedSpent_ += planned_[i];
  }
  if (!key) {
    smallest_ = seenPredicted_ ? std::min(smallest_, double(recordBytes)) : double(recordBytes);
    seenPredicted_ = true;
  }
  records_.push_back(recordBytes);
  spent_ += double(recordBytes);
  videoSpent_ += video;
}

}  // namespace tarn::encoder
