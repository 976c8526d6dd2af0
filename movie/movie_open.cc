// MovieOpen and MovieClose. The open is a sequence of steps: the source (its
// header read and checked), the plan of the movie's one block, the record's
// sub-records set up in that block, the tables and index, the buffers (plane
// set, ring or preload), the first frame, the sound tracks and the service
// threads. Any step that fails undoes everything before it.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/allocator.h"
#include "common/last_error.h"
#include "common/movie_time.h"
#include "movie/memory_plan.h"
#include "movie/movie_internal.h"
#include "movie/movie_threads.h"

namespace tarn {
namespace {

// --- Process-wide pending settings (one opening thread, not locked) --------
struct PendingSettings {
  uint32_t trackCount = 1;
  uint32_t trackIds[kMaxPendingTracks] = {};
  uint32_t rateNumerator = kMovieUnset;
  uint32_t rateDenominator = kMovieUnset;
  uint32_t readBufferSize = kMovieUnset;
  uint32_t simulateRate = kMovieUnset;
  IoReaderOpenFn readerOpen = nullptr;
};
PendingSettings pending;

void ResetPendingTracks() {
  pending.trackCount = 1;
  pending.trackIds[0] = 0;
}

// Takes a pending value for the open when its flag is given: kMovieUnset otherwise.
uint32_t TakePending(uint32_t& value, uint32_t flags, uint32_t flag) {
  if (!(flags & flag)) return kMovieUnset;
  const uint32_t v = value;
  value = kMovieUnset;
  return v;
}

// --- What the open decides from the header and the flags -------------------
struct OpenShape {
  uint32_t flags;             // the movie flags
  uint32_t displayMode;       // 0..6
  uint32_t width, height;     // output size
  uint32_t rateNumerator, rateDenominator;  // the rate in force
};

OpenShape ShapeFor(const MovieHeader& h, uint32_t flags) {
  OpenShape o{};
  o.flags = (flags | (h.flags & HDR_GRAYSCALE)) & 0x8FFFFFFFu;
  if (!(h.flags & HDR_ALPHA)) o.flags &= ~OPEN_ALPHA;
  const uint32_t asked = (flags & OPEN_DISPLAY_MASK) >> OPEN_DISPLAY_SHIFT;
  uint32_t mode = asked == DISPLAY_FORCE_NONE ? 0
                  : asked != 0                ? asked
                                              : (h.flags & HDR_DISPLAY_MODE) >> OPEN_DISPLAY_SHIFT;
  if (mode == DISPLAY_FORCE_NONE) mode = 0;
  o.displayMode = mode;
  o.flags |= mode << OPEN_DISPLAY_SHIFT;
  o.flags |= MovieRevisionFlags(h.magic);
  o.width = h.width * (DisplayDoublesWidth(mode) ? 2 : 1);
  o.height = h.height * (DisplayDoublesHeight(mode) ? 2 : 1);
  o.rateNumerator = h.rateNumerator;
  o.rateDenominator = h.rateDenominator;
  if ((flags & OPEN_FRAME_RATE) && pending.rateNumerator != kMovieUnset) {
    o.rateNumerator = pending.rateNumerator;
    o.rateDenominator = pending.rateDenominator;
    pending.rateNumerator = pending.rateDenominator = kMovieUnset;
  }
  return o;
}

// --- The block: the record followed by its pieces --------------------------
struct BlockPlan {
  MemoryPlan plan{sizeof(MovieState)};
  PicturePlan picture;
  uint32_t trackRecords = 1;
  int map = -1, tracks = -1, selected = -1, table = -1, index = -1;
  int history[kHistoryArrays] = {};
  int work[kVideoBundleCount] = {};
};

void PlanBlock(BlockPlan& b, const OpenedSource& s, const OpenShape& shape) {
  const MovieHeader& h = s.header;
  const uint32_t rate = RoundedFrameRate(h.rateNumerator, h.rateDenominator);
  b.picture = PicturePlanFor(h, shape.height);
  b.trackRecords = std::max<uint32_t>(pending.trackCount, 1);
  b.map = b.plan.Add(b.picture.blockCount + 16);
  for (int& p : b.history) p = b.plan.Add(uint64_t(rate) * 4);
  b.tracks = b.plan.Add(uint64_t(b.trackRecords) * sizeof(SoundTrack));
  b.selected = b.plan.Add(uint64_t(b.trackRecords) * 4);
  for (int i = 0; i < kVideoBundleCount; ++i) b.work[i] = b.plan.Add(std::max<uint32_t>(b.picture.work.sizes[i], 1));
  if (!s.image) {
    b.table = b.plan.Add(std::max<uint64_t>(TrackTableBytes(h), 1));
    b.index = b.plan.Add(FrameIndexBytes(h));
  }
}

// Allocates the block and sets up the record's head and sub-records in it.
MovieState* CreateRecord(const BlockPlan& b, const OpenedSource& s, const OpenShape& shape) {
  const MovieHeader& h = s.header;
  uint8_t* block = static_cast<uint8_t*>(LibraryAllocate(size_t(b.plan.Total())));
  if (!block) return nullptr;
  std::memset(block, 0, size_t(b.plan.Total()));
  MovieState* m = new (block) MovieState{};
  m->stats.memoryUsed = b.plan.Total();
  m->width = shape.width;
  m->height = shape.height;
  m->frameCount = h.frameCount;
  m->rateNumerator = shape.rateNumerator;
  m->rateDenominator = shape.rateDenominator;
  m->flags = shape.flags;
  m->headerFlags = h.flags;
  m->sizeMinus8 = h.sizeMinus8;
  m->dirtyRectCount = -1;
  m->currentFrame = 0xFFFFFFFFu;

  InputInit(m, s.reader, s.readerOpen);
  SourceInit(m, s);
  uint8_t* work[kVideoBundleCount];
  for (int i = 0; i < kVideoBundleCount; ++i) work[i] = b.plan.At(block, b.work[i]);
  PictureInit(m, h, b.picture, b.plan.At(block, b.map), work);
  uint32_t* history[kHistoryArrays];
  for (uint32_t i = 0; i < kHistoryArrays; ++i) history[i] = reinterpret_cast<uint32_t*>(b.plan.At(block, b.history[i]));
  StatsInit(m, history);
  SoundInit(m, reinterpret_cast<SoundTrack*>(b.plan.At(block, b.tracks)), b.trackRecords,
            reinterpret_cast<uint32_t*>(b.plan.At(block, b.selected)));
  ClockInit(m);
  return m;
}

// The plane set, then either the whole movie in memory or the frame buffer
// and the read-ahead ring. flags gains OPEN_PRELOAD when the ring would hold
// 90% of the movie.
bool BuildBuffers(MovieState* m, const OpenedSource& s, uint32_t& flags) {
  if (!(m->flags & OPEN_NO_VIDEO_BUFFERS) && !PictureBuildPlaneSet(m, m->source.allKeyFrames)) return false;

  // A ring larger than the source would never fill.
  uint32_t wanted = uint32_t(std::min<uint64_t>(m->source.peakAmount, s.sourceBytes));
  if (const uint32_t size = TakePending(pending.readBufferSize, flags, OPEN_READ_BUFFER_SIZE); size != kMovieUnset) {
    wanted = size;
  }
  uint32_t speed = TakePending(pending.simulateRate, flags, OPEN_SIMULATE_RATE);
  if (speed == kMovieUnset) speed = 0;
  if (s.image) return true;

  const uint32_t reportedLength = uint32_t(std::min<uint64_t>(m->source.movieLength, UINT32_MAX));
  const uint32_t size = InputBufferSizeFor(m, wanted);
  if (uint64_t(size) >= uint64_t(m->sizeMinus8) * 9 / 10) flags |= OPEN_PRELOAD;
  if (flags & OPEN_PRELOAD) {
    m->flags |= OPEN_PRELOAD;
    return SourcePreload(m, s.sourceBytes, reportedLength, speed);
  }
  if (!SourceAllocateFrameBuffer(m)) return false;
  InputSetUpRing(m, size, reportedLength, speed);
  return true;
}

// Joins the service threads the movie needs and fills the ring.
void StartThreads(MovieState* m, uint32_t flags) {
  if (m->sound.selectedCount && !m->sound.tracks[0].selfServiced) MovieJoinSoundThread(m);
  const bool inMemory = MovieInMemory(m);
  if (!(flags & OPEN_NO_THREAD) && !inMemory) MovieJoinReaderThread(m);
  IoReaderUseNodeLock(&m->input.reader);
  if (!inMemory && !(flags & OPEN_NO_INITIAL_FILL)) InputInitialFill(m);
}

// --- Teardown, shared by MovieClose and the open's failure paths -------------
void Teardown(MovieState* m, void* block) {
  MovieLeaveThreads(m);
  SoundCloseTracks(m);
  InputClose(m);
  InputRelease(m);
  SourceRelease(m);
  PictureRelease(m);
  std::memset(static_cast<void*>(m), 0, sizeof(MovieState));
  LibraryRelease(block);
}

Movie* Fail(ContainerStatus status, OpenedSource& s, MovieState* m = nullptr) {
  MovieSetError(ContainerStatusText(status));
  if (m) {
    Teardown(m, m);
  } else {
    SourceAbandon(s);
  }
  return nullptr;
}

Movie* Open(const void* source, uint32_t flags, uint64_t imageSize) {
  if (!(flags & OPEN_SOUND_TRACKS)) ResetPendingTracks();
  const uint32_t startTime = MovieTimeMs();
  MovieClearError();

  IoReaderOpenFn readerOpen = IoReaderOpen;
  if (!(flags & OPEN_FROM_MEMORY) && (flags & OPEN_CUSTOM_READER)) {
    if (pending.readerOpen) readerOpen = pending.readerOpen;
    pending.readerOpen = nullptr;
  }
  OpenedSource s;
  if (const ContainerStatus status = SourceOpen(source, flags, imageSize, readerOpen, s); status != ContainerStatus::Ok) {
    return s.openFailed ? nullptr : Fail(status, s);
  }

  const OpenShape shape = ShapeFor(s.header, flags);
  BlockPlan plan;
  PlanBlock(plan, s, shape);
  if (plan.plan.Failed()) return Fail(ContainerStatus::OutOfMemory, s);
  MovieState* m = CreateRecord(plan, s, shape);
  if (!m) return Fail(ContainerStatus::OutOfMemory, s);
  uint8_t* block = reinterpret_cast<uint8_t*>(m);

  if (!SourceReadTables(m, s, plan.plan.At(block, plan.table), plan.plan.At(block, plan.index))) {
    return Fail(ContainerStatus::HeaderReadError, s, m);
  }
  if (!BuildBuffers(m, s, flags)) return Fail(ContainerStatus::OutOfMemory, s, m);

  MovieReadFrame(m, 1);
  m->stats.openTime = MovieTimeMs() - startTime;

  SoundOpenTracks(m, pending.trackIds, pending.trackCount);
  ResetPendingTracks();
  StartThreads(m, flags);
  return m;
}

}  // namespace

void* MovieAllocatePiece(MovieState* m, uint64_t size) {
  if (size == 0 || size > kMaxAllocation) return nullptr;
  void* p = LibraryAllocate(size_t(size));
  if (p) m->stats.memoryUsed += size;
  return p;
}

void MovieReleasePiece(MovieState* m, void* p, uint64_t size) {
  if (!p) return;
  LibraryRelease(p);
  m->stats.memoryUsed -= size;
}

// --- Public entry points -------------------------------------------------------
Movie* MovieOpen(const void* source, uint32_t flags) {
  if (flags & OPEN_FROM_MEMORY) {
    // The caller vouches for the image: it holds what its header states.
    if (source == nullptr) return Open(source, flags, 0);
    return Open(source, flags, MovieLength(DecodeMovieHeader(static_cast<const uint8_t*>(source))));
  }
  return Open(source, flags, 0);
}

Movie* MovieOpenMemory(const void* image, size_t size, uint32_t flags) {
  return Open(image, flags | OPEN_FROM_MEMORY, size);
}

void MovieClose(Movie* movie) {
  if (!movie) return;
  MovieState* m = AsState(movie);
  MoviePause(movie, 1);
  Teardown(m, m);
}

void MovieSetFrameRate(uint32_t numerator, uint32_t denominator) {
  pending.rateNumerator = numerator;
  pending.rateDenominator = denominator;
}

void MovieSetSoundTracks(uint32_t count, const uint32_t* ids) {
  pending.trackCount = std::min(count, kMaxPendingTracks);
  for (uint32_t i = 0; i < pending.trackCount; ++i) pending.trackIds[i] = ids ? ids[i] : 0;
}

void MovieSetReadBufferSize(uint32_t bytes) { pending.readBufferSize = bytes; }
void MovieSetSimulateRate(uint32_t bytesPerSecond) { pending.simulateRate = bytesPerSecond; }
void MovieSetReaderOpen(IoReaderOpenFn open) { pending.readerOpen = open; }

}  // namespace tarn
