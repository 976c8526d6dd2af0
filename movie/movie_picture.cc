// The movie's picture: the plane set and its change map, the video step of
// a decode, the changed rectangles, and the narrow view of the current planes
// that callers outside the library read pictures through.
#include "movie/movie_picture.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "common/checked_size.h"
#include "common/worker_pool.h"
#include "movie/movie_internal.h"
#include "movie/memory_plan.h"

namespace tarn {

PicturePlan PicturePlanFor(const MovieHeader& h, uint32_t outputHeight) {
  PicturePlan plan;
  plan.blocksAcross = (h.width + 15) / 16;
  plan.blockCount = uint64_t(plan.blocksAcross) * ((uint64_t(outputHeight) + 15) / 16);
  VideoWorkSizes(RoundUp(h.width, 16), plan.work.sizes);
  return plan;
}

void PictureInit(MovieState* m, const MovieHeader& h, const PicturePlan& plan,
                 uint8_t* changeMap, uint8_t* const workBuffers[kVideoBundleCount]) {
  MoviePicture& p = m->picture;
  p.width = h.width;
  p.height = h.height;
  p.blocksAcross = plan.blocksAcross;
  p.blockCount = uint32_t(plan.blockCount);
  p.changeMap = changeMap;
  p.changeMap[p.blockCount] = 0;
  p.work = plan.work;
  for (int i = 0; i < kVideoBundleCount; ++i) p.work.buffers[i] = workBuffers[i];
}

// The pool and, in the same piece, what each of its jobs decodes with: a
// second and third set of bundle buffers, a change map and a record ring
// per job, and the skip tally (VideoParallel).
struct PictureThreads {
  uint64_t bytes;  // the whole piece
  VideoParallel parallel;
  WorkerPool pool;  // last: its threads stop before the rest goes
  explicit PictureThreads(int threads) : pool(threads) {}
};

namespace {

// Threads a frame of this movie can keep busy: two for each job (one reads
// the bits, one writes the samples), the jobs being luma, alpha when
// decoded, and the chroma pair when its start is given (revision i) and it
// is decoded.
int DecodeThreads(const MovieState* m) {
  int jobs = 1;
  if (m->picture.planes->alphaPresent) ++jobs;
  if (!(m->flags & (OPEN_GREY | OPEN_BEFORE_REV_I))) ++jobs;
  return 2 * jobs;
}

// A movie that cannot have its threads (no memory, no thread) decodes serially.
void StartDecodeThreads(MovieState* m) {
  MoviePicture& pic = m->picture;
  if (m->flags & OPEN_SERIAL_DECODE) return;
  const int threads = std::min(ThreadsWanted(), DecodeThreads(m));
  if (threads < 2) return;
  const uint32_t mapBytes = pic.blockCount;
  MemoryPlan plan(sizeof(PictureThreads));
  int work[kVideoMaxJobs - 1][kVideoBundleCount], maps[kVideoMaxJobs], rings[kVideoMaxJobs];
  for (auto& set : work)
    for (int i = 0; i < kVideoBundleCount; ++i) set[i] = plan.Add(std::max<uint32_t>(pic.work.sizes[i], 1));
  for (int& map : maps) map = plan.Add(std::max<uint32_t>(mapBytes, 1));
  for (int& ring : rings) ring = plan.Add(kVideoRingBytes);
  const int tally = plan.Add(std::max<uint32_t>(mapBytes, 1));
  const uint32_t shareBytes = VideoShareBytes(pic.planes->lumaWidth, pic.planes->lumaHeight);
  const int share = plan.Add(shareBytes);
  if (plan.Failed()) return;
  uint8_t* block = static_cast<uint8_t*>(MovieAllocatePiece(m, plan.Total()));
  if (!block) return;
  PictureThreads* t;
  try {
    t = new (block) PictureThreads(threads);
  } catch (const std::system_error&) {
    MovieReleasePiece(m, block, plan.Total());
    return;
  }
  t->bytes = plan.Total();
  VideoParallel& par = t->parallel;
  par.pool = &t->pool;
  for (int j = 0; j < kVideoMaxJobs - 1; ++j) {
    par.work[j] = pic.work;
    for (int i = 0; i < kVideoBundleCount; ++i) par.work[j].buffers[i] = plan.At(block, work[j][i]);
  }
  for (int j = 0; j < kVideoMaxJobs; ++j) {
    par.maps[j] = plan.At(block, maps[j]);
    par.rings[j] = plan.At(block, rings[j]);
  }
  par.tally = plan.At(block, tally);
  par.mapBytes = mapBytes;
  par.split = VIDEO_SPLIT_WARM;
  par.share = plan.At(block, share);
  par.shareBytes = shareBytes;
  pic.threads = t;
}

}  // namespace

bool PictureBuildPlaneSet(MovieState* m, bool allKeyFrames) {
  MoviePicture& pic = m->picture;
  PlaneSet ps{};
  ps.setCount = allKeyFrames ? 1 : 2;
  ps.lumaWidth = RoundUp(pic.width, 8);
  ps.lumaHeight = RoundUp(pic.height, 8);
  ps.chromaWidth = RoundUp((pic.width + 1) / 2, 8);
  ps.chromaHeight = RoundUp((pic.height + 1) / 2, 8);
  ps.alphaPresent = (m->flags & OPEN_ALPHA) ? 1 : 0;
  const uint32_t chromaStride = RoundUp(ps.chromaWidth, 16);

  // The description, then every plane, each 32-byte aligned.
  MemoryPlan plan(sizeof(PlaneSet));
  int pieces[2][4];
  for (uint32_t s = 0; s < 2; ++s) {
    for (uint32_t p = 0; p < 4; ++p) {
      pieces[s][p] = -1;
      if (s >= ps.setCount || (p == PLANE_ALPHA && !ps.alphaPresent)) continue;
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      const uint64_t bytes = chroma ? uint64_t(chromaStride) * ps.chromaHeight : uint64_t(ps.lumaWidth) * ps.lumaHeight;
      pieces[s][p] = plan.Add(std::max<uint64_t>(bytes, 32));
    }
  }
  if (plan.Failed()) return false;
  uint8_t* block = static_cast<uint8_t*>(MovieAllocatePiece(m, plan.Total()));
  if (!block) return false;
  std::memset(block, 0, size_t(plan.Total()));
  for (uint32_t s = 0; s < ps.setCount; ++s) {
    for (uint32_t p = 0; p < 4; ++p) {
      if (pieces[s][p] < 0) continue;
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      ps.planes[s][p] = {1, plan.At(block, pieces[s][p]), chroma ? chromaStride : ps.lumaWidth};
    }
  }
  pic.planes = new (block) PlaneSet(ps);
  StartDecodeThreads(m);
  return true;
}

void PictureRelease(MovieState* m) {
  if (PictureThreads* t = m->picture.threads) {
    const uint64_t bytes = t->bytes;
    t->~PictureThreads();
    MovieReleasePiece(m, t, bytes);
    m->picture.threads = nullptr;
  }
  if (m->picture.planes) MovieReleasePiece(m, m->picture.planes, 0);
  m->picture.planes = nullptr;
}

uint32_t PictureDecodeThreads(const MovieState* m) {
  return m->picture.threads ? uint32_t(m->picture.threads->pool.threads()) : 0;
}

WorkerPool* PicturePool(MovieState* m) { return m->picture.threads ? &m->picture.threads->pool : nullptr; }

void PictureWakeThreads(MovieState* m) {
  if (m->picture.threads && m->picture.planes) m->picture.threads->pool.Prepare();
}

void PictureBeginDecode(MovieState* m) {
  MoviePicture& p = m->picture;
  if (p.keepMap) {
    p.keepMap = 0;
    p.mapStartDecode = m->clock.framesDecoded + 1;
    return;
  }
  if (m->clock.copySkipPending) return;
  std::fill_n(p.changeMap, p.blockCount, uint8_t(0));
  p.mapStartDecode = m->clock.framesDecoded + 1;
}

void PictureDecode(MovieState* m, const uint8_t* video, const uint8_t* end, bool malformed) {
  MoviePicture& p = m->picture;
  if (p.planes) {
    p.lastVideo = VideoDecodeFrame(p.planes, video, end, m->headerFlags, m->flags, p.changeMap, p.blocksAcross,
                                   p.work, p.threads ? &p.threads->parallel : nullptr);
    p.lastFrameCorrupt = p.lastVideo.corrupt || malformed;
    if (p.lastFrameCorrupt) ++p.corruptFrames;
    p.heldFrame = m->currentFrame;
  } else if (malformed) {
    p.lastFrameCorrupt = 1;
    ++p.corruptFrames;
  } else {
    p.lastFrameCorrupt = 0;
  }
}

void PictureNoteSeek(MovieState* m) {
  MoviePicture& p = m->picture;
  std::fill_n(p.changeMap, p.blockCount, uint8_t(1));
  p.copiedDecode = 0;
  p.keepMap = 1;
}

bool PictureMapCoversDestination(const MovieState* m) {
  const MoviePicture& p = m->picture;
  return p.copiedDecode != 0 && p.copiedDecode + 1 == p.mapStartDecode;
}

void PictureNoteCopied(MovieState* m) { m->picture.copiedDecode = m->clock.framesDecoded; }

// --- Dirty rectangles --------------------------------------------------------------
namespace {

struct BlockRect {
  uint32_t x, y, w, h;  // in 16-pixel blocks; w == 0 means empty
  uint64_t Area() const { return uint64_t(w) * h; }
};

BlockRect BoundingBox(const MoviePicture& p, const BlockRect& r) {
  uint32_t x0 = UINT32_MAX, y0 = UINT32_MAX, x1 = 0, y1 = 0;
  for (uint32_t y = r.y; y < r.y + r.h; ++y) {
    const uint8_t* row = p.changeMap + uint64_t(y) * p.blocksAcross;
    for (uint32_t x = r.x; x < r.x + r.w; ++x) {
      if (row[x]) {
        x0 = std::min(x0, x);
        x1 = std::max(x1, x + 1);
        y0 = std::min(y0, y);
        y1 = std::max(y1, y + 1);
      }
    }
  }
  if (x0 == UINT32_MAX) return {0, 0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

struct Split {
  uint64_t saving = 0;
  BlockRect a{}, b{};
};

// The better of the width and height cuts (the width cut on a tie).
Split BestSplit(const MoviePicture& p, const BlockRect& r) {
  Split best;
  if (r.w >= 2) {  // at least 32 pixels wide
    const uint32_t cut = ((r.w * 16 / 2 + 15) & ~15u) / 16;
    const BlockRect a = BoundingBox(p, {r.x, r.y, cut, r.h});
    const BlockRect b = BoundingBox(p, {r.x + cut, r.y, r.w - cut, r.h});
    const uint64_t used = a.Area() + b.Area();
    if (used < r.Area()) best = {r.Area() - used, a, b};
  }
  if (r.h >= 2) {
    const uint32_t cut = ((r.h * 16 / 2 + 15) & ~15u) / 16;
    const BlockRect a = BoundingBox(p, {r.x, r.y, r.w, cut});
    const BlockRect b = BoundingBox(p, {r.x, r.y + cut, r.w, r.h - cut});
    const uint64_t used = a.Area() + b.Area();
    if (used < r.Area() && r.Area() - used > best.saving) best = {r.Area() - used, a, b};
  }
  return best;
}

void ComputeRects(MovieState* m, bool oneOnly) {
  const MoviePicture& p = m->picture;
  const uint32_t rows = (p.height + 15) / 16;
  BlockRect rects[kMaxDirtyRects];
  Split splits[kMaxDirtyRects];
  int count = 0;
  const BlockRect whole = BoundingBox(p, {0, 0, p.blocksAcross, rows});
  if (whole.w != 0) {
    rects[count] = whole;
    splits[count++] = oneOnly ? Split{} : BestSplit(p, whole);
    while (!oneOnly && count < kMaxDirtyRects) {
      int pick = -1;
      for (int i = 0; i < count; ++i) {
        if (splits[i].saving > 0 && (pick < 0 || splits[i].saving > splits[pick].saving)) pick = i;
      }
      if (pick < 0) break;
      const Split s = splits[pick];
      rects[pick] = s.a;
      rects[count] = s.b;
      splits[pick] = BestSplit(p, s.a);
      splits[count++] = BestSplit(p, s.b);
    }
  }
  std::sort(rects, rects + count, [](const BlockRect& a, const BlockRect& b) {
    return uint64_t(a.y) * 65536 + a.x < uint64_t(b.y) * 65536 + b.x;
  });
  // The display option in force: the caller may have set a doubling in the
  // movie flags after the open (the player lets the converter double).
  const uint32_t mode = (m->flags & OPEN_DISPLAY_MASK) >> OPEN_DISPLAY_SHIFT;
  const bool dx = DisplayDoublesWidth(mode);
  const bool dy = DisplayDoublesHeight(mode);
  int out = 0;
  for (int i = 0; i < count; ++i) {
    uint64_t x = uint64_t(rects[i].x) * 16, y = uint64_t(rects[i].y) * 16;
    uint64_t w = uint64_t(rects[i].w) * 16, h = uint64_t(rects[i].h) * 16;
    if (dx) x *= 2, w *= 2;
    if (dy) y *= 2, h *= 2;
    if (x >= m->width || y >= m->height) continue;
    w = std::min<uint64_t>(w, m->width - x);
    h = std::min<uint64_t>(h, m->height - y);
    m->dirtyRects[out++] = {int32_t(x), int32_t(y), int32_t(w), int32_t(h)};
  }
  m->dirtyRectCount = out;
}

}  // namespace

uint32_t MovieGetRects(uint32_t copyFlags, Movie* movie) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if (copyFlags & 0x4000000u) return 0;
  if (m->clock.copySkipped && !((copyFlags | m->flags) & OPEN_NEVER_SKIP)) return 0;
  if (m->dirtyRectCount == -1) {
    if (!m->picture.planes) {
      m->dirtyRectCount = 0;
    } else {
      ComputeRects(m, copyFlags & 0x8000000u);
    }
  }
  return uint32_t(m->dirtyRectCount);
}


bool MovieGetPlanes(const Movie* movie, MoviePlanes* out) {
  if (!movie || !out) return false;
  const MovieState* m = AsState(movie);
  const PlaneSet* ps = m->picture.planes;
  if (!ps) return false;
  *out = MoviePlanes{};
  const PlaneEntry* set = ps->planes[ps->current & 1];
  for (int p = 0; p < kPlaneCount; ++p) {
    const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
    if (p == PLANE_ALPHA && !ps->alphaPresent) continue;
    out->plane[p] = set[p].data;
    out->stride[p] = set[p].stride;
    out->width[p] = chroma ? ps->chromaWidth : ps->lumaWidth;
    out->height[p] = chroma ? ps->chromaHeight : ps->lumaHeight;
  }
  out->pictureWidth = m->picture.width;
  out->pictureHeight = m->picture.height;
  out->alpha = ps->alphaPresent != 0;
  out->grey = (m->flags & OPEN_GREY) != 0;
  out->chromaSwapped = (m->flags & OPEN_BEFORE_REV_H) != 0;
  return true;
}

uint32_t MovieCorruptFrameCount(const Movie* movie) { return movie ? AsState(movie)->picture.corruptFrames : 0; }
bool MovieLastFrameCorrupt(const Movie* movie) { return movie && AsState(movie)->picture.lastFrameCorrupt; }

}  // namespace tarn
