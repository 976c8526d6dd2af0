// The file reader: direct reads while the movie opens, then a ring of 128 KB
// slots at 128 KB-aligned file positions, filled by FillChunk from the service
// thread or from idle time. The ring memory is the caller's; nothing is written
// outside [ringStart, ringEnd) or beyond a destination's count.
#include "io/io_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/allocator.h"
#include "common/movie_time.h"
#include "common/clock.h"
#include "platform/file.h"
#include "platform/thread.h"

namespace tarn {
namespace {

constexpr uint32_t kOpenFileHandle = 0x00800000;  // OPEN_FILE_HANDLE of the movie open flags
constexpr uint32_t kRingAlign = 4096;

std::atomic_ref<uint32_t> Atomic(uint32_t& field) { return std::atomic_ref<uint32_t>(field); }

void AddStat(uint32_t& field, uint32_t v) { Atomic(field).fetch_add(v, std::memory_order_relaxed); }

void Lock(IoReader* r) {
  if (r->hooks.lock) r->hooks.lock(r->hooks.context);
}
void Unlock(IoReader* r) {
  if (r->hooks.unlock) r->hooks.unlock(r->hooks.context);
}

// Bytes of the movie after pos; 0 when pos is at or past the end.
uint32_t BytesAfter(const IoReader* r, uint32_t pos) { return pos < r->movieLength ? r->movieLength - pos : 0; }

void SetTarget(IoReader* r, uint32_t value) { Atomic(r->target).store(value, std::memory_order_release); }

// The throttle of a simulated slow device: after n bytes read from t0, the
// read is made to last n * 1000 / speed ms, carrying any surplus to the next
// read as a negative debt.
void Throttle(IoReader* r, uint32_t n, uint32_t t0) {
  if (r->simulatedSpeed == 0) return;
  const uint64_t owed = uint64_t(n) * 1000 / r->simulatedSpeed;
  const uint32_t mark = MovieTimeMs();
  int64_t debt = int64_t(r->throttleDebt) + int64_t(owed) - int64_t(uint32_t(mark - t0));
  if (debt > 0) {
    // 1 ms steps: fine enough for the average, and a driven test clock moves.
    while (int64_t(uint32_t(MovieTimeMs() - mark)) < debt) SleepMs(1);
    debt -= int64_t(uint32_t(MovieTimeMs() - mark));
  }
  r->throttleDebt = int32_t(std::clamp<int64_t>(debt, INT32_MIN, INT32_MAX));
}

// Empties the ring: everything held is dropped and both pointers restart.
void Flush(IoReader* r) {
  Atomic(r->freeBytes).store(r->ringSize, std::memory_order_release);
  Atomic(r->held).store(0, std::memory_order_release);
  r->readPointer = r->writePointer = r->ringStart;
}

// Reads count bytes at the file position straight into dst. A short read sets
// error. Advances the file position; the caller moves the consumer position.
uint32_t ReadFromFile(IoReader* r, void* dst, uint32_t count) {
  const int64_t got = r->handle ? r->handle->Read(dst, count) : -1;
  const uint32_t n = got > 0 ? uint32_t(got) : 0;
  if (n < count) IoReaderStore(r->error, 1);
  r->filePosition += n;
  return n;
}

// Moves the file to movie offset; false (and error set) when the seek fails.
bool SeekTo(IoReader* r, uint32_t offset) {
  if (!r->handle || !r->handle->Seek(int64_t(r->baseOffset) + offset)) {
    IoReaderStore(r->error, 1);
    return false;
  }
  r->filePosition = offset;
  return true;
}

uint32_t FileReadDirect(IoReader* r, uint32_t offset, void* dst, uint32_t count) {
  Lock(r);
  // Direct reads bypass the ring; whatever it held no longer matches the
  // positions, so it is dropped.
  if (r->ringSize != 0) Flush(r);
  uint32_t got = 0;
  if (offset == kIoOffsetCurrent || offset == r->filePosition || SeekTo(r, offset)) {
    got = ReadFromFile(r, dst, count);
  }
  r->consumerPosition = r->filePosition;
  SetTarget(r, std::min(r->ringSize, BytesAfter(r, r->consumerPosition)));
  Unlock(r);
  return got;
}

// Copies up to count held bytes from the read pointer; returns the bytes copied.
uint32_t CopyFromRing(IoReader* r, uint8_t*& dst, uint32_t& count) {
  const uint32_t c = std::min(Atomic(r->held).load(std::memory_order_acquire), count);
  if (c == 0) return 0;
  const uint32_t toEnd = uint32_t(r->ringEnd - r->readPointer);
  if (c < toEnd) {
    std::memcpy(dst, r->readPointer, c);
    r->readPointer += c;
  } else {
    std::memcpy(dst, r->readPointer, toEnd);
    std::memcpy(dst + toEnd, r->ringStart, c - toEnd);
    r->readPointer = r->ringStart + (c - toEnd);
  }
  Atomic(r->held).fetch_sub(c, std::memory_order_acq_rel);
  Atomic(r->freeBytes).fetch_add(c, std::memory_order_acq_rel);
  r->consumerPosition += c;
  dst += c;
  count -= c;
  return c;
}

uint32_t FileReadBuffered(IoReader* r, uint32_t /*frameIndex*/, uint32_t offset, void* dstVoid, uint32_t count) {
  if (IoReaderLoad(r->error)) return 0;
  const uint32_t start = MovieTimeMs();
  uint8_t* dst = static_cast<uint8_t*>(dstVoid);
  bool locked = false;
  uint32_t delivered = 0;

  if (offset != kIoOffsetCurrent && offset != r->consumerPosition) {
    Lock(r);
    locked = true;
    if (offset > r->consumerPosition && offset <= r->filePosition) {
      // Inside the data already read: drop the bytes in between.
      const uint32_t skipped = offset - r->consumerPosition;
      r->consumerPosition = offset;
      Atomic(r->freeBytes).fetch_add(skipped, std::memory_order_acq_rel);
      Atomic(r->held).fetch_sub(skipped, std::memory_order_acq_rel);
      if (r->ringSize != 0) {  // skipped <= held <= ringSize
        const uint32_t toEnd = uint32_t(r->ringEnd - r->readPointer);
        r->readPointer = skipped < toEnd ? r->readPointer + skipped : r->ringStart + (skipped - toEnd);
      }
    } else {
      Flush(r);
      if (SeekTo(r, offset)) r->consumerPosition = offset;
    }
  }

  if (!IoReaderLoad(r->error)) {
    delivered += CopyFromRing(r, dst, count);
    if (count > 0 && !locked) {
      Lock(r);  // a fill may have added data meanwhile
      locked = true;
      delivered += CopyFromRing(r, dst, count);
    }
    if (count > 0) {
      // The ring is empty, so the file position is the consumer position:
      // read exactly the missing bytes.
      const uint32_t t0 = MovieTimeMs();
      const uint32_t got = ReadFromFile(r, dst, count);
      r->consumerPosition += got;
      AddStat(r->bytesRead, got);
      delivered += got;
      Throttle(r, got, t0);
      AddStat(r->readTime, MovieTimeMs() - t0);
    }
  }

  AddStat(r->bufferedReadTime, MovieTimeMs() - start);
  const uint32_t held = Atomic(r->held).load(std::memory_order_acquire);
  uint32_t target = std::min(r->ringSize, BytesAfter(r, r->consumerPosition));
  if (uint64_t(held) + kIoChunk > target) target = held;
  SetTarget(r, target);
  if (locked) Unlock(r);
  return delivered;
}

uint32_t FileBufferSizeFor(IoReader* /*r*/, uint32_t wanted) {
  const uint64_t chunks = (uint64_t(wanted) + (kIoChunk - 1)) & ~uint64_t(kIoChunk - 1);
  const uint64_t size = chunks | kRingAlign;
  return size > UINT32_MAX ? 0xFFFE1000u : uint32_t(size);  // the largest such size
}

void FileSetBuffer(IoReader* r, void* memory, uint32_t size, uint32_t movieLength, uint32_t simulatedSpeed) {
  Lock(r);
  uint32_t usable = 0;
  uint8_t* start = nullptr;
  if (memory != nullptr && size != 0) {
    const uintptr_t raw = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t skip = (kRingAlign - raw % kRingAlign) % kRingAlign;
    start = static_cast<uint8_t*>(memory) + skip;
    // The alignment uses part of the memory: the ring never runs past its end.
    usable = size > skip ? uint32_t(size - skip) & ~(kIoChunk - 1) : 0;
  }
  r->ringStart = start;
  r->ringSize = usable;
  r->ringEnd = start ? start + usable : nullptr;
  r->movieLength = movieLength;
  r->simulatedSpeed = simulatedSpeed;
  Flush(r);
  SetTarget(r, std::min(r->ringSize, BytesAfter(r, r->consumerPosition)));
  Unlock(r);
}

int32_t FileFillChunk(IoReader* r) {
  if (IoReaderLoad(r->error) || IoReaderLoad(r->suspended)) return 0;
  if (!r->hooks.tryLock || !r->hooks.tryLock(r->hooks.context)) {
    if (r->hooks.yield) r->hooks.yield(r->hooks.context);
    return -1;
  }
  const bool background = IoReaderLoad(r->backgroundMode) != 0;
  const uint32_t remaining = BytesAfter(r, r->filePosition);
  uint32_t got = 0;
  if (Atomic(r->freeBytes).load(std::memory_order_acquire) < kIoChunk || remaining == 0 || r->ringSize == 0) {
    SetTarget(r, Atomic(r->held).load(std::memory_order_acquire));
  } else {
    const uint32_t t0 = MovieTimeMs();
    // After a flush the file position may lie inside a slot: read only to the
    // slot's end, at the matching place in the slot, so that the ring slots
    // keep matching 128 KB-aligned file positions.
    const uint32_t misalign = r->filePosition % kIoChunk;
    // The read pointer belongs to the consumer while the ring holds data; a
    // misaligned position only follows a flush or a direct read, which leave
    // the ring empty, so only then is it moved (writing it otherwise, even by
    // 0, would race with a copy from the ring).
    const uint32_t n = std::min(kIoChunk - misalign, remaining);
    if (misalign != 0) r->readPointer += misalign;
    IoReaderStore(r->busy, 1);
    got = ReadFromFile(r, r->writePointer + misalign, n);
    IoReaderStore(r->busy, 0);
    AddStat(r->bytesRead, got);
    r->writePointer += kIoChunk;
    if (r->writePointer >= r->ringEnd) r->writePointer = r->ringStart;
    Atomic(r->freeBytes).fetch_sub(got, std::memory_order_acq_rel);
    const uint32_t held = Atomic(r->held).fetch_add(got, std::memory_order_acq_rel) + got;
    if (held > IoReaderLoad(r->highWater)) IoReaderStore(r->highWater, held);
    Throttle(r, got, t0);
    const uint32_t spent = MovieTimeMs() - t0;
    AddStat(r->readTime, spent);
    AddStat(background || IoReaderLoad(r->backgroundMode) ? r->backgroundReadTime : r->idleReadTime, spent);
  }
  Unlock(r);
  return int32_t(got);
}

void FileClose(IoReader* r) {
  Lock(r);
  if (r->handle) {
    r->handle->~File();  // closes the descriptor unless it was adopted
    LibraryRelease(r->handle);
    r->handle = nullptr;
  }
  Unlock(r);
}

uint32_t FileSuspend(IoReader* r, int32_t request) {
  const uint32_t bits = uint32_t(request);
  if (bits & 1) {
    IoReaderStore(r->suspended, 1);
    if (request < 0) {
      Lock(r);  // waits for a fill in progress to finish
      Unlock(r);
    }
  } else if (bits & 2) {
    IoReaderStore(r->suspended, 0);
    if (request < 0) (void)r->FillChunk(r);
  }
  return IoReaderLoad(r->suspended);
}

void HookLock(void* context) { ServiceNodeLock(static_cast<ServiceNode*>(context)); }
bool HookTryLock(void* context) { return ServiceNodeTryLock(static_cast<ServiceNode*>(context)) != 0; }
void HookUnlock(void* context) { ServiceNodeUnlock(static_cast<ServiceNode*>(context)); }
void HookYield(void*) { SleepMs(0); }

}  // namespace

int IoReaderOpen(IoReader* r, const void* source, uint32_t flags) {
  if (r == nullptr) return 0;
  std::memset(static_cast<void*>(r), 0, sizeof(*r));
  void* mem = LibraryAllocate(sizeof(File));
  if (mem == nullptr) return 0;
  File* file = new (mem) File();
  if (flags & kOpenFileHandle) {
    const intptr_t fd = reinterpret_cast<intptr_t>(source);
    file->Adopt(int(fd));
    const int64_t pos = fd >= 0 ? file->Tell() : -1;
    if (pos < 0 || pos > int64_t(UINT32_MAX)) {
      file->~File();
      LibraryRelease(mem);
      return 0;
    }
    r->baseOffset = uint32_t(pos);
    r->notOwned = 1;
  } else if (source == nullptr || !file->Open(static_cast<const char*>(source))) {
    file->~File();
    LibraryRelease(mem);
    return 0;
  }
  r->handle = file;
  r->ReadDirect = FileReadDirect;
  r->ReadBuffered = FileReadBuffered;
  r->BufferSizeFor = FileBufferSizeFor;
  r->SetBuffer = FileSetBuffer;
  r->FillChunk = FileFillChunk;
  r->Close = FileClose;
  r->Suspend = FileSuspend;
  return 1;
}

int64_t IoReaderSourceBytes(const IoReader* r) {
  if (r == nullptr || r->ReadDirect != FileReadDirect || r->handle == nullptr) return -1;
  const int64_t size = r->handle->Size();
  if (size < 0) return -1;
  return size > int64_t(r->baseOffset) ? size - int64_t(r->baseOffset) : 0;
}

void IoReaderUseNodeLock(IoReader* r) {
  r->hooks.lock = HookLock;
  r->hooks.tryLock = HookTryLock;
  r->hooks.unlock = HookUnlock;
  r->hooks.yield = HookYield;
  r->hooks.context = &r->serviceNode;
}

uint32_t IoReaderNodeUrgency(ServiceNode* node, uint32_t pass) {
  IoReader* r = static_cast<IoReader*>(node->owner);
  const uint64_t held = IoReaderLoad(r->held);
  const uint64_t target = IoReaderLoad(r->target);
  const uint64_t p = (held + 1) * 100 / (target + 1);
  if (p < 50 && node->stalledPass != pass) return 0xFFFFFFFFu - uint32_t(p);
  if (node->lastServicedPass == pass) return 0;
  return 0x80000000u - node->lastServicedPass;
}

void IoReaderNodeService(ServiceNode* node, uint32_t pass) {
  IoReader* r = static_cast<IoReader*>(node->owner);
  IoReaderStore(r->backgroundMode, 1);
  const int32_t got = r->FillChunk(r);
  IoReaderStore(r->backgroundMode, 0);
  if (got <= 0) node->stalledPass = pass;
  node->lastServicedPass = pass;
}

}  // namespace tarn
