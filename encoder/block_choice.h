// Block choice of the video encoder: for each 2 x 2 area of 8 x 8 blocks,
// the code of each block (one of the nine block types) or one scaled code
// for the whole area, by distortion and the bits the plane's costs give.
#pragma once

#include <cstdint>
#include <vector>

#include "encoder/bit_costs.h"
#include "encoder/motion_search.h"
#include "video/bit_writer.h"
#include "video/stream_codes.h"

namespace tarn::encoder {

// What a plane is coded with: the quantiser row the transforms centre on,
// the rate weight (squared error per bit) and the rules of the frame.
struct CodingParams {
  int q = 0;
  double lambda = 1;
  bool key = true;
  bool oldColours = false;  // revisions f, g, h: colour byte 0 cannot be coded
  int residueShift = 0;     // residue bits dropped below this level
};

// The values before the next block of one block row, in the bundles whose
// costs depend on them.
struct RowContext {
  int prevType = -1;  // -1 at the row start
  int lastHigh = 0;   // the last colour's high nibble (the colour bundle's context)
  int prevIntraDc = 1024, prevInterDc = 0;
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
  double cost = 1e300;  // distortion + lambda * bits
  double distortion = 0;
  uint8_t result[64] = {};
};

// Moves a row's context past a block coded as c (a continuation takes only
// its type).
void AdvanceContext(RowContext& ctx, const BlockCode& c, bool oldColours, bool continuation = false);

// What the choice of one plane reads: the plane, its rules and costs, and
// last frame's vectors (width / 8 per row; null on a key frame).
struct PlaneChoice {
  const PlaneContext* pc;
  const CodingParams* p;
  const PlaneCosts* costs;
  const MotionVector* previousField;
};

// The codes of one 2 x 2 area: one scaled code, or a code per block inside
// the plane (cells[j * 2 + i] for the block i right and j down).
struct AreaCode {
  bool scaled = false;
  BlockCode code;  // the scaled code
  BlockCode cells[4];
};

// The codes of the areas of block rows by and by + 1, left to right. field
// holds the vectors found for every block (width / 8 per row): those of the
// two rows are stored, and the blocks' left and upper neighbours there are
// read as seeds. A block row whose vectors are all the plane's common one but
// for a few has those few chosen again without their own vector when the
// row's vectors then go as one repeated value for fewer bits in all.
void ChooseAreaRow(const PlaneChoice& choice, int by, MotionVector* field, std::vector<AreaCode>& areas);

}  // namespace tarn::encoder
