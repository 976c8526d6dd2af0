// The video stream's fixed tables as the encoder uses them: the decoder's
// tables, plus the code shapes as (bits, length) words for writing.
#pragma once

#include <cstdint>

#include "video/video_tables.h"

namespace tarn::encoder {

struct CodeWord {
  uint16_t bits;   // the code, first stream bit in bit 0
  uint8_t length;  // 1..7
};

// CodeShapes()[shape][codeIndex]; every shape is a complete prefix code.
const CodeWord (&CodeShapes())[kCodeShapeCount][16];

inline const int32_t (&IntraQuantTable())[kQuantRows][64] { return kIntraQuant; }
inline const int32_t (&InterQuantTable())[kQuantRows][64] { return kInterQuant; }

}  // namespace tarn::encoder
