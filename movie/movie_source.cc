// The source and its index: opening the source and checking its header,
// reading the track table and the frame index, preloading, and loading each
// frame record. Every size planned from the header is bounded by what the
// source really holds.
#include "movie/movie_source.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/input_limits.h"
#include "common/last_error.h"
#include "common/little_endian.h"
#include "movie/movie_internal.h"

namespace tarn {

ContainerStatus SourceOpen(const void* source, uint32_t flags, uint64_t imageSize, IoReaderOpenFn open,
                           OpenedSource& s) {
  uint8_t head[kMovieHeaderSize] = {};
  if (flags & OPEN_FROM_MEMORY) {
    if (source == nullptr || imageSize < kMovieHeaderSize) return ContainerStatus::NotTarn;
    s.image = static_cast<const uint8_t*>(source);
    s.imageSize = imageSize;
    s.sourceBytes = imageSize;
    std::memcpy(head, source, kMovieHeaderSize);
  } else {
    if (!open(&s.reader, source, flags)) {
      if (MovieGetError()[0] == 0) MovieSetError("Error opening file.");
      s.openFailed = true;
      return ContainerStatus::NotTarn;
    }
    s.readerOpen = true;
    if (s.reader.ReadDirect(&s.reader, 0, head, kMovieHeaderSize) != kMovieHeaderSize) s.reader.error = 1;
  }

  const MovieHeader& h = s.header = DecodeMovieHeader(head);
  if (s.reader.error) return ContainerStatus::NotTarn;
  if (const ContainerStatus status = CheckMovieHeader(h); status != ContainerStatus::Ok) return status;
  // What the source really holds bounds every size planned from the header, so
  // a header claiming more than the file has cannot make the open allocate
  // for it. Unknown for a substitute reader.
  if (s.readerOpen) {
    const int64_t n = IoReaderSourceBytes(&s.reader);
    if (n >= 0) s.sourceBytes = uint64_t(n);
  }
  // The table and index lie between the header and the first frame, inside the
  // movie; one that does not, or that has no entry for every frame, cannot be read.
  const uint64_t indexEnd = FrameIndexOffset(h) + FrameIndexBytes(h);
  if (!IndexCoversFrames(h) || indexEnd > MovieLength(h) || indexEnd > s.sourceBytes) {
    return ContainerStatus::HeaderReadError;
  }
  if (h.width > kMaxPictureSide || h.height > kMaxPictureSide) return ContainerStatus::OutOfMemory;
  return ContainerStatus::Ok;
}

void SourceAbandon(OpenedSource& s) {
  if (s.readerOpen) s.reader.Close(&s.reader);
  s.readerOpen = false;
}

void SourceInit(MovieState* m, const OpenedSource& s) {
  const MovieHeader& h = s.header;
  MovieSource& src = m->source;
  src.fromMemory = s.image != nullptr;
  src.magic = h.magic;
  src.largestFrame = h.largestFrame;
  src.indexFrameCount = h.indexFrameCount;
  src.trackCount = h.trackCount;
  src.headerRateNumerator = h.rateNumerator;
  src.headerRateDenominator = h.rateDenominator;
  src.roundedRate = RoundedFrameRate(h.rateNumerator, h.rateDenominator);
  src.movieLength = MovieLength(h);
}

bool SourceReadTables(MovieState* m, const OpenedSource& s, uint8_t* table, uint8_t* index) {
  const MovieHeader& h = s.header;
  MovieSource& src = m->source;
  const uint32_t arrayBytes = h.trackCount * 4;  // within the movie, so below 2^32
  if (s.image) {
    src.trackLargest = s.image + kMovieHeaderSize;
    src.preloaded = s.image;
    src.preloadOffset = 0;
    src.preloadSize = std::min(s.imageSize, src.movieLength);
    src.index = {s.image + FrameIndexOffset(h), h.indexFrameCount + 1};
  } else {
    IoReader& r = m->input.reader;
    for (uint32_t a = 0; a < 3 && arrayBytes; ++a) {
      if (r.ReadDirect(&r, kIoOffsetCurrent, table + a * arrayBytes, arrayBytes) != arrayBytes) r.error = 1;
    }
    const uint32_t indexBytes = uint32_t(FrameIndexBytes(h));
    if (r.ReadDirect(&r, kIoOffsetCurrent, index, indexBytes) != indexBytes) r.error = 1;
    if (r.error) return false;
    src.trackLargest = table;
    src.index = {index, h.indexFrameCount + 1};
  }
  src.trackRate = src.trackLargest + arrayBytes;
  src.trackIds = src.trackRate + arrayBytes;

  const IndexFacts facts = ComputeIndexFacts(src.index, h);
  src.peakAmount = facts.peakAmount;
  src.peakStart = facts.peakStart;
  src.allKeyFrames = facts.allKeyFrames;
  return true;
}

bool SourcePreload(MovieState* m, uint64_t sourceBytes, uint32_t reportedLength, uint32_t speed) {
  MovieSource& src = m->source;
  // Only what the file holds is preloaded: frames past its end are read
  // errors at their own frame, as for a cut image in memory.
  const uint64_t first = src.index.Offset(0);
  const uint64_t held = std::min(src.movieLength, sourceBytes);
  const uint64_t length = held > first ? held - first : 0;
  uint8_t* image = length ? static_cast<uint8_t*>(MovieAllocatePiece(m, length)) : nullptr;
  if (length && !image) return false;
  src.preloaded = image;
  src.preloadOwned = image != nullptr;
  src.preloadOffset = first;
  src.preloadSize = length;
  InputReadWhole(m, uint32_t(first), image, uint32_t(length), reportedLength, speed);
  return true;
}

bool SourceAllocateFrameBuffer(MovieState* m) {
  if (m->source.largestFrame == 0) return true;
  m->source.frameBuffer = static_cast<uint8_t*>(MovieAllocatePiece(m, m->source.largestFrame));
  return m->source.frameBuffer != nullptr;
}

void SourceRelease(MovieState* m) {
  MovieSource& src = m->source;
  if (src.preloadOwned) MovieReleasePiece(m, const_cast<uint8_t*>(src.preloaded), src.preloadSize);
  MovieReleasePiece(m, src.frameBuffer, src.largestFrame);
  src.preloaded = nullptr;
  src.preloadOwned = 0;
  src.frameBuffer = nullptr;
}

bool SourceLoadRecord(MovieState* m, uint32_t n) {
  MovieSource& src = m->source;
  const uint32_t i = n == 0 ? 0 : n - 1;
  // The record must lie inside the movie and fit the frame buffer; anything
  // else is a read error at this frame.
  const uint64_t start = src.index.Offset(i), end = src.index.Offset(i + 1);
  const bool sane = end >= start && end <= src.movieLength && end - start <= src.largestFrame;
  src.frameData = nullptr;
  src.frameSize = 0;
  bool whole = false;
  if (!sane) {
    m->readFailed = 1;
  } else if (MovieInMemory(m)) {
    if (start < src.preloadOffset || end - src.preloadOffset > src.preloadSize) {
      m->readFailed = 1;
    } else {
      src.frameData = src.preloaded + (start - src.preloadOffset);
      src.frameSize = uint32_t(end - start);
      whole = true;
    }
  } else {
    const uint32_t size = uint32_t(end - start);
    const uint32_t got = InputReadRecord(m, i, uint32_t(start), src.frameBuffer, size);
    src.frameData = src.frameBuffer;
    src.frameSize = std::min(got, size);
    whole = got == size;  // a short read is the reader's error, seen by the next decode
  }
  // The sound thread reads the frame number (end-frame rule) without a lock.
  std::atomic_ref<uint32_t>(m->currentFrame).store(i + 1, std::memory_order_relaxed);
  // Every record loaded is decoded once, even the frame just decoded again
  // (a one-frame movie's next loop, with its sound, on its due time).
  m->clock.recordDecoded = 0;
  return whole;
}

void MovieReadFrame(MovieState* m, uint32_t n) {
  m->clock.copySkipped = 0;
  MovieServiceSound(m);
  m->previousFrame = m->currentFrame;
  if (n <= 1) ClockNoteFirstFrame(m);
  SourceLoadRecord(m, n);
  MovieServiceSound(m);
}

uint32_t SourceKeyFrameAtOrBefore(const MovieState* m, uint32_t frame) {
  uint32_t i = std::min(frame, m->frameCount);
  while (i > 1 && !m->source.index.IsKey(i - 1)) --i;
  return i == 0 ? 1 : i;
}

uint32_t MovieKeyFrame(const Movie* movie, uint32_t frame) {
  if (!movie || frame == 0) return 0;
  return SourceKeyFrameAtOrBefore(AsState(movie), frame);
}

uint32_t MovieTrackCount(const Movie* movie) { return movie ? AsState(movie)->source.trackCount : 0; }

bool MovieGetTrack(const Movie* movie, uint32_t position, MovieTrackInfo* info) {
  if (!movie || !info || position >= MovieTrackCount(movie)) return false;
  const MovieSource& src = AsState(movie)->source;
  info->id = LoadLe32(src.trackIds + 4 * size_t(position));
  info->rateWord = LoadLe32(src.trackRate + 4 * size_t(position));
  info->largestPacket = LoadLe32(src.trackLargest + 4 * size_t(position));
  return true;
}

char MovieRevision(const Movie* movie) { return movie ? MovieRevisionLetter(AsState(movie)->source.magic) : 0; }

bool MovieIsKeyFrame(const Movie* movie, uint32_t frame) {
  if (!movie || frame == 0 || frame > movie->frameCount) return false;
  return AsState(movie)->source.index.IsKey(frame - 1);
}

bool MovieGetFramePacket(const Movie* movie, uint32_t position, const uint8_t** packet, uint32_t* length) {
  if (length) *length = 0;
  if (!movie || !packet || !length || position >= MovieTrackCount(movie)) return false;
  const MovieSource& src = AsState(movie)->source;
  if (!src.frameData) return false;
  // The same walk as the frame step: each length field is followed by its
  // packet, and a length that runs past the record ends the walk.
  size_t pos = 0;
  for (uint32_t t = 0;; ++t) {
    if (src.frameSize - pos < 4) return false;
    const uint32_t n = LoadLe32(src.frameData + pos);
    pos += 4;
    if (n > src.frameSize - pos) return false;
    if (t == position) {
      if (n == 0) return false;
      *packet = src.frameData + pos;
      *length = n;
      return true;
    }
    pos += n;
  }
}

}  // namespace tarn
