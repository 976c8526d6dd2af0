// MovieCopyToBuffer: from the movie's display rectangle to plane pixels, the
// lateness rule, the reader's share of time, then CopyPlanes over the current
// plane set, in bands on the decode threads. Reads the planes of the
// current set only.
#include "common/cpu_features.h"
#include "convert/copy.h"
#include "movie/movie_internal.h"

namespace tarn {
namespace {

// Display pixels to plane pixels: v * planeSize / displaySize, truncating.
uint32_t ToPlane(uint32_t v, uint32_t planeSize, uint32_t displaySize) {
  return uint32_t(uint64_t(v) * planeSize / displaySize);
}

CopySource SourceOf(const MoviePicture& pic) {
  const PlaneSet& ps = *pic.planes;
  const PlaneEntry* set = ps.planes[ps.current & 1];
  CopySource s{};
  for (int p = 0; p < kPlaneCount; ++p) {
    s.plane[p] = set[p].data;
    s.stride[p] = set[p].stride;
  }
  if (!ps.alphaPresent) s.plane[PLANE_ALPHA] = nullptr;
  s.width = pic.width;
  s.height = pic.height;
  s.changeMap = pic.changeMap;
  s.mapStride = pic.blocksAcross;
  s.mapRows = pic.blocksAcross ? pic.blockCount / pic.blocksAcross : 0;
  return s;
}

struct InUse {  // the movie's in-use mark for the duration of the copy
  explicit InUse(MoviePicture& p) : pic(p) { pic.inUse = 1; }
  ~InUse() { pic.inUse = 0; }
  MoviePicture& pic;
};

}  // namespace

int MovieCopyToBuffer(Movie* movie, void* destination, int32_t pitch, uint32_t destinationHeight,
                      uint32_t destinationX, uint32_t destinationY, uint32_t sourceX,
                      uint32_t sourceY, uint32_t sourceWidth, uint32_t sourceHeight,
                      uint32_t flags) {
  if (!movie || !destination) return 0;
  MovieState* m = AsState(movie);
  MoviePicture& pic = m->picture;
  if (!pic.planes || m->width == 0 || m->height == 0) return 0;

  const uint32_t planeWidth = pic.width, planeHeight = pic.height;
  uint32_t x = ToPlane(sourceX, planeWidth, m->width);
  uint32_t y = ToPlane(sourceY, planeHeight, m->height);
  uint32_t w = ToPlane(sourceWidth, planeWidth, m->width);
  uint32_t h = ToPlane(sourceHeight, planeHeight, m->height);
  if (x > planeWidth) x = planeWidth;
  if (y > planeHeight) y = planeHeight;
  if (w > planeWidth - x) w = planeWidth - x;
  if (h > planeHeight - y) h = planeHeight - y;
  const bool skipped = m->clock.copySkipped;
  if (w == 0 || h == 0 || skipped) return skipped ? 1 : 0;

  flags |= m->flags & kCopyMovieFlagsMask;
  InUse inUse(pic);
  const CopySource source = SourceOf(pic);
  if (!source.plane[PLANE_ALPHA]) flags &= ~COPY_SHOW_ALPHA;

  // The lateness rule. It counts late copies in a row; a late copy that it
  // lets through because skipping is not allowed still reports 1.
  const uint32_t lateBefore = m->clock.lateCopies;
  if (ClockShouldSkipCopy(m, flags)) return 1;
  const int result = m->clock.lateCopies == lateBefore + 1 ? 1 : 0;

  InputServiceForCopy(m, flags);

  const bool changedOnly = !(flags & COPY_FULL) && PictureMapCoversDestination(m);
  const CopyDestination dst{static_cast<uint8_t*>(destination), pitch, destinationHeight,
                            destinationX, destinationY};
  if (CopyPlanes(source, dst, {x, y, w, h}, flags, changedOnly, CpuFeatures(), PicturePool(m))) PictureNoteCopied(m);
  return result;
}

}  // namespace tarn
