// Aligned allocation with an owner tag in front of each block; see allocator.h.
#include "common/allocator.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/input_limits.h"

namespace tarn {
namespace {

constexpr size_t kHeaderBytes = 64;

struct InstalledRoutines {
  AllocateRoutine allocate = nullptr;
  ReleaseRoutine release = nullptr;
};

std::mutex routinesMutex;  // guards routines
InstalledRoutines routines;

// The private heap. On this platform the C heap is already private to the
// process and grows on demand, so the heap object is a thin counter of live
// blocks that exists from the first allocation on.
struct PrivateHeap {
  std::atomic<uint64_t> liveBlocks{0};
  void* Allocate(size_t n) {
    void* p = std::malloc(n);
    if (p) liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return p;
  }
  void Release(void* p) {
    liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
  }
};

PrivateHeap& Heap() {
  static PrivateHeap heap;  // created on first use
  return heap;
}

uint8_t* Place(uint8_t* raw, uint8_t tag, ReleaseRoutine release) {
  const size_t distance = kHeaderBytes - reinterpret_cast<uintptr_t>(raw) % 32;  // 33..64
  uint8_t* p = raw + distance;
  p[-1] = uint8_t(distance);
  p[-2] = tag;
  if (tag == kAllocTagInstalled) std::memcpy(p - 2 - sizeof release, &release, sizeof release);
  return p;
}

}  // namespace

void MovieSetAllocator(AllocateRoutine allocate, ReleaseRoutine release) {
  std::lock_guard lock(routinesMutex);
  routines = {allocate, release};
}

void* LibraryAllocate(size_t size) {
  if (size == 0 || size == SIZE_MAX) return nullptr;
  if (size > kMaxAllocation) return nullptr;
  const size_t total = size + kHeaderBytes;
  InstalledRoutines r;
  {
    std::lock_guard lock(routinesMutex);
    r = routines;
  }
  if (r.allocate && r.release) {
    void* raw = r.allocate(total);
    if (raw == kAllocFailed) return nullptr;
    if (raw) return Place(static_cast<uint8_t*>(raw), kAllocTagInstalled, r.release);
  }
  void* raw = Heap().Allocate(total);
  if (!raw) return nullptr;
  return Place(static_cast<uint8_t*>(raw), kAllocTagHeap, nullptr);
}

void LibraryRelease(void* block) {
  if (!block) return;
  uint8_t* p = static_cast<uint8_t*>(block);
  uint8_t* raw = p - p[-1];
  if (p[-2] == kAllocTagInstalled) {
    ReleaseRoutine release;
    std::memcpy(&release, p - 2 - sizeof release, sizeof release);
    release(raw);
  } else {
    Heap().Release(raw);
  }
}

uint8_t LibraryAllocationTag(const void* block) { return static_cast<const uint8_t*>(block)[-2]; }

}  // namespace tarn
