// Builds valid video plane streams from block descriptions, for decoder tests
// and benchmarks. Trees are all identity shapes, so every symbol is 4 bits;
// each block row's bundle values go into chunks of whole rows.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "video/bit_writer.h"

namespace tarn::test {

struct VideoRun {
  bool same;       // one colour for the whole run
  uint8_t length;  // 1..16
};

struct VideoBlock {
  uint8_t type = 0;            // block type 0..11
  uint8_t subType = 0;         // for a scaled block on an even row: 3, 5, 6, 8, 9 or another
  int8_t dx = 0, dy = 0;       // motion, residue and inter blocks, -15..15
  std::vector<uint8_t> colors;  // fill: 1; pattern: c0, c1; raw: 64; run: in the order taken
  uint8_t pattern[8] = {};     // pattern rows, bit 0 = leftmost sample
  int16_t dc = 0;              // intra 0..2047, inter -1023..1023
  int16_t coef[64] = {};       // coefficient order; coef[0] is ignored (dc holds it)
  uint8_t q = 0;
  int8_t residue[64] = {};     // coefficient order, -127..127; at most 128 changes in all
  uint8_t scan = 0;            // run blocks
  std::vector<VideoRun> runs;  // run blocks; lengths add up to 63 or 64
};

class PlaneStreamBuilder {
 public:
  // planeWidth is the plane's width (a multiple of 8); workWidth the width the
  // bundle buffers were sized for (the movie width rounded up to 16).
  PlaneStreamBuilder(uint32_t planeWidth, uint32_t workWidth, bool oldColorRule = false);

  void Add(const VideoBlock& block);  // the next block in decode order
  void EndRow();
  // The plane's bits, padded to a whole 32-bit word.
  std::vector<uint8_t> Finish();

 private:
  struct Row {
    std::vector<int> values[9];
    BitWriter inline_;
  };
  void PutValues(BitWriter& w, int kind, const std::vector<int>& values);

  uint32_t width_;
  uint32_t sizes_[9];
  bool old_;
  std::vector<Row> rows_;
};

// A bit string in stream order, e.g. "0110" (other characters are ignored).
void PutCode(BitWriter& w, std::string_view bits);
// Code index c (0..15) of code shape `shape` (0..15).
void PutShapeCode(BitWriter& w, int shape, int c);

// Bits that make the coefficient reader produce coef[1..63] (coefficient order).
void PutCoefficients(BitWriter& w, const int16_t coef[64]);
// The 7-bit change limit followed by the residue bits; false when the residue
// needs more than 128 changes.
bool PutResidue(BitWriter& w, const int8_t residue[64]);

// A deterministic mix of every block type but scaled over a whole plane:
// skips, motion, fills, patterns, runs, raw, intra, inter and residue blocks,
// motion kept inside the plane. The heavy mix codes a quarter of the blocks
// with transforms; the light one is mostly skips and motion, as in the
// frames between key frames.
enum class VideoMix { kHeavy, kLight };
std::vector<uint8_t> MixedPlane(uint32_t width, uint32_t height, uint32_t workWidth, uint32_t seed,
                                bool oldColorRule = false, VideoMix mix = VideoMix::kHeavy);

// One frame's video data from whole-word planes (alpha may be empty).
std::vector<uint8_t> VideoFrameBytes(const std::vector<uint8_t>& luma, const std::vector<uint8_t>& chroma1,
                                     const std::vector<uint8_t>& chroma2, bool revisionI,
                                     const std::vector<uint8_t>* alpha = nullptr);

}  // namespace tarn::test
