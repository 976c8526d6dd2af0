// IoReader: the movie's reader. A record with its seven operations at the head,
// so a caller may install another implementation (MovieSetReaderOpen). The file
// reader keeps a ring of 128 KB slots that match 128 KB-aligned file positions;
// the ring may be filled from the reader service thread or from idle time.
#pragma once

#include <atomic>
#include <cstdint>

#include "io/service_thread.h"
#include "platform/file.h"

namespace tarn {

struct IoReader;

inline constexpr uint32_t kIoChunk = 0x20000;  // one ring slot, 128 KB

// The operations, in slot order. Every one takes the reader first.
using IoReadDirectFn = uint32_t (*)(IoReader* r, uint32_t offset, void* dst, uint32_t count);
using IoReadBufferedFn = uint32_t (*)(IoReader* r, uint32_t frameIndex, uint32_t offset, void* dst,
                                      uint32_t count);
using IoBufferSizeForFn = uint32_t (*)(IoReader* r, uint32_t wanted);
using IoSetBufferFn = void (*)(IoReader* r, void* memory, uint32_t size, uint32_t movieLength,
                               uint32_t simulatedSpeed);
using IoFillChunkFn = int32_t (*)(IoReader* r);  // bytes read, 0 nothing to do, -1 lock busy
using IoCloseFn = void (*)(IoReader* r);
using IoSuspendFn = uint32_t (*)(IoReader* r, int32_t request);

inline constexpr uint32_t kIoOffsetCurrent = 0xFFFFFFFFu;  // "at the current position"

// Hooks installed by the movie open; any may be null.
struct IoReaderHooks {
  void (*lock)(void* context) = nullptr;
  bool (*tryLock)(void* context) = nullptr;
  void (*unlock)(void* context) = nullptr;
  void (*yield)(void* context) = nullptr;
  void* context = nullptr;
};

struct IoReader {
  // Operations, in this order.
  IoReadDirectFn ReadDirect;
  IoReadBufferedFn ReadBuffered;
  IoBufferSizeForFn BufferSizeFor;
  IoSetBufferFn SetBuffer;
  IoFillChunkFn FillChunk;
  IoCloseFn Close;
  IoSuspendFn Suspend;

  // State. held and freeBytes change only by atomic adds (std::atomic_ref), so
  // the playback thread may read held without the lock. Fields that another
  // thread reads without the lock (error, busy, held, target, the times and
  // highWater) are accessed through atomic_ref: read them with IoReaderLoad.
  // The rest belongs to whoever holds the reader lock.
  uint32_t error;
  uint32_t busy;
  uint32_t bytesRead;
  uint32_t backgroundMode;
  uint32_t readTime;
  uint32_t bufferedReadTime;
  uint32_t idleReadTime;
  uint32_t backgroundReadTime;
  uint32_t ringSize;
  uint32_t highWater;
  uint32_t target;
  uint32_t held;
  uint32_t suspended;
  File* handle;  // owned by the reader; not closed when notOwned
  uint32_t filePosition;
  uint32_t consumerPosition;
  uint8_t* readPointer;
  uint32_t freeBytes;
  uint8_t* ringStart;
  uint8_t* ringEnd;
  uint8_t* writePointer;
  uint32_t notOwned;
  uint32_t baseOffset;
  uint32_t movieLength;
  uint32_t simulatedSpeed;
  int32_t throttleDebt;
  IoReaderHooks hooks;
  ServiceNode serviceNode;
  void* custom;  // free for a substitute reader's own state
};

// source is a file name, or with OPEN_FILE_HANDLE (0x800000) in flags a file
// descriptor (cast through intptr_t) positioned at the movie's first byte.
using IoReaderOpenFn = int (*)(IoReader* r, const void* source, uint32_t flags);

// The file reader. Zero-fills the record; 1 on success, 0 on failure.
int IoReaderOpen(IoReader* r, const void* source, uint32_t flags);

// Bytes the file reader's source holds from the movie's first byte on; -1 when
// that is unknown (a substitute reader, or a file without a size). The open
// bounds what it plans from the header by it.
int64_t IoReaderSourceBytes(const IoReader* r);

// Lock-free access to a reader field that another thread may be changing
// (held, target, error, busy, the times): IoReaderLoad(r->held).
inline uint32_t IoReaderLoad(uint32_t& field) {
  return std::atomic_ref<uint32_t>(field).load(std::memory_order_acquire);
}
inline void IoReaderStore(uint32_t& field, uint32_t value) {
  std::atomic_ref<uint32_t>(field).store(value, std::memory_order_release);
}

// Installs the hooks over the reader's own service node: lock waits for the
// node's mutex, try-lock takes it only when free, unlock releases it, yield
// gives up the processor. A node that never joined a thread has no mutex, and
// then the hooks lock nothing and always succeed.
void IoReaderUseNodeLock(IoReader* r);

// Reader-node callbacks for ServiceThreadJoin; the node's owner is the IoReader.
// Urgency: below half of target the complement of the fill percentage (the
// emptier, the more urgent; serviced again within a pass until half full);
// otherwise once per pass, least recently serviced first. A node whose fill
// made no progress in a pass (error, suspended, lock busy) waits for the next.
uint32_t IoReaderNodeUrgency(ServiceNode* node, uint32_t pass);
// One FillChunk in background mode.
void IoReaderNodeService(ServiceNode* node, uint32_t pass);

}  // namespace tarn
