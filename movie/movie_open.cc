// MovieOpen and MovieClose: parse the container, plan and allocate the movie's
// memory, select and open the sound tracks, size the read-ahead ring and join
// the service threads. Every size comes from checked 64-bit arithmetic.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>

#include "audio/audio_decoder.h"
#include "common/allocator.h"
#include "common/little_endian.h"
#include "common/checked_size.h"
#include "common/last_error.h"
#include "common/input_limits.h"
#include "common/movie_time.h"
#include "movie/movie_internal.h"
#include "movie/movie_play.h"
#include "common/clock.h"
#include "platform/thread.h"
#include "sound/sound_service.h"

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

// --- Process-wide service threads (guarded by serviceMutex) ---------------
std::mutex serviceMutex;
ServiceThread* readerThread = nullptr;
ServiceThread* soundThread = nullptr;

// --- Memory plan ------------------------------------------------------------
// Pieces follow the main object in one block. Each is rounded up to 32 bytes
// and preceded by a stagger of ((total / 32 - rounded / 32 + 1) mod 32) * 32
// bytes, so successive pieces start at different 32-byte cache offsets.
class MemoryPlan {
 public:
  static constexpr int kMaxPieces = 32;
  explicit MemoryPlan(uint64_t head) : total_(RoundUp64(head)) {}

  int Add(uint64_t size) {
    const std::optional<uint64_t> rounded = CheckedRoundUp(size, 32);
    if (!rounded || count_ == kMaxPieces || *rounded > kMaxAllocation) {
      failed_ = true;
      return -1;
    }
    const uint64_t stagger = ((total_ / 32 - *rounded / 32 + 1) % 32) * 32;
    offsets_[count_] = total_ + stagger;
    total_ += stagger + *rounded;
    if (total_ > kMaxAllocation) failed_ = true;
    return count_++;
  }
  bool Failed() const { return failed_; }
  uint64_t Total() const { return total_; }
  uint8_t* At(uint8_t* base, int piece) const { return piece < 0 ? nullptr : base + offsets_[piece]; }

 private:
  static uint64_t RoundUp64(uint64_t v) { return (v + 31) & ~uint64_t(31); }
  uint64_t total_;
  uint64_t offsets_[kMaxPieces] = {};
  int count_ = 0;
  bool failed_ = false;
};

void* Allocate(MovieState* m, uint64_t size) {
  if (size == 0 || size > kMaxAllocation) return nullptr;
  void* p = LibraryAllocate(size_t(size));
  if (p) m->memoryUsed += size;
  return p;
}

void Release(MovieState* m, void* p, uint64_t size) {
  if (!p) return;
  LibraryRelease(p);
  m->memoryUsed -= size;
}

// The plane set: its description, then every plane, each 32-byte aligned,
// zero-filled so the first frame's references are deterministic.
bool BuildPlaneSet(MovieState* m) {
  PlaneSet ps{};
  ps.setCount = m->allKeyFrames ? 1 : 2;
  ps.lumaWidth = RoundUp(m->headerWidth, 8);
  ps.lumaHeight = RoundUp(m->headerHeight, 8);
  ps.chromaWidth = RoundUp((m->headerWidth + 1) / 2, 8);
  ps.chromaHeight = RoundUp((m->headerHeight + 1) / 2, 8);
  ps.alphaPresent = (m->flags & OPEN_ALPHA) ? 1 : 0;
  const uint32_t chromaStride = RoundUp(ps.chromaWidth, 16);

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
  uint8_t* block = static_cast<uint8_t*>(Allocate(m, plan.Total()));
  if (!block) return false;
  std::memset(block, 0, size_t(plan.Total()));
  for (uint32_t s = 0; s < ps.setCount; ++s) {
    for (uint32_t p = 0; p < 4; ++p) {
      if (pieces[s][p] < 0) continue;
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      ps.planes[s][p] = {1, plan.At(block, pieces[s][p]), chroma ? chromaStride : ps.lumaWidth};
    }
  }
  m->planes = new (block) PlaneSet(ps);
  return true;
}

// --- Sound node callbacks ----------------------------------------------------
uint32_t SoundUrgency(ServiceNode* node, uint32_t pass) {
  if (node->lastServicedPass == pass) return 0;
  return ~node->lastServicedPass;
}

void SoundService(ServiceNode* node, uint32_t pass) {
  MovieState* m = static_cast<MovieState*>(node->owner);
  if (m->selectedCount) {
    SoundServiceTracksLocked(m);  // the thread holds the node's mutex
  }
  node->lastServicedPass = pass;
}

// Joins the process-wide thread, creating it on first need. A thread created
// here and not joined is ended again.
bool JoinThread(ServiceThread** thread, int32_t priority, ServiceNode* node, ServiceUrgencyFn urgency,
                ServiceWorkFn service, void* owner) {
  std::lock_guard lock(serviceMutex);
  if (*thread == nullptr) *thread = ServiceThreadCreate(priority);
  if (*thread == nullptr) return false;
  const bool joined = ServiceThreadJoin(*thread, node, urgency, service, owner);
  ServiceThreadStart(*thread);
  return joined;
}

// --- Sound tracks -------------------------------------------------------------
uint32_t TrackWord(const uint8_t* array, uint32_t i) { return LoadLe32(array + uint64_t(i) * 4); }

// Sample rate that keeps sound in step with an overridden frame rate, rounded
// to nearest; the track's own rate when the rates give no ratio.
uint32_t AdjustedSampleRate(const MovieState* m, uint32_t rate) {
  const uint64_t num = m->rateNumerator, den = m->rateDenominator;
  const uint64_t hn = m->headerRateNumerator, hd = m->headerRateDenominator;
  if (num == 0 || den == 0 || hn == 0 || hd == 0) return rate;
  const unsigned __int128 a = (unsigned __int128)rate * hd * num;
  const unsigned __int128 b = (unsigned __int128)hn * den;
  const unsigned __int128 r = (2 * a + b) / (2 * b);
  return r > UINT32_MAX ? UINT32_MAX : uint32_t(r);
}

void CloseTrack(MovieState* m, uint32_t k) {
  SoundTrack* t = &m->tracks[k];
  if (t->driver.close) t->driver.close(t);
  if (t->decoder) AudioDecoderClose(t->decoder);
  Release(m, m->trackBuffers[k], t->ringSize);
  m->trackBuffers[k] = nullptr;
  SoundNoteTrackClosed();
}

// Opens the track at table position pos into record k; false drops it.
bool OpenTrack(MovieState* m, uint32_t k, uint32_t pos, SoundOpenRoutine open) {
  SoundTrack* t = &m->tracks[k];
  std::memset(static_cast<void*>(t), 0, sizeof(SoundTrack));
  const uint32_t word = TrackWord(m->trackRate, pos);
  if (!(word & (TRACK_CODEC_A | TRACK_CODEC_B)) || open == nullptr) return false;
  const uint32_t ownRate = word & 0xFFFF;
  const uint32_t sampleRate = AdjustedSampleRate(m, ownRate);
  const uint32_t channels = (word & TRACK_STEREO) ? 2 : 1;
  const uint32_t bits = (word & TRACK_16BIT) ? 16 : 8;
  if (!open(t, sampleRate, bits, channels, m->flags, m)) return false;
  if (t->lengthMask == 0) t->lengthMask = 0xFFFFFFFFu;
  const std::optional<uint64_t> ringSize = CheckedRoundUp(TrackWord(m->trackLargest, pos), 256);
  uint8_t* ring = ringSize && *ringSize <= UINT32_MAX ? static_cast<uint8_t*>(Allocate(m, *ringSize)) : nullptr;
  if (!ring) {
    if (t->driver.close) t->driver.close(t);
    return false;
  }
  m->trackBuffers[k] = ring;
  t->ringSize = uint32_t(*ringSize);
  t->ringStart = ring;
  t->ringEnd = ring + t->ringSize;
  t->writePos = t->readPos = ring;
  t->output8Bit = (word & TRACK_16BIT) ? 0 : 1;
  const int64_t spare = std::max<int64_t>(0, 750 - int64_t(t->latencyMs));
  const uint64_t preload = (uint64_t(sampleRate) * channels * 2 * uint64_t(spare) / 1000) & ~uint64_t(3);
  t->preloadBytes = uint32_t(std::min<uint64_t>(preload, t->ringSize));
  t->decoder = AudioDecoderOpen(ownRate, channels, (word & TRACK_CODEC_B) && !(word & TRACK_CODEC_A));
  if (!t->decoder) {
    if (t->driver.close) t->driver.close(t);
    Release(m, ring, t->ringSize);
    m->trackBuffers[k] = nullptr;
    return false;
  }
  SoundNoteTrackOpened();
  const uint64_t hd4 = uint64_t(m->headerRateDenominator) * 4;
  const int64_t tail = hd4 ? int64_t(uint64_t(m->headerRateNumerator) * 3 / hd4) : 0;
  t->endFrame = int32_t(std::clamp<int64_t>(int64_t(m->frameCount) - tail, INT32_MIN, INT32_MAX));
  t->fillCount = 0;
  if (t->speed == 0) t->speed = 0x10000;
  return true;
}

// --- Teardown, shared by MovieClose and the open's failure paths -------------
void Teardown(MovieState* m, void* block) {
  if (m->soundJoined || m->readerJoined) {
    std::lock_guard lock(serviceMutex);
    const uint32_t ended = ServiceThreadLeave(soundThread, readerThread,
                                              m->readerJoined ? &m->reader.serviceNode : nullptr,
                                              m->soundJoined ? &m->soundNode : nullptr, SERVICE_LEAVE_END_EMPTY);
    if (ended & 1) readerThread = nullptr;
    if (ended & 2) soundThread = nullptr;
    m->soundJoined = m->readerJoined = 0;
  }
  for (uint32_t k = 0; k < m->selectedCount; ++k) CloseTrack(m, k);
  m->selectedCount = 0;
  if (m->readerOpen) {
    m->reader.Close(&m->reader);
    m->readerOpen = 0;
  }
  Release(m, m->ringMemory, m->ringAllocSize);
  if (m->preloadOwned) Release(m, const_cast<uint8_t*>(m->preloaded), m->preloadSize);
  Release(m, m->frameBuffer, m->largestFrame);
  if (m->planes) Release(m, m->planes, 0);
  std::memset(static_cast<void*>(m), 0, sizeof(MovieState));
  LibraryRelease(block);
}

Movie* Fail(MovieState* m, void* block, IoReader* reader, bool readerOpen, ContainerStatus status) {
  MovieSetError(ContainerStatusText(status));
  if (m) {
    Teardown(m, block);
  } else if (readerOpen) {
    reader->Close(reader);
  }
  return nullptr;
}

Movie* Open(const void* source, uint32_t flags, uint64_t memorySize) {
  // 1.
  if (!(flags & OPEN_SOUND_TRACKS)) ResetPendingTracks();
  const uint32_t startTime = MovieTimeMs();
  MovieClearError();

  // 2. Source and header.
  const bool fromMemory = flags & OPEN_FROM_MEMORY;
  IoReader reader{};
  bool readerOpen = false;
  uint8_t head[kMovieHeaderSize] = {};
  if (fromMemory) {
    if (source == nullptr || memorySize < kMovieHeaderSize) return Fail(nullptr, nullptr, nullptr, false, ContainerStatus::NotTarn);
    std::memcpy(head, source, kMovieHeaderSize);
  } else {
    IoReaderOpenFn open = IoReaderOpen;
    if (flags & OPEN_CUSTOM_READER) {
      if (pending.readerOpen) open = pending.readerOpen;
      pending.readerOpen = nullptr;
    }
    if (!open(&reader, source, flags)) {
      if (MovieGetError()[0] == 0) MovieSetError("Error opening file.");
      return nullptr;
    }
    readerOpen = true;
    if (reader.ReadDirect(&reader, 0, head, kMovieHeaderSize) != kMovieHeaderSize) reader.error = 1;
  }

  // 3.
  const MovieHeader h = DecodeMovieHeader(head);
  if (reader.error) return Fail(nullptr, nullptr, &reader, readerOpen, ContainerStatus::NotTarn);
  if (const ContainerStatus s = CheckMovieHeader(h); s != ContainerStatus::Ok) {
    return Fail(nullptr, nullptr, &reader, readerOpen, s);
  }
  // What the source really holds bounds every size planned from the header, so
  // a header claiming more than the file has cannot make the open allocate
  // for it. Unknown for a substitute reader.
  uint64_t sourceBytes = fromMemory ? memorySize : UINT64_MAX;
  if (!fromMemory) {
    const int64_t n = IoReaderSourceBytes(&reader);
    if (n >= 0) sourceBytes = uint64_t(n);
  }
  // The table and index lie between the header and the first frame, inside the
  // movie; one that does not, or that has no entry for every frame, cannot be read.
  const uint64_t movieLength = MovieLength(h);
  const uint64_t indexEnd = FrameIndexOffset(h) + FrameIndexBytes(h);
  if (!IndexCoversFrames(h) || indexEnd > movieLength || indexEnd > sourceBytes) {
    return Fail(nullptr, nullptr, &reader, readerOpen, ContainerStatus::HeaderReadError);
  }
  if (h.width > kMaxPictureSide || h.height > kMaxPictureSide) {
    return Fail(nullptr, nullptr, &reader, readerOpen, ContainerStatus::OutOfMemory);
  }

  // 4. Movie flags and display mode.
  uint32_t mflags = (flags | (h.flags & HDR_GRAYSCALE)) & 0x8FFFFFFFu;
  if (!(h.flags & HDR_ALPHA)) mflags &= ~OPEN_ALPHA;
  const uint32_t asked = (flags & OPEN_DISPLAY_MASK) >> OPEN_DISPLAY_SHIFT;
  uint32_t mode = asked == DISPLAY_FORCE_NONE ? 0 : asked != 0 ? asked : (h.flags & HDR_DISPLAY_MODE) >> OPEN_DISPLAY_SHIFT;
  if (mode == DISPLAY_FORCE_NONE) mode = 0;
  mflags |= mode << OPEN_DISPLAY_SHIFT;
  mflags |= MovieRevisionFlags(h.magic);
  const bool doubleWidth = mode == 3 || mode == 4 || mode == 5;
  const bool doubleHeight = mode == 1 || mode == 2 || mode == 4 || mode == 5;
  const uint32_t outWidth = h.width * (doubleWidth ? 2 : 1);
  const uint32_t outHeight = h.height * (doubleHeight ? 2 : 1);

  // 5. Rate in force.
  uint32_t rateNum = h.rateNumerator, rateDen = h.rateDenominator;
  if ((flags & OPEN_FRAME_RATE) && pending.rateNumerator != kMovieUnset) {
    rateNum = pending.rateNumerator;
    rateDen = pending.rateDenominator;
    pending.rateNumerator = pending.rateDenominator = kMovieUnset;
  }
  const uint32_t r = RoundedFrameRate(h.rateNumerator, h.rateDenominator);
  const uint32_t blocksAcross = (h.width + 15) / 16;
  const uint64_t blockCount = uint64_t(blocksAcross) * ((uint64_t(outHeight) + 15) / 16);

  // 6. Plan.
  const uint32_t records = std::max<uint32_t>(pending.trackCount, 1);
  MemoryPlan plan(sizeof(MovieState));
  const int mapPiece = plan.Add(blockCount + 16);
  int historyPiece[kHistoryArrays];
  for (int& p : historyPiece) p = plan.Add(uint64_t(r) * 4);
  const int trackPiece = plan.Add(uint64_t(records) * sizeof(SoundTrack));
  const int selectedPiece = plan.Add(uint64_t(records) * 4);
  VideoWork work{};
  VideoWorkSizes(RoundUp(h.width, 16), work.sizes);
  int workPiece[kVideoBundleCount];
  for (int i = 0; i < kVideoBundleCount; ++i) workPiece[i] = plan.Add(std::max<uint32_t>(work.sizes[i], 1));
  const int tablePiece = fromMemory ? -1 : plan.Add(std::max<uint64_t>(TrackTableBytes(h), 1));
  const int indexPiece = fromMemory ? -1 : plan.Add(FrameIndexBytes(h));

  // 7. One block.
  if (plan.Failed()) return Fail(nullptr, nullptr, &reader, readerOpen, ContainerStatus::OutOfMemory);
  uint8_t* block = static_cast<uint8_t*>(LibraryAllocate(size_t(plan.Total())));
  if (!block) return Fail(nullptr, nullptr, &reader, readerOpen, ContainerStatus::OutOfMemory);
  std::memset(block, 0, size_t(plan.Total()));
  MovieState* m = new (block) MovieState{};
  m->memoryUsed = plan.Total();
  m->reader = reader;
  m->readerOpen = readerOpen;
  m->fromMemory = fromMemory;
  m->width = outWidth;
  m->height = outHeight;
  m->frameCount = h.frameCount;
  m->rateNumerator = rateNum;
  m->rateDenominator = rateDen;
  m->flags = mflags;
  m->headerFlags = h.flags;
  m->sizeMinus8 = h.sizeMinus8;
  m->dirtyRectCount = -1;
  m->headerWidth = h.width;
  m->headerHeight = h.height;
  m->displayMode = mode;
  m->blocksAcross = blocksAcross;
  m->blockCount = uint32_t(blockCount);
  m->quarterBlockCount = uint32_t(blockCount / 4);
  m->largestFrame = h.largestFrame;
  m->indexFrameCount = h.indexFrameCount;
  m->trackCount = h.trackCount;
  m->headerRateNumerator = h.rateNumerator;
  m->headerRateDenominator = h.rateDenominator;
  m->roundedRate = r;
  m->movieLength = movieLength;
  m->changeMap = plan.At(block, mapPiece);
  for (uint32_t i = 0; i < kHistoryArrays; ++i) m->history[i] = reinterpret_cast<uint32_t*>(plan.At(block, historyPiece[i]));
  m->tracks = reinterpret_cast<SoundTrack*>(plan.At(block, trackPiece));
  m->trackRecords = records;
  m->selected = reinterpret_cast<uint32_t*>(plan.At(block, selectedPiece));
  m->work = work;
  for (int i = 0; i < kVideoBundleCount; ++i) m->work.buffers[i] = plan.At(block, workPiece[i]);

  // 8. Track table and index.
  const uint32_t arrayBytes = h.trackCount * 4;  // within the movie, so below 2^32
  if (fromMemory) {
    const uint8_t* image = static_cast<const uint8_t*>(source);
    m->trackLargest = image + kMovieHeaderSize;
    m->preloaded = image;
    m->preloadOffset = 0;
    m->preloadSize = std::min(memorySize, movieLength);
    m->index = {image + FrameIndexOffset(h), h.indexFrameCount + 1};
  } else {
    uint8_t* table = plan.At(block, tablePiece);
    uint8_t* index = plan.At(block, indexPiece);
    for (uint32_t a = 0; a < 3 && arrayBytes; ++a) {
      if (m->reader.ReadDirect(&m->reader, kIoOffsetCurrent, table + a * arrayBytes, arrayBytes) != arrayBytes) {
        m->reader.error = 1;
      }
    }
    const uint32_t indexBytes = uint32_t(FrameIndexBytes(h));
    if (m->reader.ReadDirect(&m->reader, kIoOffsetCurrent, index, indexBytes) != indexBytes) m->reader.error = 1;
    if (m->reader.error) return Fail(m, block, nullptr, false, ContainerStatus::HeaderReadError);
    m->trackLargest = table;
    m->index = {index, h.indexFrameCount + 1};
  }
  m->trackRate = m->trackLargest + arrayBytes;
  m->trackIds = m->trackRate + arrayBytes;

  // 9.
  const IndexFacts facts = ComputeIndexFacts(m->index, h);
  m->peakAmount = facts.peakAmount;
  m->peakStart = facts.peakStart;
  m->allKeyFrames = facts.allKeyFrames;

  // 10.
  if (!(mflags & OPEN_NO_VIDEO_BUFFERS) && !BuildPlaneSet(m)) {
    return Fail(m, block, nullptr, false, ContainerStatus::OutOfMemory);
  }

  // 11. A ring larger than the source would never fill.
  uint32_t wanted = uint32_t(std::min<uint64_t>(m->peakAmount, sourceBytes));
  if ((flags & OPEN_READ_BUFFER_SIZE) && pending.readBufferSize != kMovieUnset) {
    wanted = pending.readBufferSize;
    pending.readBufferSize = kMovieUnset;
  }
  uint32_t speed = 0;
  if ((flags & OPEN_SIMULATE_RATE) && pending.simulateRate != kMovieUnset) {
    speed = pending.simulateRate;
    pending.simulateRate = kMovieUnset;
  }

  // 12. Buffers.
  const uint32_t reportedLength = uint32_t(std::min<uint64_t>(movieLength, UINT32_MAX));
  if (!fromMemory) {
    const uint32_t size = m->reader.BufferSizeFor(&m->reader, wanted);
    if (uint64_t(size) >= uint64_t(h.sizeMinus8) * 9 / 10) {
      flags |= OPEN_PRELOAD;
      m->flags |= OPEN_PRELOAD;
    }
    if (flags & OPEN_PRELOAD) {
      m->flags |= OPEN_PRELOAD;
      // Only what the file holds is preloaded: frames past its end are read
      // errors at their own frame, as for a cut image in memory.
      const uint64_t first = m->index.Offset(0);
      const uint64_t held = std::min(movieLength, sourceBytes);
      const uint64_t length = held > first ? held - first : 0;
      uint8_t* image = length ? static_cast<uint8_t*>(Allocate(m, length)) : nullptr;
      if (length && !image) return Fail(m, block, nullptr, false, ContainerStatus::OutOfMemory);
      m->preloaded = image;
      m->preloadOwned = image != nullptr;
      m->preloadOffset = first;
      m->preloadSize = length;
      m->reader.SetBuffer(&m->reader, nullptr, 0, reportedLength, speed);
      if (length && m->reader.ReadBuffered(&m->reader, 0, uint32_t(first), image, uint32_t(length)) != length) {
        m->reader.error = 1;
      }
      m->reader.Close(&m->reader);
      m->readerOpen = 0;
    } else {
      if (h.largestFrame) {
        m->frameBuffer = static_cast<uint8_t*>(Allocate(m, h.largestFrame));
        if (!m->frameBuffer) return Fail(m, block, nullptr, false, ContainerStatus::OutOfMemory);
      }
      m->ringMemory = static_cast<uint8_t*>(Allocate(m, size));
      m->ringAllocSize = m->ringMemory ? size : 0;
      m->reader.SetBuffer(&m->reader, m->ringMemory, m->ringAllocSize, reportedLength, speed);
    }
  }

  // 13.
  m->changeMap[m->blockCount] = 0;
  m->currentFrame = 0xFFFFFFFFu;
  m->twoFrameTime = rateNum ? uint32_t(uint64_t(2000) * rateDen / rateNum) : 2000;
  m->videoEnabled = 1;
  MovieReadFrame(m, 1);
  m->openTime = MovieTimeMs() - startTime;

  // 14. Track selection by id.
  for (uint32_t p = 0; p < pending.trackCount; ++p) {
    for (uint32_t t = 0; t < h.trackCount; ++t) {
      if (TrackWord(m->trackIds, t) == pending.trackIds[p]) {
        m->selected[m->selectedCount++] = t;
        break;
      }
    }
  }
  ResetPendingTracks();
  m->tracks[0].speed = 0x10000;

  // 15. Open each selected track; dropped ones close the gap.
  const SoundOpenRoutine open = SoundInstalledOpen();
  uint32_t kept = 0;
  for (uint32_t k = 0; k < m->selectedCount; ++k) {
    if (OpenTrack(m, kept, m->selected[k], open)) m->selected[kept++] = m->selected[k];
  }
  m->selectedCount = kept;
  if (kept < m->trackRecords) std::memset(static_cast<void*>(&m->tracks[kept]), 0, sizeof(SoundTrack) * (m->trackRecords - kept));
  if (m->tracks[0].speed == 0) m->tracks[0].speed = 0x10000;

  // 16. Sound thread.
  if (m->selectedCount) {
    m->soundPresent = 1;
    // The back-ends open their tracks switched on, so the movie starts with its
    // sound playing; otherwise MovieWait would hold every frame until a caller
    // switched sound on, which a plain player never does.
    m->soundPlaying = 1;
    if (!m->tracks[0].selfServiced) {
      m->soundJoined = JoinThread(&soundThread, kSoundThreadPriority, &m->soundNode, SoundUrgency, SoundService, m);
    }
  }

  // 17. Reader thread.
  const bool inMemory = MovieInMemory(m);
  if (!(flags & OPEN_NO_THREAD) && !inMemory) {
    m->readerJoined = JoinThread(&readerThread, kReaderThreadPriority, &m->reader.serviceNode, IoReaderNodeUrgency,
                                 IoReaderNodeService, &m->reader);
  }

  // 18.
  IoReaderUseNodeLock(&m->reader);

  // 19. Initial fill.
  if (!inMemory && !(flags & OPEN_NO_INITIAL_FILL)) {
    while (m->reader.FillChunk(&m->reader) != 0) {
    }
  }
  return m;
}

}  // namespace

void MovieServiceThreadsForTesting(ServiceThread** reader, ServiceThread** sound) {
  std::lock_guard lock(serviceMutex);
  if (reader) *reader = readerThread;
  if (sound) *sound = soundThread;
}

// --- Node locks -----------------------------------------------------------------
void MovieNodeLock(ServiceNode* node) { ServiceNodeLock(node); }
bool MovieNodeTryLock(ServiceNode* node) { return ServiceNodeTryLock(node) != 0; }
void MovieNodeUnlock(ServiceNode* node) { ServiceNodeUnlock(node); }

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
