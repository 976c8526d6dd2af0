// Block choice of the video encoder: for each 2 x 2 area of 8 x 8 blocks,
// the code of each block (one of the nine block types) or one scaled code
// for the whole area, by rate and distortion.
#pragma once

#include <cstdint>

#include "encoder/motion_search.h"
#include "video/bit_writer.h"
#include "video/stream_codes.h"

namespace tarn::encoder {

// What a plane is coded with: the quantiser row, the rate weight and the
// rules of the frame.
struct CodingParams {
  int q = 0;
  double lambda = 1;
  bool key = true;
  bool oldColours = false;  // revisions f, g, h: colour byte 0 cannot be coded
  int residueShift = 0;     // residue bits dropped below this level
};

// One block's coded form: its type, bundle values, stream bits, and the 8 x 8
// result (the decoded block; for a scaled area the result before doubling).
struct BlockCode {
  uint8_t type = BLOCK_SKIP;
  uint8_t sub = 0;
  bool hasMotion = false;
  int8_t mx = 0, my = 0;
  bool hasDc = false;
  int16_t dc = 0;
  int nColours = 0, nPatterns = 0, nRuns = 0;
  uint8_t colours[64] = {};
  uint8_t patterns[8] = {};
  uint8_t runs[64] = {};
  BitWriter bits;
  double cost = 1e300;
  uint8_t result[64] = {};
};

// The codes of the 2 x 2 area whose top-left block is (bx, by): true with one
// scaled code in scaled, or false with the best code of each block inside
// the plane in cells[j * 2 + i] for block (bx + i, by + j). field holds the
// chosen vector of every block (width / 8 per row): the area's are stored, and
// those of its left and upper neighbours are read as seeds.
bool ChooseArea(const PlaneContext& pc, const CodingParams& p, int bx, int by, MotionVector* field,
                BlockCode cells[4], BlockCode& scaled);

}  // namespace tarn::encoder
