// Small movies for tests, built with the library's container writer. Video
// data is a marker (the 0-based frame number as a 32-bit word, then a byte
// pattern), so a test can tell which record was read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn::test {

struct MovieRecipe {
  uint32_t frames = 3;
  uint32_t tracks = 0;
  uint32_t width = 64;
  uint32_t height = 48;
  uint32_t rateNumerator = 30;
  uint32_t rateDenominator = 1;
  char revision = 'i';
  uint32_t headerFlags = 0;
  uint32_t keyEvery = 1;             // every n-th frame is a key frame; 0: only the first
  uint32_t videoBytes = 16;          // per frame, at least 4
  uint32_t audioBytes = 8;           // compressed bytes per packet; 0: no packets at all
  uint32_t decodedBytes = 1024;      // decoded byte count stored in each packet
  uint32_t rateWord = 0x7000AC44;    // every track: 44100 Hz, stereo, 16-bit, codec B
  std::vector<uint32_t> trackIds{};  // default 0, 1, 2 ...
  std::vector<uint32_t> videoSizes{};  // per-frame override of videoBytes
};

std::vector<uint8_t> BuildMovie(const MovieRecipe& recipe);

// Writes bytes to a fresh file under the test temp directory and returns its path.
std::string WriteTempFile(const std::vector<uint8_t>& bytes, const std::string& name);

}  // namespace tarn::test
