#include "tests/hostile/hostile_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/allocator.h"
#include "encoder/movie_encoder.h"

namespace tarn::test {
namespace {
AllocationMeter* activeMeter = nullptr;

CaseCost worst;
uint32_t casesNoted = 0;

class WorstCaseReport : public ::testing::Environment {
 public:
  void TearDown() override {
    if (casesNoted == 0) return;
    std::printf("%u hostile cases: at most %.1f KB of library memory and %.1f ms each\n", casesNoted,
                worst.peakBytes / 1024.0, worst.seconds * 1000);
  }
};
[[maybe_unused]] ::testing::Environment* const report = ::testing::AddGlobalTestEnvironment(new WorstCaseReport);
}  // namespace

void NoteCaseCost(uint64_t peakBytes, double seconds) {
  ++casesNoted;
  worst.peakBytes = std::max(worst.peakBytes, peakBytes);
  worst.seconds = std::max(worst.seconds, seconds);
}

AllocationMeter::AllocationMeter() {
  activeMeter = this;
  MovieSetAllocator(Allocate, Release);
}

AllocationMeter::~AllocationMeter() {
  MovieSetAllocator(nullptr, nullptr);
  activeMeter = nullptr;
}

uint64_t AllocationMeter::Peak() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

uint64_t AllocationMeter::Live() const {
  std::lock_guard lock(mutex_);
  return live_;
}

void* AllocationMeter::Allocate(size_t size) {
  void* p = std::malloc(size);
  if (!p) return kAllocFailed;
  std::lock_guard lock(activeMeter->mutex_);
  activeMeter->sizes_[p] = size;
  activeMeter->live_ += size;
  if (activeMeter->live_ > activeMeter->peak_) activeMeter->peak_ = activeMeter->live_;
  return p;
}

void AllocationMeter::Release(void* block) {
  if (activeMeter) {
    std::lock_guard lock(activeMeter->mutex_);
    auto it = activeMeter->sizes_.find(block);
    if (it != activeMeter->sizes_.end()) {
      activeMeter->live_ -= it->second;
      activeMeter->sizes_.erase(it);
    }
  }
  std::free(block);
}

std::string PlayOutcome(Movie* movie, uint32_t frames) {
  std::string out;
  for (uint32_t f = 0; f < frames; ++f) {
    if (MovieDoFrame(movie) != 0) {
      out += 'E';
      EXPECT_TRUE(movie->readFailed);
      EXPECT_EQ(MovieWait(movie), 0u) << "a failed movie is never waited for";
    } else {
      EXPECT_FALSE(movie->readFailed);
      out += MovieLastFrameCorrupt(movie) ? 'c' : '0';
    }
    MovieNextFrame(movie);
  }
  const size_t failed = out.find('E');
  if (failed != std::string::npos) {
    EXPECT_EQ(out.find_first_not_of('E', failed), std::string::npos) << out << ": reading stays failed";
  }
  return out;
}

std::vector<uint8_t> EncodedMovie(uint32_t width, uint32_t height, uint32_t frames, uint32_t tracks) {
  std::vector<encoder::Picture> pictures(frames);
  for (uint32_t f = 0; f < frames; ++f) {
    encoder::Picture& p = pictures[f];
    p.width = width, p.height = height;
    p.y.resize(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) p.y[size_t(y) * width + x] = uint8_t(x * 3 + y * 5 + f * 9 + (x * y) % 7);
  }
  std::vector<encoder::MemoryTrack> sounds(tracks);
  for (uint32_t t = 0; t < tracks; ++t) {
    encoder::Sound& s = sounds[t].sound;
    s.sampleRate = 22050;
    s.channels = 2;
    s.samples.resize(size_t(22050) * frames / 10 * 2);
    for (size_t i = 0; i < s.samples.size(); ++i) s.samples[i] = int16_t(8000 * std::sin(0.05 * double(i) * (t + 1)));
    sounds[t].id = t;
  }
  encoder::EncodeOptions o;
  o.rateNumerator = 10;
  o.rateDenominator = 1;
  o.audioQuality = 40;
  o.audioLeadMs = 0;  // every frame carries a packet of its own to corrupt
  std::vector<uint8_t> movie;
  std::string why;
  if (!encoder::EncodeMovieMemory(pictures, sounds, o, movie, &why)) ADD_FAILURE() << why;
  return movie;
}

}  // namespace tarn::test
