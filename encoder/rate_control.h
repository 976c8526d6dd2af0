// Rate control for a byte rate: the quality of each frame, so that the movie
// averages the asked bytes per second and no second of it (any run of a
// second's frames) takes more than 1.5 times that, the margin the player's
// read-ahead sizes itself by. One pass steers by a model of each kind of
// frame (bytes grow by a steady factor per quality step) corrected after
// every frame; two passes first plan every frame's bytes from a pass at one
// quality, as one quality for the whole movie wherever the seconds allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn::encoder {

class RateControl {
 public:
  // bytesPerSecond > 0; frames per second = rateNumerator / rateDenominator.
  RateControl(uint64_t bytesPerSecond, uint32_t rateNumerator, uint32_t rateDenominator);

  // Plans the frames from a first pass at firstQuality: each frame's video
  // bytes and what else its record carries.
  void Plan(const std::vector<size_t>& videoBytes, const std::vector<size_t>& otherBytes, double firstQuality);

  // The quality (1..100) for the next frame, whose record carries otherBytes
  // besides its video.
  double Quality(bool key, size_t otherBytes);
  // The most bytes the next frame's record may take: with the frames before
  // it, no second may pass 1.5 times the rate.
  size_t Ceiling() const;
  // After a record that came out larger than Ceiling at quality: the quality
  // to code the frame again with (1 once nothing lower is left).
  double Retry(size_t recordBytes, double quality) const;
  // The next frame was coded at quality, its record taking recordBytes.
  void Done(bool key, size_t recordBytes, size_t otherBytes, double quality);

  // Bytes per quality step, as log(bytes) per unit of quality.
  static constexpr double kSlope = 0.047;

 private:
  double QualityFor(double logBytes, double logComplexity) const;
  // The most bytes a second holding the next frame has spent or is bound to
  // spend besides it.
  double WindowBefore() const;

  double rate_;          // bytes per second
  double perFrame_;      // bytes per frame at the rate
  uint32_t second_;      // frames in a second (the container's rounded rate)
  std::vector<size_t> records_;  // every frame's record bytes so far
  double spent_ = 0, videoSpent_ = 0, plannedSpent_ = 0;
  double smallest_;  // the smallest record of a predicted frame (a guess until one was coded)
  bool seenPredicted_ = false;
  // log(video bytes) - kSlope * quality per kind of frame ([key]), as last
  // seen; known once one such frame was coded.
  double complexity_[2] = {};
  bool known_[2] = {};
  double lastQuality_ = 60;
  // The plan of a second pass: each frame's video bytes, and what the first
  // pass's frame said of its complexity.
  std::vector<double> planned_;
  std::vector<double> firstComplexity_;
  double drift_ = 0;  // mean log(actual / planned) so far, which corrects the plan
};

}  // namespace tarn::encoder
