// The decoder record, for the decoder itself, its tests and the encoder that
// must mirror its set-up. Other code uses audio/audio_decoder.h.
#pragma once

#include <cstdint>

#include "audio/audio_decoder.h"

namespace tarn {

inline constexpr uint32_t AUDIO_VARIANT_DCT = 1u << 0;  // variantFlags: inverse DCT per channel

// One allocation holds the record and its areas, each on a 32-byte boundary.
struct AudioDecoder {
  uint32_t transformLength;    // N: 512..4096, frame length (x channels for the real DFT)
  float outputScale;           // 2 / sqrt(N)
  uint32_t blockBytes;         // 2 * frame length * channels
  uint32_t overlapBytes;       // blockBytes / 16
  uint32_t transformChannels;  // channels (DCT) or 1 (real DFT, interleaved signal)
  int16_t* output;             // blockBytes / 2 samples, channels interleaved
  uint32_t firstBlock;         // 1 until the first block has been decoded
  uint32_t bandCount;          // 0..25 (1..25 for any rate from 2 Hz up)
  uint32_t* bandEdges;         // bandCount + 1 band starts in coefficient pairs; last = N/2
  int32_t* transformIndexArea;
  float* transformTable;
  int16_t* overlapTail;        // overlapBytes / 2 samples held back from the previous block
  uint32_t variantFlags;       // AUDIO_VARIANT_*
};

}  // namespace tarn
