// Block-type census of a movie: walks every plane's stream the way the decoder
// does, without building pictures, and counts the block types it takes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn::encoder {

struct BlockCensus {
  // [plane kind: 0 luma, 1 chroma, 2 alpha][block type value 0..15]; a
  // scaled area counts once (on its first row), its sub-type in scaledAs.
  std::array<std::array<uint64_t, 16>, 3> types{};
  std::array<uint64_t, 16> scaledAs{};
  uint32_t frames = 0;
  uint32_t corruptPlanes = 0;
};

// Counts the blocks of a whole movie image. False with a reason when the
// container cannot be read.
bool CountBlockTypes(const uint8_t* movie, size_t size, BlockCensus& out, std::string* why);

}  // namespace tarn::encoder
