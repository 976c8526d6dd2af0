// The frame and plane decoder: finds the planes in one frame's video data and
// decodes each as 8 x 8 blocks into the plane set. Writes only inside the
// destination planes (never their stride padding), the change map and the
// bundle buffers; reads only the reference planes and the frame data. The
// same plane walk, writing only the bundle buffers, counts block types.
#include <array>
#include <cstring>
#include <initializer_list>

#include "common/little_endian.h"
#include "common/worker_pool.h"
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

inline void Copy8(uint8_t* d, const uint8_t* s) {
  uint64_t v;
  std::memcpy(&v, s, 8);
  std::memcpy(d, &v, 8);
}

inline void CopyBlock(uint8_t* d, const uint8_t* s, ptrdiff_t stride) {
  for (int y = 0; y < 8; ++y) Copy8(d + y * stride, s + y * stride);
}

inline void FillBlock(uint8_t* d, ptrdiff_t stride, uint8_t c) {
  const uint64_t v = c * 0x0101010101010101ull;
  for (int y = 0; y < 8; ++y) std::memcpy(d + y * stride, &v, 8);
}

// Four samples (little-endian) as eight, each twice: abcd -> aabbccdd.
inline uint64_t Doubled4(uint32_t v) {
  uint64_t t = v;
  t = (t | t << 16) & 0x0000FFFF0000FFFFull;
  t = (t | t << 8) & 0x00FF00FF00FF00FFull;
  return t | t << 8;
}

// What a plane walk does besides reading the stream. kSamples: it decodes
// into the planes and the change map (else nothing is written but the
// bundles). Taken sees every block type taken (a scaled area once, on its
// first row), ScaledAs every scaled area's sub-type; RowStarts may end the
// walk before a block row.
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

// The blocks of one plane. Every block reads the same bits and bundle values
// whatever Op is; only with Op::kSamples are d (the block in the destination
// plane) and the reference plane used.
template <class Op>
struct PlaneDecoder {
  static constexpr bool kSamples = Op::kSamples;
  BitReader& br;
  PlaneBundles& pb;
  Op& op;
  const uint8_t* ref;
  uint32_t width, height;
  ptrdiff_t stride;
  IdctDsp idct;

  // The reference block displaced by the next x and y offsets. Offsets that
  // reach outside the plane are corrupt and are clamped to its edges.
  const uint8_t* Displaced(uint32_t x, uint32_t y) {
    int sx = int(x) + int8_t(TakeByte(pb, BUNDLE_X_OFFSET));
    int sy = int(y) + int8_t(TakeByte(pb, BUNDLE_Y_OFFSET));
    const int maxX = int(width) - 8, maxY = int(height) - 8;
    if (sx < 0 || sx > maxX || sy < 0 || sy > maxY) {
      pb.corrupt = true;
      sx = sx < 0 ? 0 : (sx > maxX ? maxX : sx);
      sy = sy < 0 ? 0 : (sy > maxY ? maxY : sy);
    }
    if constexpr (kSamples) {
      return ref + sy * stride + sx;
    } else {
      return nullptr;
    }
  }

  // As plain copies of a zero block: initialising the array in place becomes
  // a string store, slow to start for 128 bytes.
  static void ClearCoefficients(int16_t coef[64]) {
    static constexpr int16_t kZero[64] = {};
    std::memcpy(coef, kZero, sizeof kZero);
  }

  void Motion(uint8_t* d, ptrdiff_t s, uint32_t x, uint32_t y) {
    const uint8_t* src = Displaced(x, y);
    if constexpr (kSamples) CopyBlock(d, src, s);
  }

  void Fill(uint8_t* d, ptrdiff_t s) {
    const uint8_t c = TakeByte(pb, BUNDLE_COLOR);
    if constexpr (kSamples) FillBlock(d, s, c);
  }

  void Pattern(uint8_t* d, ptrdiff_t s) {
    const uint32_t c0 = TakeByte(pb, BUNDLE_COLOR) * 0x01010101u;
    const uint32_t c1 = TakeByte(pb, BUNDLE_COLOR) * 0x01010101u;
    for (int y = 0; y < 8; ++y) {
      const uint8_t p = TakeByte(pb, BUNDLE_PATTERN);
      if constexpr (kSamples) {
        const uint32_t lo = kNibbleMask[p & 15], hi = kNibbleMask[p >> 4];
        StoreLe32(d + y * s, (c0 & ~lo) | (c1 & lo));
        StoreLe32(d + y * s + 4, (c0 & ~hi) | (c1 & hi));
      }
    }
  }

  void Raw(uint8_t* d, ptrdiff_t s) {
    Bundle& b = pb.bundle[BUNDLE_COLOR];
    if (b.end - b.readPos >= 64) {
      if constexpr (kSamples) {
        const uint8_t* src = b.data + b.readPos;
        for (int y = 0; y < 8; ++y) Copy8(d + y * s, src + 8 * y);
      }
      b.readPos += 64;
      return;
    }
    for (int i = 0; i < 64; ++i) {
      const uint8_t c = TakeByte(pb, BUNDLE_COLOR);
      if constexpr (kSamples) d[(i >> 3) * s + (i & 7)] = c;
    }
  }

  // Runs along one of the sixteen orders; a run past position 63 is corrupt
  // and is cut at the end of the block.
  void Run(uint8_t* d, ptrdiff_t s) {
    const uint8_t* scan = kRunScans[br.Bits(4)];
    auto put = [&](uint32_t i, uint8_t c) {
      if constexpr (kSamples) d[(scan[i] >> 3) * s + (scan[i] & 7)] = c;
    };
    uint32_t i = 0;
    while (i < 63) {
      const uint32_t same = br.Bit();
      uint32_t n = uint32_t(TakeByte(pb, BUNDLE_RUN)) + 1;
      if (n > 64 - i) {
        pb.corrupt = true;
        n = 64 - i;
      }
      if (same) {
        const uint8_t c = TakeByte(pb, BUNDLE_COLOR);
        for (uint32_t j = 0; j < n; ++j) put(i + j, c);
      } else {
        for (uint32_t j = 0; j < n; ++j) put(i + j, TakeByte(pb, BUNDLE_COLOR));
      }
      i += n;
    }
    if (i == 63) put(63, TakeByte(pb, BUNDLE_COLOR));
  }

  void Intra(uint8_t* d, ptrdiff_t s) {
    int16_t coef[64];
    ClearCoefficients(coef);
    coef[0] = TakeDc(pb, BUNDLE_INTRA_DC);
    ReadCoefficients(br, coef);
    const int32_t* quant = kIntraQuant[br.Bits(4)];
    if constexpr (kSamples) idct.put(coef, quant, d, s);
  }

  // Decoding in place, a displaced source may overlap d at another offset:
  // residue and inter blocks then add one sample at a time, as that order
  // defines what is read there.
  void Residue(uint8_t* d, ptrdiff_t s, uint32_t x, uint32_t y, bool inPlace) {
    const uint8_t* src = Displaced(x, y);
    uint8_t residue[64];
    ReadResidue(br, br.Bits(7), residue);
    if constexpr (kSamples) (inPlace ? AddResidueInOrder : AddResidue)(residue, d, src, s);
  }

  void Inter(uint8_t* d, ptrdiff_t s, uint32_t x, uint32_t y, bool inPlace) {
    const uint8_t* src = Displaced(x, y);
    int16_t coef[64];
    ClearCoefficients(coef);
    coef[0] = TakeDc(pb, BUNDLE_INTER_DC);
    ReadCoefficients(br, coef);
    const int32_t* quant = kInterQuant[br.Bits(4)];
    if constexpr (kSamples) (inPlace ? IdctAdd : idct.add)(coef, quant, d, s, src, s);
  }

  // A scaled block's 8 x 8 result; false for sub-types that write nothing.
  bool ScaledSource(uint8_t out[64]) {
    const uint8_t sub = TakeByte(pb, BUNDLE_SUB_BLOCK_TYPE);
    op.ScaledAs(sub);
    switch (sub) {
      case BLOCK_RUN: Run(out, 8); return true;
      case BLOCK_INTRA: {
        int16_t coef[64];
        ClearCoefficients(coef);
        coef[0] = TakeDc(pb, BUNDLE_INTRA_DC);
        ReadCoefficients(br, coef);
        const int32_t* quant = kIntraQuant[br.Bits(4)];
        if constexpr (kSamples) idct.block(coef, quant, out);
        return true;
      }
      case BLOCK_FILL: {
        const uint8_t c = TakeByte(pb, BUNDLE_COLOR);
        if constexpr (kSamples) std::memset(out, c, 64);
        return true;
      }
      case BLOCK_PATTERN: Pattern(out, 8); return true;
      case BLOCK_RAW: Raw(out, 8); return true;
      default: return false;
    }
  }

  // Writes each sample as a 2 x 2 square; a scaled area that does not fit in
  // the plane is corrupt and only its part inside the plane is written.
  void StoreDoubled(const uint8_t in[64], uint8_t* d, uint32_t x, uint32_t y) {
    const uint32_t w = width - x < 16 ? width - x : 16, h = height - y < 16 ? height - y : 16;
    if (w < 16 || h < 16) {
      pb.corrupt = true;
      for (uint32_t row = 0; row < h; ++row) {
        uint8_t line[16];
        for (int i = 0; i < 8; ++i) line[2 * i] = line[2 * i + 1] = in[(row >> 1) * 8 + i];
        std::memcpy(d + row * stride, line, w);
      }
      return;
    }
    for (int row = 0; row < 8; ++row) {
      const uint64_t left = Doubled4(LoadLe32(in + 8 * row)), right = Doubled4(LoadLe32(in + 8 * row + 4));
      uint8_t* out = d + 2 * row * stride;
      StoreLe64(out, left);
      StoreLe64(out + 8, right);
      StoreLe64(out + stride, left);
      StoreLe64(out + stride + 8, right);
    }
  }
};

// The plane walk: trees, then per block row the bundle refills and the
// blocks in stream order. Without Op::kSamples, dst, ref and changeMap are
// not used (and may be null); skipCount is then 0.
template <class Op>
PlaneResult WalkPlane(const uint8_t* data, size_t size, uint64_t start, uint8_t* dst, const uint8_t* ref,
                      uint32_t width, uint32_t height, uint32_t stride, uint8_t* changeMap, uint32_t blocksAcross,
                      int kind, const VideoWork& work, bool oldColorRule, Op& op, uint8_t* skipTally = nullptr) {
  constexpr bool kSamples = Op::kSamples;
  const bool inside = start <= size;
  BitReader br(inside ? data + start : data + size, inside ? size_t(size - start) : 0);
  PlaneBundles pb;
  PlaneBundlesInit(pb, work, width, oldColorRule);
  ReadPlaneTrees(br, pb);
  PlaneDecoder<Op> dec{br, pb, op, ref, width, height, ptrdiff_t(stride), {}};
  if constexpr (kSamples) IdctDspInit(dec.idct, CpuFeatures());
  const ptrdiff_t s = ptrdiff_t(stride);
  const bool inPlace = dst == ref;
  uint8_t* mapRow = changeMap;
  uint32_t skipCount = 0;

  for (uint32_t y = 0; y < height; y += 8) {
    if (!op.RowStarts(br)) break;
    RefillBundles(br, pb);
    const bool oddRow = (y >> 3) & 1;
    uint32_t m = 0;
    for (uint32_t x = 0; x < width;) {
      uint8_t* d = nullptr;
      if constexpr (kSamples) d = dst + y * s + x;
      const uint8_t type = TakeByte(pb, BUNDLE_BLOCK_TYPE);
      if (type != BLOCK_SCALED || !oddRow) op.Taken(type);
      switch (type) {
        case BLOCK_SKIP:
          if constexpr (kSamples) {
            if (!inPlace) CopyBlock(d, ref + y * s + x, s);
            if (!mapRow[m >> 1]) {
              if (skipTally) {
                ++skipTally[(mapRow - changeMap) + (m >> 1)];
              } else {
                ++skipCount;
              }
            }
          }
          m += kind;
          x += 8;
          continue;
        case BLOCK_SCALED: {
          if (x + 16 > width) pb.corrupt = true;  // starts in the last block column
          if (!oddRow) {
            uint8_t tmp[64];
            const bool wrote = dec.ScaledSource(tmp);
            if constexpr (kSamples) {
              if (wrote) dec.StoreDoubled(tmp, d, x, y);
            }
          }
          if constexpr (kSamples) {
            mapRow[m >> 1] = 1;
            if ((m + kind) >> 1 < blocksAcross) mapRow[(m + kind) >> 1] = 1;
          }
          m += 2 * kind;
          x += 16;
          continue;
        }
        case BLOCK_MOTION: dec.Motion(d, s, x, y); break;
        case BLOCK_RUN: dec.Run(d, s); break;
        case BLOCK_RESIDUE: dec.Residue(d, s, x, y, inPlace); break;
        case BLOCK_INTRA: dec.Intra(d, s); break;
        case BLOCK_FILL: dec.Fill(d, s); break;
        case BLOCK_INTER: dec.Inter(d, s, x, y, inPlace); break;
        case BLOCK_PATTERN: dec.Pattern(d, s); break;
        case BLOCK_RAW: dec.Raw(d, s); break;
        default:  // 10..15 write nothing and leave the map alone
          m += kind;
          x += 8;
          continue;
      }
      if constexpr (kSamples) mapRow[m >> 1] = 1;
      m += kind;
      x += 8;
    }
    if constexpr (kSamples) {
      if (kind == 2 || oddRow) mapRow += blocksAcross;
    }
  }
  return {start + br.NextWordOffset(), skipCount, pb.corrupt || br.Overrun()};
}

}  // namespace

PlaneResult VideoDecodePlane(const uint8_t* data, size_t size, uint64_t start, uint8_t* dst,
                             const uint8_t* ref, uint32_t width, uint32_t height, uint32_t stride,
                             uint8_t* changeMap, uint32_t blocksAcross, int kind, const VideoWork& work,
                             uint32_t movieFlags, uint8_t* skipTally) {
  DecodeIntoPlane op;
  return WalkPlane(data, size, start, dst, ref, width, height, stride, changeMap, blocksAcross, kind, work,
                   (movieFlags & kOpenBeforeRevI) != 0, op, skipTally);
}

uint64_t VideoCountPlaneBlocks(const uint8_t* data, size_t size, uint64_t start, uint32_t width,
                               uint32_t height, const VideoWork& work, bool oldColorRule,
                               std::array<uint64_t, 16>& types, std::array<uint64_t, 16>& scaledAs,
                               bool* corrupt) {
  CountBlockTypes op{types, scaledAs};
  const PlaneResult r =
      WalkPlane(data, size, start, nullptr, nullptr, width, height, width, nullptr, 0, 1, work, oldColorRule, op);
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
};

// What a frame decodes, in stream order. The result is the skip count of
// step resultStep (shifted right by 2 in grey); broken means the plane set
// cannot take the rest of the frame: {0, corrupt} once the steps have run.
struct FramePlan {
  PlaneStep steps[4];
  int count = 0;
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
    plan.steps[plan.count++] = {plane, w, h, kind, start, follows};
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

// The frame's planes in stream order into one change map.
VideoFrameResult DecodeSerially(const FramePlan& plan, const uint8_t* data, size_t size, const PlaneEntry* out,
                                const PlaneEntry* ref, uint8_t* changeMap, uint32_t blocksAcross,
                                const VideoWork& work, uint32_t movieFlags) {
  bool corrupt = plan.corrupt;
  uint64_t next = 0;
  uint32_t skipCount = 0;
  for (int i = 0; i < plan.count; ++i) {
    const PlaneStep& st = plan.steps[i];
    const PlaneResult r = VideoDecodePlane(data, size, st.follows ? next : st.start, out[st.plane].data,
                                           ref[st.plane].data, st.width, st.height, out[st.plane].stride,
                                           changeMap, blocksAcross, st.kind, work, movieFlags);
    corrupt |= r.corrupt;
    next = r.next;
    if (i == plan.resultStep) skipCount = plan.grey ? r.skipCount >> 2 : r.skipCount;
  }
  if (plan.broken) return {0, true};
  return {skipCount, corrupt};
}

// The frame's planes as jobs that start together: a job is a step whose
// start is known and the steps that follow it. Each job marks its own map;
// the plane whose skip count is the result tallies its skips per map byte,
// counted afterwards against what the map and the jobs before it marked,
// which is what the serial decode would have seen. The maps are then merged.
VideoFrameResult DecodeInParallel(const FramePlan& plan, const uint8_t* data, size_t size, const PlaneEntry* out,
                                  const PlaneEntry* ref, uint8_t* changeMap, uint32_t blocksAcross,
                                  uint32_t mapBytes, const VideoWork& work, uint32_t movieFlags,
                                  const VideoParallel& par) {
  int first[kVideoMaxJobs + 1];
  int jobs = 0;
  for (int i = 0; i < plan.count; ++i)
    if (!plan.steps[i].follows) first[jobs++] = i;
  first[jobs] = plan.count;
  int resultJob = -1;
  for (int j = 0; j < jobs; ++j)
    if (plan.resultStep >= first[j] && plan.resultStep < first[j + 1]) resultJob = j;
  bool corrupt[kVideoMaxJobs] = {};
  auto job = [&](int j) {
    uint8_t* map = par.maps[j];
    std::memset(map, 0, mapBytes);
    if (j == resultJob) std::memset(par.tally, 0, mapBytes);
    const VideoWork& w = j == 0 ? work : par.work[j - 1];
    uint64_t next = 0;
    for (int i = first[j]; i < first[j + 1]; ++i) {
      const PlaneStep& st = plan.steps[i];
      const PlaneResult r = VideoDecodePlane(data, size, st.follows ? next : st.start, out[st.plane].data,
                                             ref[st.plane].data, st.width, st.height, out[st.plane].stride, map,
                                             blocksAcross, st.kind, w, movieFlags,
                                             i == plan.resultStep ? par.tally : nullptr);
      corrupt[j] |= r.corrupt;
      next = r.next;
    }
  };
  par.pool->Run(jobs, job);
  // Whole-map passes, one per job, so that each is a plain vector loop.
  auto merge = [&](int j) {
    const uint8_t* map = par.maps[j];
    for (uint32_t b = 0; b < mapBytes; ++b) changeMap[b] = map[b] ? 1 : changeMap[b];
  };
  int merged = 0;
  uint32_t skipCount = 0;
  if (resultJob >= 0) {
    for (; merged < resultJob; ++merged) merge(merged);
    for (uint32_t b = 0; b < mapBytes; ++b) skipCount += changeMap[b] ? 0 : par.tally[b];
  }
  for (; merged < jobs; ++merged) merge(merged);
  if (plan.grey) skipCount >>= 2;
  bool anyCorrupt = plan.corrupt;
  for (int j = 0; j < jobs; ++j) anyCorrupt |= corrupt[j];
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
  int jobs = 0;
  for (int i = 0; i < plan.count; ++i) jobs += !plan.steps[i].follows;
  const uint32_t mapBytes = blocksAcross * ((planes->lumaHeight + 15) / 16);
  if (parallel && parallel->pool && parallel->pool->threads() > 1 && jobs > 1 && parallel->mapBytes >= mapBytes)
    return DecodeInParallel(plan, data, size, out, ref, changeMap, blocksAcross, mapBytes, work, movieFlags,
                            *parallel);
  return DecodeSerially(plan, data, size, out, ref, changeMap, blocksAcross, work, movieFlags);
}

}  // namespace tarn
