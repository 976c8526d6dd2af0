// Tree and bundle coding of the video encoder: lays a plane's block values
// out in per-row bundle chunks, picks each bundle's code shape and symbol map
// from the symbol counts, and writes the plane's stream.
#pragma once

#include <cstdint>
#include <vector>

#include "encoder/bit_costs.h"
#include "video/bit_writer.h"
#include "video/video.h"

namespace tarn::encoder {

// One block row's part of a plane: the values its blocks give each bundle,
// and the bits its blocks carry in the stream, in block order.
struct RowData {
  std::vector<int> values[kVideoBundleCount];
  BitWriter bits;
};

// Writes one plane's stream to out, padded to a whole word: trees, then per
// row the chunks of the bundles that the row finds exhausted, then the row's
// block bits. width is the plane's (a multiple of 8); oldColours codes the
// colours of revisions before i. coding receives what the next frame's bit
// costs are drawn from.
void WritePlane(std::vector<RowData>& rows, uint32_t width, bool oldColours, std::vector<uint8_t>& out,
                PlaneCoding* coding = nullptr);

}  // namespace tarn::encoder
