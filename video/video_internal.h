// Internals of the video decoder shared by its files and its tests: symbol
// trees, the nine bundles, the coefficient and residue readers, the inverse
// transform and the plane decoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu_features.h"
#include "video/bit_reader.h"
#include "video/stream_codes.h"
#include "video/video.h"

namespace tarn {

// A code shape and a permutation of 0..15 applied to its code indices.
struct SymbolTree {
  uint8_t shape;
  uint8_t map[16];
};

// Reads a tree. An explicit list that names a value twice is corrupt: the
// repeat is dropped (the map stays a permutation) and *corrupt is set.
SymbolTree ReadSymbolTree(BitReader& reader, bool* corrupt);

// The tree's decode table for BitReader::Symbol: (code length << 4) | map[code index].
void BuildSymbolTable(const SymbolTree& tree, uint8_t table[kShapeLookupSize]);

struct Bundle {
  uint8_t* data;       // the movie's work buffer for this kind
  uint32_t capacity;   // values that fit in data (bytes, or 16-bit values for the DC kinds)
  uint32_t readPos;    // next value to take
  uint32_t end;        // end of the decoded chunk; exhausted when readPos == end
  int countBits;       // width of each chunk's count field for this plane
  bool finished;       // a count of 0 was read: never refilled again in this plane
};

// The per-plane state of the bundles: trees, decode tables and positions.
struct PlaneBundles {
  Bundle bundle[kVideoBundleCount];
  uint8_t table[kVideoBundleCount][kShapeLookupSize];  // decode tables; unused for the DC kinds
  uint8_t colorContext[16][kShapeLookupSize];          // colour high-nibble trees by lastHigh
  uint32_t lastHigh;                                   // 0..15
  bool oldColorRule;  // revisions before i: colours are stored as 128 -/+ (v & 127)
  bool corrupt;       // a rule of the stream was broken in this plane
};

// Gives each bundle its buffer and the count width for a plane width (a multiple of 8).
void PlaneBundlesInit(PlaneBundles& pb, const VideoWork& work, uint32_t planeWidth, bool oldColorRule);

// Reads all trees of one plane, resets lastHigh and leaves every bundle exhausted.
void ReadPlaneTrees(BitReader& reader, PlaneBundles& pb);

// Reads a chunk for each bundle that is exhausted and not finished, in kind order.
// A count above the bundle's capacity is corrupt: the bundle is then finished.
void RefillBundles(BitReader& reader, PlaneBundles& pb);

// Takes one value. Taking from an exhausted or finished bundle is corrupt and yields 0.
inline uint8_t TakeByte(PlaneBundles& pb, int kind) {
  Bundle& b = pb.bundle[kind];
  if (b.readPos >= b.end) {
    pb.corrupt = true;
    return 0;
  }
  return b.data[b.readPos++];
}

inline int16_t TakeDc(PlaneBundles& pb, int kind) {
  Bundle& b = pb.bundle[kind];
  if (b.readPos >= b.end) {
    pb.corrupt = true;
    return 0;
  }
  int16_t v;
  std::memcpy(&v, b.data + 2 * size_t(b.readPos++), 2);
  return v;
}

// Coefficients 1..63 of a block in sample-position order (block[0] is the
// caller's DC). Every index written lies in 0..63 whatever the bits say.
void ReadCoefficients(BitReader& reader, int16_t block[64]);

// Dequantise with quant (64 factors by position), inverse transform, store the
// low 8 bits. Wraps as 32-bit arithmetic; never clamps.
void IdctPut(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t stride);
void IdctPutDoubled(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t stride);
void IdctAdd(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t dstStride,
             const uint8_t* src, ptrdiff_t srcStride);
// The transform alone: 64 samples (low 8 bits) by position.
void IdctBlock(const int16_t block[64], const int32_t* quant, uint8_t out[64]);

// The transform's variants, picked once per plane by the processor-feature
// word. put and block keep IdctPut's and IdctBlock's contracts; add keeps
// IdctAdd's for a src that is dst itself or does not overlap it (where an
// overlapping src is read as the scalar add reads it, use IdctAdd).
struct IdctDsp {
  void (*put)(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t stride);
  void (*add)(const int16_t block[64], const int32_t* quant, uint8_t* dst, ptrdiff_t dstStride,
              const uint8_t* src, ptrdiff_t srcStride);
  void (*block)(const int16_t block[64], const int32_t* quant, uint8_t out[64]);
};
void IdctDspInit(IdctDsp& dsp, CpuFlags cpu);
void IdctDspInitSse2(IdctDsp& dsp);  // built on x86 only

// Residue in coefficient order; at most limit + 1 changes are made.
void ReadResidue(BitReader& reader, uint32_t limit, uint8_t residue[64]);
// dst = src + residue, sample by sample modulo 256; src is dst or does not overlap it.
void AddResidue(const uint8_t residue[64], uint8_t* dst, const uint8_t* src, ptrdiff_t stride);
// The same one sample at a time in coefficient order, which defines what an
// overlapping src (decoding in place) reads.
void AddResidueInOrder(const uint8_t residue[64], uint8_t* dst, const uint8_t* src, ptrdiff_t stride);

struct PlaneResult {
  uint64_t next;       // offset after the plane, relative to the frame data
  uint32_t skipCount;  // skipped blocks whose area was not yet marked
  bool corrupt;
};

// Decodes one plane whose bits start at offset start of the frame data
// [data, data + size). plane kind 1 = luma or alpha, 2 = chroma. dst and ref
// have the same stride and may be the same plane (decoded in place). With a
// skipTally (laid out as the change map) each counted skip adds one to the
// tally's byte of its area instead of to the result's skipCount.
PlaneResult VideoDecodePlane(const uint8_t* data, size_t size, uint64_t start, uint8_t* dst,
                             const uint8_t* ref, uint32_t width, uint32_t height, uint32_t stride,
                             uint8_t* changeMap, uint32_t blocksAcross, int kind, const VideoWork& work,
                             uint32_t movieFlags, uint8_t* skipTally = nullptr);

}  // namespace tarn
