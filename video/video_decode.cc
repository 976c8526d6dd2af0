// The frame and plane decoder: finds the planes in one frame's video data and
// reads each as 8 x 8 blocks: the parse here takes the bits and bundles and
// keeps the change map, writing block records that the rebuild
// (plane_rebuild.cc) turns into samples, on this thread batch by batch or
// on another through a ring. Writes only inside the destination planes
// (never their stride padding), the change map, the bundle buffers and the
// record batches; reads only the reference planes and the frame data. The
// same parse, with no rebuild, counts block types.
#include <array>
#include <cstring>
#include <initializer_list>

#include "common/little_endian.h"
#include "common/worker_pool.h"
#include "video/block_records.h"
#include "video/video_internal.h"

namespace tarn {

namespace {

// Flag values shared with the movie's header and open flags.
constexpr uint32_t kHeaderAlpha = 0x100000;    // the video data begins with an alpha section
constexpr uint32_t kOpenAlpha = 0x100000;      // decode that section (else step over it)
constexpr uint32_t kOpenGrey = 0x20000;        // luma (and alpha) only
constexpr uint32_t kOpenBeforeRevI = 0x8000;   // no chroma offset word; old colour rule

// 32-bit masks selecting the samples whose pattern bit is set, by nibble
// (bit k = sample k, stored little-endian so sample 0 is the first byte).
constexpr uint32_t NibbleMask(uint32_t n) {
  uint32_t m = 0;
  for (int k = 0; k < 4; ++k) m |= ((n >> k) & 1) ? 0xFFu << (8 * k) : 0;
  return m;
}
constexpr uint32_t kNibbleMask[16] = {
    NibbleMask(0), NibbleMask(1), NibbleMask(2),  NibbleMask(3),  NibbleMask(4),  NibbleMask(5),
    NibbleMask(6), NibbleMask(7), NibbleMask(8),  NibbleMask(9),  NibbleMask(10), NibbleMask(11),
    NibbleMask(12), NibbleMask(13), NibbleMask(14), NibbleMask(15)};

// What a parse does besides writing records. kSamples: it keeps the change
// map and the skip count for a rebuild (else only the bundles are written).
// Taken sees every block type taken (a scaled area once, on its first row),
// ScaledAs every scaled area's sub-type; RowStarts may end the parse before
// a block row.
struct DecodeIntoPlane {
  static constexpr bool kSamples = true;
  bool RowStarts(const BitReader&) const { return true; }
  void Taken(uint8_t) const {}
  void ScaledAs(uint8_t) const {}
};

struct CountBlockTypes {
  static constexpr bool kSamples = false;
  std::array<uint64_t, 16>& types;
  std::array<uint64_t, 16>& scaledAs;
  // Past the end of the data every block reads as a skip: not worth counting.
  bool RowStarts(const BitReader& br) const { return !br.Overrun(); }
  void Taken(uint8_t type) { ++types[type & 15]; }
  void ScaledAs(uint8_t sub) { ++scaledAs[sub & 15]; }
};

// Where a parse hands each block. The sinks take the same calls in stream
// order: Coefficients() and Tile() give room for what the parse reads before
// the call that uses it (64 coefficients; 64 samples or residue bytes).
// Full() ends a Parse before a block.

// Room for what a block reads before the call that takes it, for the sinks
// that handle each block at once.
struct ScratchSink {
  alignas(16) int16_t coef[64];
  alignas(16) uint8_t tile[64];

  static constexpr bool Full() { return false; }
  void RowStart(uint32_t) {}
  int16_t* Coefficients() { return coef; }
  uint8_t* Tile() { return tile; }
};

// Serial: each block is rebuilt as soon as it is parsed.
struct RebuildSink : ScratchSink {
  const PlaneRebuild& rb;
  explicit RebuildSink(const PlaneRebuild& r) : rb(r) {}
  void Skip(uint32_t x, uint32_t y) { rb.Skip(x, y); }
  void None() {}
  void Motion(uint32_t x, uint32_t y, int dx, int dy) { rb.Motion(x, y, dx, dy); }
  void Fill(uint32_t x, uint32_t y, uint8_t c) { rb.Fill(x, y, c); }
  void TileDone(uint32_t x, uint32_t y) { rb.Tile(x, y, tile); }
  void Intra(uint32_t x, uint32_t y, uint32_t q) { rb.Intra(x, y, coef, q); }
  void Inter(uint32_t x, uint32_t y, int dx, int dy, uint32_t q) { rb.Inter(x, y, dx, dy, coef, q); }
  void Residue(uint32_t x, uint32_t y, int dx, int dy) { rb.Residue(x, y, dx, dy, tile); }
  void ScaledNone() {}
  void ScaledTile(uint32_t x, uint32_t y) { rb.ScaledTile(x, y, tile); }
  void ScaledIntra(uint32_t x, uint32_t y, uint32_t q) { rb.ScaledIntra(x, y, coef, q); }
};

// The same, for the rest of a plane whose shared records ran out of room: a
// type of its own, so that the parse of the serial decode keeps a single
// caller and stays inlined there (out of line, the serial decode of a 720p
// pan took 5% longer).
struct RebuildRestSink : RebuildSink {
  using RebuildSink::RebuildSink;
};

// Counting block types: nothing is written.
struct DiscardSink : ScratchSink {
  void Skip(uint32_t, uint32_t) {}
  void None() {}
  void Motion(uint32_t, uint32_t, int, int) {}
  void Fill(uint32_t, uint32_t, uint8_t) {}
  void TileDone(uint32_t, uint32_t) {}
  void Intra(uint32_t, uint32_t, uint32_t) {}
  void Inter(uint32_t, uint32_t, int, int, uint32_t) {}
  void Residue(uint32_t, uint32_t, int, int) {}
  void ScaledNone() {}
  void ScaledTile(uint32_t, uint32_t) {}
  void ScaledIntra(uint32_t, uint32_t, uint32_t) {}
};

// Parallel: block records (block_records.h) into a batch of capacity bytes
// (4-byte aligned, at least kRecordMax), which RebuildRecords turns into
// the same PlaneRebuild calls. Positions are implied by the order; runs of
// skips, and of motion blocks, in a row share one record.
struct RecordSink {
  uint8_t* const start;
  uint8_t* w;
  uint8_t* const last;      // a record may start at or before this
  uint8_t* run = nullptr;   // the skip or motion record just before, to extend

  RecordSink(uint8_t* out, size_t capacity) : start(out), w(out), last(out + capacity - kRecordMax) {}
  size_t Bytes() const { return size_t(w - start); }

  bool Full() const { return w > last; }
  void RowStart(uint32_t) { run = nullptr; }
  int16_t* Coefficients() { return reinterpret_cast<int16_t*>(w + kRecordHead); }
  uint8_t* Tile() { return w + kRecordHead; }
  void Put(uint8_t op, size_t bytes, uint32_t arg = 0, int dx = 0, int dy = 0) {
    w[0] = op;
    w[1] = uint8_t(arg);
    w[2] = uint8_t(int8_t(dx));
    w[3] = uint8_t(int8_t(dy));
    w += bytes;
    run = nullptr;
  }
  void Skip(uint32_t, uint32_t) {
    if (run && run[0] == REC_SKIP && run[1] < 255) {
      ++run[1];
      return;
    }
    Put(REC_SKIP, kRecordHead, 1);
    run = w - kRecordHead;
  }
  void None() { Put(REC_NONE, kRecordHead); }
  // The record only ever grows at the batch's end, by at most 4 bytes a
  // block, within the kRecordMax that Full() keeps free before each block.
  void Motion(uint32_t, uint32_t, int dx, int dy) {
    if (run && run[0] == REC_MOTION && run[1] < 255) {
      const uint32_t n = run[1]++;
      run[2 + 2 * n] = uint8_t(int8_t(dx));
      run[3 + 2 * n] = uint8_t(int8_t(dy));
      w = run + MotionRecordBytes(n + 1);
      return;
    }
    Put(REC_MOTION, kRecordHead, 1, dx, dy);
    run = w - kRecordHead;
  }
  void Fill(uint32_t, uint32_t, uint8_t c) { Put(REC_FILL, kRecordHead, c); }
  void TileDone(uint32_t, uint32_t) { Put(REC_TILE, kRecordHead + 64); }
  void Intra(uint32_t, uint32_t, uint32_t q) { Put(REC_INTRA, kRecordMax, q); }
  void Inter(uint32_t, uint32_t, int dx, int dy, uint32_t q) { Put(REC_INTER, kRecordMax, q, dx, dy); }
  void Residue(uint32_t, uint32_t, int dx, int dy) { Put(REC_RESIDUE, kRecordHead + 64, 0, dx, dy); }
  void ScaledNone() { Put(REC_SCALED_NONE, kRecordHead); }
  void ScaledTile(uint32_t, uint32_t) { Put(REC_SCALED_TILE, kRecordHead + 64); }
  void ScaledIntra(uint32_t, uint32_t, uint32_t q) { Put(REC_SCALED_INTRA, kRecordMax, q); }
};

// The records of a plane dealt out to several threads (SharedRecords), in
// batches of whole pairs of block rows: a scaled area on an even row also
// writes the odd row below it, where a corrupt stream may have other blocks
// that overwrite part of it, so the two rows go to one thread, in order. At
// the start of each pair the batch ends if it holds kRecordBatch bytes, or
// if the room left could not take the most the pair can write (the caller
// then rebuilds the rest of the plane itself). A type of its own, like
// RebuildRestSink, so that each parse stays inlined.
struct SharedRecordSink : RecordSink {
  const size_t room, pairBytes;
  bool pairStarts = true;  // a batch starts at a pair's first block
  bool outOfRoom = false;

  // room at least pairBytes.
  SharedRecordSink(uint8_t* out, size_t roomBytes, size_t pair)
      : RecordSink(out, roomBytes), room(roomBytes), pairBytes(pair) {}
  void RowStart(uint32_t y) {
    RecordSink::RowStart(y);
    pairStarts = ((y >> 3) & 1) == 0;
  }
  bool Full() {
    if (!pairStarts) return false;
    pairStarts = false;
    outOfRoom = room - Bytes() < pairBytes;
    return outOfRoom || Bytes() >= kRecordBatch;
  }
};

// The most bytes of records two block rows of a plane this wide can take.
size_t PairRecordBytes(uint32_t width) { return 2 * size_t((width + 7) / 8) * kRecordMax + kRecordMax; }

// The bits and bundles of one plane in stream order, handed block by block
// to a sink; Parse stops where the sink is full and resumes there. Every
// block reads the same bits and bundle values whatever Op is; only with
// Op::kSamples are the change map and the skip count kept.
template <class Op>
class PlaneParser {
 public:
  PlaneParser(const uint8_t* data, size_t size, uint64_t start, uint32_t width, uint32_t height,
              uint8_t* changeMap, uint32_t blocksAcross, int kind, const VideoWork& work, bool oldColorRule,
              Op& op, uint8_t* skipTally)
      : br_(start <= size ? data + start : data + size, start <= size ? size_t(size - start) : 0),
        op_(op),
        start_(start),
        width_(width),
        height_(height),
        changeMap_(changeMap),
        mapRow_(changeMap),
        blocksAcross_(blocksAcross),
        kind_(kind),
        skipTally_(skipTally) {
    PlaneBundlesInit(pb_, work, width, oldColorRule);
    ReadPlaneTrees(br_, pb_);
  }

  bool Done() const { return done_; }
  // The block the next Parse starts at.
  uint32_t X() const { return x_; }
  uint32_t Y() const { return y_; }
  PlaneResult Result() const { return {start_ + br_.NextWordOffset(), skipCount_, pb_.corrupt || br_.Overrun()}; }

  template <class Sink>
  void Parse(Sink& sink);

 private:
  // The displacement of the block at (x, y) by the next x and y offsets.
  // Offsets that reach outside the plane are corrupt and are clamped to its
  // edges; the displacement then still lies in -128..127.
  void Displace(uint32_t x, uint32_t y, int* dx, int* dy) {
    int sx = int(x) + int8_t(TakeByte(pb_, BUNDLE_X_OFFSET));
    int sy = int(y) + int8_t(TakeByte(pb_, BUNDLE_Y_OFFSET));
    const int maxX = int(width_) - 8, maxY = int(height_) - 8;
    if (sx < 0 || sx > maxX || sy < 0 || sy > maxY) {
      pb_.corrupt = true;
      sx = sx < 0 ? 0 : (sx > maxX ? maxX : sx);
      sy = sy < 0 ? 0 : (sy > maxY ? maxY : sy);
    }
    *dx = sx - int(x);
    *dy = sy - int(y);
  }

  // As plain copies of a zero block: initialising the array in place becomes
  // a string store, slow to start for 128 bytes.
  static void ClearCoefficients(int16_t coef[64]) {
    static constexpr int16_t kZero[64] = {};
    std::memcpy(coef, kZero, sizeof kZero);
  }

  // The coefficients of an intra or inter block (DC from dcKind); returns the quantiser row.
  uint32_t Transform(int16_t* coef, int dcKind) {
    ClearCoefficients(coef);
    coef[0] = TakeDc(pb_, dcKind);
    ReadCoefficients(br_, coef);
    return br_.Bits(4);
  }

  void PatternTile(uint8_t* t) {
    const uint32_t c0 = TakeByte(pb_, BUNDLE_COLOR) * 0x01010101u;
    const uint32_t c1 = TakeByte(pb_, BUNDLE_COLOR) * 0x01010101u;
    for (int y = 0; y < 8; ++y) {
      const uint8_t p = TakeByte(pb_, BUNDLE_PATTERN);
      const uint32_t lo = kNibbleMask[p & 15], hi = kNibbleMask[p >> 4];
      StoreLe32(t + 8 * y, (c0 & ~lo) | (c1 & lo));
      StoreLe32(t + 8 * y + 4, (c0 & ~hi) | (c1 & hi));
    }
  }

  void RawTile(uint8_t* t) {
    Bundle& b = pb_.bundle[BUNDLE_COLOR];
    if (b.end - b.readPos >= 64) {
      std::memcpy(t, b.data + b.readPos, 64);
      b.readPos += 64;
      return;
    }
    for (int i = 0; i < 64; ++i) t[i] = TakeByte(pb_, BUNDLE_COLOR);
  }

  // Runs along one of the sixteen orders; a run past position 63 is corrupt
  // and is cut at the end of the block. Every sample of t is written.
  void RunTile(uint8_t* t) {
    const uint8_t* scan = kRunScans[br_.Bits(4)];
    uint32_t i = 0;
    while (i < 63) {
      const uint32_t same = br_.Bit();
      uint32_t n = uint32_t(TakeByte(pb_, BUNDLE_RUN)) + 1;
      if (n > 64 - i) {
        pb_.corrupt = true;
        n = 64 - i;
      }
      if (same) {
        const uint8_t c = TakeByte(pb_, BUNDLE_COLOR);
        for (uint32_t j = 0; j < n; ++j) t[scan[i + j]] = c;
      } else {
        for (uint32_t j = 0; j < n; ++j) t[scan[i + j]] = TakeByte(pb_, BUNDLE_COLOR);
      }
      i += n;
    }
    if (i == 63) t[scan[63]] = TakeByte(pb_, BUNDLE_COLOR);
  }

  // A scaled area on its first row; false for sub-types that write nothing.
  template <class Sink>
  bool Scaled(Sink& sink, uint32_t x, uint32_t y) {
    const uint8_t sub = TakeByte(pb_, BUNDLE_SUB_BLOCK_TYPE);
    op_.ScaledAs(sub);
    switch (sub) {
      case BLOCK_RUN: RunTile(sink.Tile()); break;
      case BLOCK_INTRA: {
        const uint32_t q = Transform(sink.Coefficients(), BUNDLE_INTRA_DC);
        sink.ScaledIntra(x, y, q);
        return true;
      }
      case BLOCK_FILL: std::memset(sink.Tile(), TakeByte(pb_, BUNDLE_COLOR), 64); break;
      case BLOCK_PATTERN: PatternTile(sink.Tile()); break;
      case BLOCK_RAW: RawTile(sink.Tile()); break;
      default: sink.ScaledNone(); return false;
    }
    sink.ScaledTile(x, y);
    return true;
  }

  BitReader br_;
  PlaneBundles pb_;
  Op& op_;
  const uint64_t start_;
  const uint32_t width_, height_;
  uint8_t* const changeMap_;
  uint8_t* mapRow_;  // the change map's row of block row y_
  const uint32_t blocksAcross_;
  const int kind_;
  uint8_t* const skipTally_;
  uint32_t skipCount_ = 0;
  uint32_t x_ = 0, y_ = 0, m_ = 0;  // the next block and its map step
  bool rowOpen_ = false;            // the bundles of row y_ were refilled
  bool done_ = false;
};

// The position is kept in locals while blocks are parsed: the map and the
// records are written as bytes, which the compiler must assume may alias
// the parser's fields.
template <class Op>
template <class Sink>
void PlaneParser<Op>::Parse(Sink& sink) {
  constexpr bool kSamples = Op::kSamples;
  const uint32_t width = width_, height = height_;
  const int kind = kind_;
  uint32_t x = x_, y = y_, m = m_;
  uint8_t* mapRow = mapRow_;
  uint32_t skipCount = skipCount_;
  bool full = false;
  for (; y < height; y += 8) {
    if (!rowOpen_) {
      if (!op_.RowStarts(br_)) break;
      RefillBundles(br_, pb_);
      rowOpen_ = true;
      sink.RowStart(y);
    }
    const bool oddRow = (y >> 3) & 1;
    while (x < width) {
      if (sink.Full()) {
        full = true;
        break;
      }
      const uint8_t type = TakeByte(pb_, BUNDLE_BLOCK_TYPE);
      if (type != BLOCK_SCALED || !oddRow) op_.Taken(type);
      switch (type) {
        case BLOCK_SKIP:
          sink.Skip(x, y);
          if constexpr (kSamples) {
            if (!mapRow[m >> 1]) {
              if (skipTally_) {
                ++skipTally_[(mapRow - changeMap_) + (m >> 1)];
              } else {
                ++skipCount;
              }
            }
          }
          m += kind;
          x += 8;
          continue;
        case BLOCK_SCALED: {
          if (x + 16 > width) pb_.corrupt = true;  // starts in the last block column
          if (!oddRow) {
            // Only the part inside the plane is written of an area that does not fit.
            if (Scaled(sink, x, y) && kSamples && (width - x < 16 || height - y < 16)) pb_.corrupt = true;
          } else {
            sink.ScaledNone();
          }
          if constexpr (kSamples) {
            mapRow[m >> 1] = 1;
            if ((m + kind) >> 1 < blocksAcross_) mapRow[(m + kind) >> 1] = 1;
          }
          m += 2 * kind;
          x += 16;
          continue;
        }
        case BLOCK_MOTION: {
          int dx, dy;
          Displace(x, y, &dx, &dy);
          sink.Motion(x, y, dx, dy);
          break;
        }
        case BLOCK_RUN:
          RunTile(sink.Tile());
          sink.TileDone(x, y);
          break;
        case BLOCK_RESIDUE: {
          int dx, dy;
          Displace(x, y, &dx, &dy);
          ReadResidue(br_, br_.Bits(7), sink.Tile());
          sink.Residue(x, y, dx, dy);
          break;
        }
        case BLOCK_INTRA: {
          const uint32_t q = Transform(sink.Coefficients(), BUNDLE_INTRA_DC);
          sink.Intra(x, y, q);
          break;
        }
        case BLOCK_FILL:
          sink.Fill(x, y, TakeByte(pb_, BUNDLE_COLOR));
          break;
        case BLOCK_INTER: {
          int dx, dy;
          Displace(x, y, &dx, &dy);
          const uint32_t q = Transform(sink.Coefficients(), BUNDLE_INTER_DC);
          sink.Inter(x, y, dx, dy, q);
          break;
        }
        case BLOCK_PATTERN:
          PatternTile(sink.Tile());
          sink.TileDone(x, y);
          break;
        case BLOCK_RAW:
          RawTile(sink.Tile());
          sink.TileDone(x, y);
          break;
        default:  // 10..15 write nothing and leave the map alone
          sink.None();
          m += kind;
          x += 8;
          continue;
      }
      if constexpr (kSamples) mapRow[m >> 1] = 1;
      m += kind;
      x += 8;
    }
    if (full) break;
    if constexpr (kSamples) {
      if (kind == 2 || oddRow) mapRow += blocksAcross_;
    }
    x = 0;
    m = 0;
    rowOpen_ = false;
  }
  x_ = x;
  y_ = y;
  m_ = m;
  mapRow_ = mapRow;
  skipCount_ = skipCount;
  if (!full) done_ = true;
}

}  // namespace

PlaneResult VideoDecodePlane(const uint8_t* data, size_t size, uint64_t start, uint8_t* dst,
                             const uint8_t* ref, uint32_t width, uint32_t height, uint32_t stride,
                             uint8_t* changeMap, uint32_t blocksAcross, int kind, const VideoWork& work,
                             uint32_t movieFlags, uint8_t* skipTally) {
  DecodeIntoPlane op;
  PlaneParser<DecodeIntoPlane> parser(data, size, start, width, height, changeMap, blocksAcross, kind, work,
                                      (movieFlags & kOpenBeforeRevI) != 0, op, skipTally);
  PlaneRebuild rb;
  PlaneRebuildInit(rb, dst, ref, width, height, stride, CpuFeatures());
  RebuildSink sink(rb);
  parser.Parse(sink);
  return parser.Result();
}

uint64_t VideoCountPlaneBlocks(const uint8_t* data, size_t size, uint64_t start, uint32_t width,
                               uint32_t height, const VideoWork& work, bool oldColorRule,
                               std::array<uint64_t, 16>& types, std::array<uint64_t, 16>& scaledAs,
                               bool* corrupt) {
  CountBlockTypes op{types, scaledAs};
  PlaneParser<CountBlockTypes> parser(data, size, start, width, height, nullptr, 0, 1, work, oldColorRule, op,
                                      nullptr);
  DiscardSink sink;
  parser.Parse(sink);
  const PlaneResult r = parser.Result();
  if (r.corrupt) *corrupt = true;
  return r.next;
}

void VideoWorkSizes(uint32_t width, uint32_t sizes[kVideoBundleCount]) {
  const uint32_t b = width / 8;
  const auto round4 = [](uint32_t v) { return (v + 3) & ~3u; };
  sizes[BUNDLE_BLOCK_TYPE] = round4(b + 512);
  sizes[BUNDLE_SUB_BLOCK_TYPE] = round4(width / 16 + 512);
  sizes[BUNDLE_COLOR] = round4(b * 64 + 512);
  sizes[BUNDLE_PATTERN] = round4(b * 8 + 512);
  sizes[BUNDLE_X_OFFSET] = round4(b + 512);
  sizes[BUNDLE_Y_OFFSET] = round4(b + 512);
  sizes[BUNDLE_INTRA_DC] = round4(b * 2 + 1024);
  sizes[BUNDLE_INTER_DC] = round4(b * 2 + 1024);
  sizes[BUNDLE_RUN] = round4(b * 48 + 512);
}

namespace {

// The plane set and map describe planes this decoder can address safely.
bool PlaneSetUsable(const PlaneSet& ps, uint32_t blocksAcross) {
  const uint32_t lw = ps.lumaWidth, lh = ps.lumaHeight, cw = ps.chromaWidth, ch = ps.chromaHeight;
  if (lw == 0 || lh == 0 || cw == 0 || ch == 0) return false;
  if ((lw | lh | cw | ch) & 7) return false;
  if (lw > (1u << 20) || lh > (1u << 20) || cw > lw || ch > lh) return false;
  if (blocksAcross < (lw + 15) / 16 || blocksAcross < cw / 8 || ch / 8 > (lh + 15) / 16) return false;
  for (const auto& set : ps.planes) {
    if (set[PLANE_LUMA].data && set[PLANE_LUMA].stride < lw) return false;
    if (set[PLANE_ALPHA].data && set[PLANE_ALPHA].stride < lw) return false;
    if (set[PLANE_CHROMA1].data && set[PLANE_CHROMA1].stride < cw) return false;
    if (set[PLANE_CHROMA2].data && set[PLANE_CHROMA2].stride < cw) return false;
  }
  return true;
}

}  // namespace

namespace {

// One plane of a frame as the frame's layout places it: where its bits
// start (or that they follow the plane before), and its size.
struct PlaneStep {
  uint32_t plane;
  uint32_t width, height;
  int kind;
  uint64_t start;
  bool follows;  // starts where the step before it ended
  int group;     // the run of steps it belongs to: one that starts at a known place and those that follow it
};

// What a frame decodes, in stream order. The result is the skip count of
// step resultStep (shifted right by 2 in grey); broken means the plane set
// cannot take the rest of the frame: {0, corrupt} once the steps have run.
struct FramePlan {
  PlaneStep steps[4];
  int count = 0;
  int groups = 0;
  int first[kVideoMaxJobs + 1] = {};  // group g is steps [first[g], first[g + 1])
  int resultStep = -1;
  bool grey = false;
  bool corrupt = false;
  bool broken = false;
};

FramePlan PlanFrame(const PlaneSet& ps, const PlaneEntry* out, const PlaneEntry* ref, size_t size,
                    const uint8_t* data, uint32_t headerFlags, uint32_t movieFlags) {
  FramePlan plan;
  const uint32_t lw = ps.lumaWidth, lh = ps.lumaHeight, cw = ps.chromaWidth, ch = ps.chromaHeight;
  auto add = [&](uint32_t plane, uint32_t w, uint32_t h, int kind, uint64_t start, bool follows) {
    if (!follows) plan.first[plan.groups++] = plan.count;
    plan.steps[plan.count++] = {plane, w, h, kind, start, follows, plan.groups - 1};
    plan.first[plan.groups] = plan.count;
  };
  uint64_t pos = 0;
  if (headerFlags & kHeaderAlpha) {
    const uint32_t length = size >= 4 ? LoadLe32(data) : 0;
    if (length < 4 || length > size) plan.corrupt = true;  // the section cannot hold its own length
    if ((movieFlags & kOpenAlpha) && out[PLANE_ALPHA].data && ref[PLANE_ALPHA].data) {
      if (out[PLANE_ALPHA].stride != ref[PLANE_ALPHA].stride) {
        plan.broken = true;
        return plan;
      }
      add(PLANE_ALPHA, lw, lh, 1, 4, false);
    }
    pos = length;
  }
  uint64_t lumaStart = pos, chromaStart = 0;
  const bool revI = !(movieFlags & kOpenBeforeRevI);
  if (revI) {
    if (pos > size || size - pos < 4) {
      plan.corrupt = true;
      chromaStart = size;
    } else {
      chromaStart = pos + LoadLe32(data + pos);
    }
    lumaStart = pos + 4;
  }
  add(PLANE_LUMA, lw, lh, 1, lumaStart, false);
  if (movieFlags & kOpenGrey) {
    plan.resultStep = plan.count - 1;
    plan.grey = true;
    return plan;
  }
  for (uint32_t p : {PLANE_CHROMA1, PLANE_CHROMA2}) {
    if (!out[p].data || !ref[p].data || out[p].stride != ref[p].stride) {
      plan.broken = true;
      return plan;
    }
  }
  add(PLANE_CHROMA1, cw, ch, 2, chromaStart, !revI);
  add(PLANE_CHROMA2, cw, ch, 2, 0, true);
  plan.resultStep = plan.count - 1;
  return plan;
}

// Steps [from, to) one after another into map, each starting where its
// layout places it or where the one before it ended; ors their corruption
// into *corrupt and returns the result step's skip count, when it is among
// them and no tally takes its skips instead.
uint32_t DecodeSteps(const FramePlan& plan, int from, int to, const uint8_t* data, size_t size,
                     const PlaneEntry* out, const PlaneEntry* ref, uint8_t* map, uint32_t blocksAcross,
                     const VideoWork& work, uint32_t movieFlags, uint8_t* tally, bool* corrupt) {
  uint64_t next = 0;
  uint32_t skipCount = 0;
  for (int i = from; i < to; ++i) {
    const PlaneStep& st = plan.steps[i];
    const bool result = i == plan.resultStep;
    const PlaneResult r = VideoDecodePlane(data, size, st.follows ? next : st.start, out[st.plane].data,
                                           ref[st.plane].data, st.width, st.height, out[st.plane].stride, map,
                                           blocksAcross, st.kind, work, movieFlags, result ? tally : nullptr);
    *corrupt |= r.corrupt;
    next = r.next;
    if (result) skipCount = r.skipCount;
  }
  return skipCount;
}

// The frame's planes in stream order into one change map.
VideoFrameResult DecodeSerially(const FramePlan& plan, const uint8_t* data, size_t size, const PlaneEntry* out,
                                const PlaneEntry* ref, uint8_t* changeMap, uint32_t blocksAcross,
                                const VideoWork& work, uint32_t movieFlags) {
  bool corrupt = plan.corrupt;
  const uint32_t skipCount = DecodeSteps(plan, 0, plan.count, data, size, out, ref, changeMap, blocksAcross, work,
                                         movieFlags, nullptr, &corrupt);
  if (plan.broken) return {0, true};
  return {plan.grey ? skipCount >> 2 : skipCount, corrupt};
}

// Bytes of a word: 0x01 where the byte is not 0, else 0x00.
inline uint64_t NonZeroBytes(uint64_t v) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ((((v & kLow7) + kLow7) | v) >> 7) & 0x0101010101010101ull;
}

// map[b] = part[b] ? 1 : map[b], a word at a time (the passes run on the
// frame's critical path, after both threads are done).
void MergeMap(uint8_t* map, const uint8_t* part, uint32_t bytes) {
  uint32_t b = 0;
  for (; b + 8 <= bytes; b += 8) {
    uint64_t m, p;
    std::memcpy(&m, map + b, 8);
    std::memcpy(&p, part + b, 8);
    const uint64_t ones = NonZeroBytes(p);
    m = (m & ~(ones * 0xFF)) | ones;
    std::memcpy(map + b, &m, 8);
  }
  for (; b < bytes; ++b) map[b] = part[b] ? 1 : map[b];
}

// The sum of tally[b] where map[b] is 0.
uint32_t CountUnmarked(const uint8_t* map, const uint8_t* tally, uint32_t bytes) {
  constexpr uint64_t kEven = 0x00FF00FF00FF00FFull;
  uint32_t sum = 0, b = 0;
  for (; b + 8 <= bytes; b += 8) {
    uint64_t m, t;
    std::memcpy(&m, map + b, 8);
    std::memcpy(&t, tally + b, 8);
    t &= (NonZeroBytes(m) * 0xFF) ^ ~uint64_t(0);
    const uint64_t pairs = (t & kEven) + ((t >> 8) & kEven);  // four sums of at most 510
    sum += uint32_t((pairs * 0x0001000100010001ull) >> 48);
  }
  for (; b < bytes; ++b) sum += map[b] ? 0 : tally[b];
  return sum;
}

// The frame's planes as groups that start together: a group is a step
// whose start is known and the steps that follow it. Each group is two
// parts of the pool's run, 2g parsing its steps into a ring and 2g + 1
// rebuilding from it, in stream order; the parse of a group keeps its own
// change map, and the plane whose skip count is the result tallies its
// skips per map byte, counted afterwards against what the map and the
// groups before it marked, which is what the serial decode would have seen.
// The maps are then merged.
//
// A rebuild waits only for its parse, which the pool claimed before it; a
// parse waits only for its rebuild, when the ring is full. The pool claims
// parts in index order, so when a parse waits for a rebuild not yet claimed
// every thread is busy with parts of earlier groups, which do not wait on
// this one and finish; the next free thread claims the rebuild.
//
// The two halves of a group cost more in all than the group on one thread
// (the records cross between cores), so a group is split only when a
// thread would otherwise have no group of its own: on two cores a frame of
// luma and chroma decodes 1.4 to 1.8 times as fast as on one with a group
// on each thread, 1.3 to 1.6 times with both split. And the halves only pay
// when both threads run at once. A player shows frames at their pace and
// its threads sleep between them: waking one takes longer than a plane's
// parse, and a rebuild that starts late and sleeps on the ring holds up the
// frame. Unless frames come back to back (the pool is warm), each group is
// one part, parsed and rebuilt on one thread, and the groups still run at
// once.
VideoFrameResult DecodeInParallel(const FramePlan& plan, const uint8_t* data, size_t size, const PlaneEntry* out,
                                  const PlaneEntry* ref, uint8_t* changeMap, uint32_t blocksAcross,
                                  uint32_t mapBytes, const VideoWork& work, uint32_t movieFlags,
                                  const VideoParallel& par) {
  const int groups = plan.groups;
  const int* const first = plan.first;
  const int resultGroup = plan.resultStep >= 0 ? plan.steps[plan.resultStep].group : -1;
  RecordRing* rings[kVideoMaxJobs] = {};
  bool corrupt[kVideoMaxJobs] = {};
  const bool oldColorRule = (movieFlags & kOpenBeforeRevI) != 0;
  const CpuFlags cpu = CpuFeatures();
  // A group's own map, and the tally when it holds the result, start empty;
  // the first group reads its bundles into the frame's own buffers.
  auto begin = [&](int g) -> const VideoWork& {
    std::memset(par.maps[g], 0, mapBytes);
    if (g == resultGroup) std::memset(par.tally, 0, mapBytes);
    return g == 0 ? work : par.work[g - 1];
  };
  auto parse = [&](int g) {
    const VideoWork& w = begin(g);
    uint8_t* map = par.maps[g];
    RecordRing& ring = *rings[g];
    uint64_t next = 0;
    for (int i = first[g]; i < first[g + 1]; ++i) {
      const PlaneStep& st = plan.steps[i];
      DecodeIntoPlane op;
      PlaneParser<DecodeIntoPlane> parser(data, size, st.follows ? next : st.start, st.width, st.height, map,
                                          blocksAcross, st.kind, w, oldColorRule, op,
                                          i == plan.resultStep ? par.tally : nullptr);
      do {
        RecordRing::Slot& slot = ring.Fill();
        RecordSink sink(slot.data, sizeof slot.data);
        parser.Parse(sink);
        slot.bytes = uint32_t(sink.Bytes());
        slot.step = uint32_t(i);
        slot.last = parser.Done() && i + 1 == first[g + 1];
        ring.Publish(slot.last);
      } while (!parser.Done());
      const PlaneResult r = parser.Result();
      corrupt[g] |= r.corrupt;
      next = r.next;
    }
  };
  auto rebuild = [&](int g) {
    RecordRing& ring = *rings[g];
    PlaneRebuild rb;
    int step = -1;
    uint32_t x = 0, y = 0;
    for (bool last = false; !last;) {
      const RecordRing::Slot& slot = ring.Take();
      if (int(slot.step) != step) {
        step = int(slot.step);
        const PlaneStep& st = plan.steps[step];
        PlaneRebuildInit(rb, out[st.plane].data, ref[st.plane].data, st.width, st.height, out[st.plane].stride,
                         cpu);
        x = y = 0;
      }
      RebuildRecords(rb, slot.data, slot.bytes, &x, &y);
      last = slot.last;
      ring.Release();
    }
  };
  auto whole = [&](int g) {
    const VideoWork& w = begin(g);
    DecodeSteps(plan, first[g], first[g + 1], data, size, out, ref, par.maps[g], blocksAcross, w, movieFlags,
                par.tally, &corrupt[g]);
  };
  // Luma alone, then the chroma pair: luma has twice the pair's samples
  // and takes 1.7 to 2.3 times as long (on 720p pans, 120 to 190 us a
  // frame against 55 to 100), so with a group on each of two threads one
  // thread waits for a third to a half of the frame. Instead the luma
  // parse deals its records out (SharedRecords) and both threads rebuild
  // them, each once it is done with its own part: the chroma pair's thread
  // as soon as that is decoded, the parse's thread after the parse. This
  // needs a luma plane with a reference of its own: blocks decoded in place
  // read what blocks before them wrote.
  const bool share = par.split == VIDEO_SPLIT_WARM && par.share && groups == 2 && par.pool->threads() == 2 &&
                     first[1] == 1 && plan.steps[0].plane == PLANE_LUMA && out[PLANE_LUMA].data &&
                     out[PLANE_LUMA].data != ref[PLANE_LUMA].data;
  SharedRecords* const shareStore = share ? SharedRecords::Reset(par.share, par.shareBytes) : nullptr;
  const bool split = par.split == VIDEO_SPLIT_ALWAYS ||
                     (par.split == VIDEO_SPLIT_WARM && par.pool->threads() > groups && par.pool->Warm());
  if (shareStore) {
    SharedRecords& shared = *shareStore;
    const PlaneStep& st = plan.steps[0];
    PlaneRebuild rb;
    PlaneRebuildInit(rb, out[st.plane].data, ref[st.plane].data, st.width, st.height, out[st.plane].stride, cpu);
    auto parseShared = [&] {
      const VideoWork& w = begin(0);
      DecodeIntoPlane op;
      PlaneParser<DecodeIntoPlane> parser(data, size, st.start, st.width, st.height, par.maps[0], blocksAcross,
                                          st.kind, w, oldColorRule, op, plan.resultStep == 0 ? par.tally : nullptr);
      const size_t pairBytes = PairRecordBytes(st.width);
      for (bool rest = false; !parser.Done() && !rest;) {
        size_t room;
        uint8_t* const at = shared.Next(&room);
        if (room < pairBytes) break;
        const uint32_t x = parser.X(), y = parser.Y();
        SharedRecordSink sink(at, room, pairBytes);
        parser.Parse(sink);
        shared.Publish(uint32_t(sink.Bytes()), x, y);
        rest = sink.outOfRoom;
      }
      if (!parser.Done()) {  // out of room: the rest of the plane here, from a pair's start
        RebuildRestSink sink(rb);
        parser.Parse(sink);
      }
      shared.End();
      corrupt[0] |= parser.Result().corrupt;
      shared.Help(rb);
    };
    par.pool->Run(3, [&](int part) {
      if (part == 0) {
        parseShared();
      } else if (part == 1) {
        whole(1);
      } else {
        shared.Help(rb);
      }
    });
  } else if (split) {
    for (int g = 0; g < groups; ++g) rings[g] = RecordRing::Reset(par.rings[g]);
    par.pool->Run(2 * groups, [&](int part) { part & 1 ? rebuild(part >> 1) : parse(part >> 1); });
  } else {
    par.pool->Run(groups, whole);
  }
  int merged = 0;
  uint32_t skipCount = 0;
  if (resultGroup >= 0) {
    for (; merged < resultGroup; ++merged) MergeMap(changeMap, par.maps[merged], mapBytes);
    skipCount = CountUnmarked(changeMap, par.tally, mapBytes);
  }
  for (; merged < groups; ++merged) MergeMap(changeMap, par.maps[merged], mapBytes);
  if (plan.grey) skipCount >>= 2;
  bool anyCorrupt = plan.corrupt;
  for (int g = 0; g < groups; ++g) anyCorrupt |= corrupt[g];
  if (plan.broken) return {0, true};
  return {skipCount, anyCorrupt};
}

}  // namespace

VideoFrameResult VideoDecodeFrame(PlaneSet* planes, const uint8_t* data, const uint8_t* end,
                                  uint32_t headerFlags, uint32_t movieFlags, uint8_t* changeMap,
                                  uint32_t blocksAcross, const VideoWork& work, const VideoParallel* parallel) {
  if (!planes || !data || !end || end < data || !changeMap || !PlaneSetUsable(*planes, blocksAcross))
    return {0, true};
  const size_t size = size_t(end - data);
  const uint32_t r = planes->current & 1;
  uint32_t target = r;
  if (planes->planes[r ^ 1][PLANE_LUMA].data) target = r ^ 1;
  const PlaneEntry* out = planes->planes[target];
  const PlaneEntry* ref = planes->planes[r];
  if (!out[PLANE_LUMA].data || !ref[PLANE_LUMA].data || out[PLANE_LUMA].stride != ref[PLANE_LUMA].stride)
    return {0, true};
  planes->current = target;

  const FramePlan plan = PlanFrame(*planes, out, ref, size, data, headerFlags, movieFlags);
  const uint32_t mapBytes = blocksAcross * ((planes->lumaHeight + 15) / 16);
  bool ringsGiven = parallel != nullptr;
  for (int g = 0; ringsGiven && g < plan.groups; ++g) ringsGiven = parallel->rings[g] != nullptr;
  if (ringsGiven && parallel->pool && parallel->pool->threads() > 1 && plan.groups >= 1 &&
      parallel->mapBytes >= mapBytes)
    return DecodeInParallel(plan, data, size, out, ref, changeMap, blocksAcross, mapBytes, work, movieFlags,
                            *parallel);
  return DecodeSerially(plan, data, size, out, ref, changeMap, blocksAcross, work, movieFlags);
}

}  // namespace tarn
