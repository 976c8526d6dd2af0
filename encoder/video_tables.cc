// Code words of the sixteen shapes in writable form, from the decoder's text.
#include "encoder/video_tables.h"

namespace tarn::encoder {

namespace {

struct ShapeSet {
  CodeWord words[kCodeShapeCount][16];
  ShapeSet() {
    for (int s = 0; s < kCodeShapeCount; ++s) {
      for (int c = 0; c < 16; ++c) {
        uint16_t bits = 0;
        uint8_t len = 0;
        for (const char* p = kCodeShapeWords[s][c]; *p == '0' || *p == '1'; ++p, ++len)
          bits = uint16_t(bits | ((*p == '1') << len));
        words[s][c] = {bits, len};
      }
    }
  }
};

}  // namespace

const CodeWord (&CodeShapes())[kCodeShapeCount][16] {
  static const ShapeSet set;
  return set.words;
}

}  // namespace tarn::encoder
