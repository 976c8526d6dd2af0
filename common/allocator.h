// The library's allocator. Every block is 32-byte aligned and carries a small
// header in front of it: the byte at p[-1] is the distance back to the raw
// start (33..64), p[-2] the owner tag, and for blocks from a caller-installed
// routine the pointer-sized slot before the tag holds the matching release.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

// A caller's allocate routine: returns the memory, nullptr to fall back to the
// library's own heap, or kAllocFailed to make the allocation fail.
using AllocateRoutine = void* (*)(size_t size);
using ReleaseRoutine = void (*)(void* block);

inline void* const kAllocFailed = reinterpret_cast<void*>(~uintptr_t(0));

inline constexpr uint8_t kAllocTagHeap = 0;
inline constexpr uint8_t kAllocTagInstalled = 3;

// Installs (or, with nullptrs, removes) the caller's routines for later allocations.
// Blocks already handed out keep the release routine they were made with.
void MovieSetAllocator(AllocateRoutine allocate, ReleaseRoutine release);

// Size 0 or SIZE_MAX gives nullptr, as does a failed allocation or one whose
// size plus the 64-byte header would overflow or exceed the library's cap.
[[nodiscard]] void* LibraryAllocate(size_t size);

// Releases a block from LibraryAllocate; nullptr is ignored.
void LibraryRelease(void* block);

// Owner tag of a live block (for tests).
uint8_t LibraryAllocationTag(const void* block);

}  // namespace tarn
