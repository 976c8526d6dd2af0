// Helpers for the hostile-file tests: a meter of the library's allocations
// (through MovieSetAllocator), the outcome of stepping through a movie, and
// small encoded movies whose frames decode clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "movie/movie.h"

namespace tarn::test {

// Counts the bytes the library holds while it lives; one at a time.
class AllocationMeter {
 public:
  AllocationMeter();
  ~AllocationMeter();
  AllocationMeter(const AllocationMeter&) = delete;
  AllocationMeter& operator=(const AllocationMeter&) = delete;
  uint64_t Peak() const;
  uint64_t Live() const;

 private:
  static void* Allocate(size_t size);
  static void Release(void* block);
  mutable std::mutex mutex_;
  std::unordered_map<void*, size_t> sizes_;  // guarded by mutex_
  uint64_t live_ = 0, peak_ = 0;             // guarded by mutex_
};

// Limits every hostile case must stay within, and what one case took.
struct CaseCost {
  uint64_t peakBytes = 0;
  double seconds = 0;
};
inline constexpr uint64_t kCaseByteLimit = 64ull << 20;  // library memory per case
inline constexpr double kCaseSecondLimit = 5.0;          // wall time per case (sanitizers included)

// Books one case's cost; the costliest figures are printed when the tests end.
void NoteCaseCost(uint64_t peakBytes, double seconds);

class CaseTimer {
 public:
  CaseTimer() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

struct MovieCloser {
  void operator()(Movie* m) const { MovieClose(m); }
};
using MoviePtr = std::unique_ptr<Movie, MovieCloser>;

// Steps through frames frames: per frame '0' decoded clean, 'c' decoded as a
// corrupt frame, 'E' reading has failed. Checks that a failure is for good.
std::string PlayOutcome(Movie* movie, uint32_t frames);

// An encoded movie of frames pictures (width x height, 10 frames a second)
// with tracks sound tracks (22050 Hz stereo, DCT variant), every frame clean.
std::vector<uint8_t> EncodedMovie(uint32_t width, uint32_t height, uint32_t frames, uint32_t tracks);

}  // namespace tarn::test
