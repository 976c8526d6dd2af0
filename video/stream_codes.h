// Codes of the plane stream shared by the decoder, the encoder and the test
// builders: the block types, and the nine bundles that carry block values
// with the size of their per-row chunks.
#pragma once

#include <cstdint>

namespace tarn {

// Values of the block-type and sub-block-type bundles. 10..15 are taken like
// the others but decode to nothing.
enum BlockType : uint8_t {
  BLOCK_SKIP,
  BLOCK_SCALED,
  BLOCK_MOTION,
  BLOCK_RUN,
  BLOCK_RESIDUE,
  BLOCK_INTRA,
  BLOCK_FILL,
  BLOCK_INTER,
  BLOCK_PATTERN,
  BLOCK_RAW,
};
inline constexpr int kBlockTypeCount = 10;

// The bundles in the order a row refills them (kVideoBundleCount of them).
enum BundleKind : uint8_t {
  BUNDLE_BLOCK_TYPE,
  BUNDLE_SUB_BLOCK_TYPE,
  BUNDLE_COLOR,
  BUNDLE_PATTERN,
  BUNDLE_X_OFFSET,
  BUNDLE_Y_OFFSET,
  BUNDLE_INTRA_DC,
  BUNDLE_INTER_DC,
  BUNDLE_RUN,
};

// The most values of a kind one block row of a plane can take (planeWidth a
// multiple of 8): one per block, one sub-type per scaled area, 64 colours,
// 8 pattern rows or 48 runs per block.
uint32_t BundleRowValues(int kind, uint32_t planeWidth);

// Count-field width of a bundle kind for a plane width: the bit length of
// BundleRowValues + 511, the largest count a chunk may give.
int BundleCountBits(int kind, uint32_t planeWidth);

}  // namespace tarn
