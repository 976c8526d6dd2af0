#include "common/allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tarn {
namespace {

std::vector<void*> routineBlocks;
int releasedByRoutine = 0;
void* answer = nullptr;  // what TestAllocate returns when not null-fallback

void* TestAllocate(size_t size) {
  if (answer == kAllocFailed) return kAllocFailed;
  if (answer == nullptr) return nullptr;
  void* p = std::malloc(size + 7) ;  // odd offsets are fine: the allocator realigns
  routineBlocks.push_back(p);
  return static_cast<char*>(p) + 3;
}
void TestRelease(void* raw) {
  ++releasedByRoutine;
  std::free(static_cast<char*>(raw) - 3);
}

struct AllocatorReset {
  ~AllocatorReset() { MovieSetAllocator(nullptr, nullptr); }
};

TEST(Allocator, AlignsAndTagsEveryBlock) {
  AllocatorReset reset;
  for (size_t size : {1u, 31u, 32u, 33u, 4096u, 100000u}) {
    uint8_t* p = static_cast<uint8_t*>(LibraryAllocate(size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u) << size;
    EXPECT_GE(p[-1], 33);
    EXPECT_LE(p[-1], 64);
    EXPECT_EQ(LibraryAllocationTag(p), kAllocTagHeap);
    p[size - 1] = 0xAB;  // the whole size is usable (ASan checks the bound)
    LibraryRelease(p);
  }
  EXPECT_EQ(LibraryAllocate(0), nullptr);
  EXPECT_EQ(LibraryAllocate(SIZE_MAX), nullptr);
  EXPECT_EQ(LibraryAllocate(SIZE_MAX - 10), nullptr);  // would wrap with the header
  LibraryRelease(nullptr);
}

TEST(Allocator, InstalledRoutineRulesAndReleaseByTag) {
  AllocatorReset reset;
  releasedByRoutine = 0;
  MovieSetAllocator(TestAllocate, TestRelease);

  answer = reinterpret_cast<void*>(1);  // the routine supplies memory
  void* fromRoutine = LibraryAllocate(100);
  ASSERT_NE(fromRoutine, nullptr);
  EXPECT_EQ(LibraryAllocationTag(fromRoutine), kAllocTagInstalled);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(fromRoutine) % 32, 0u);

  answer = nullptr;  // null falls back to the heap
  void* fromHeap = LibraryAllocate(100);
  ASSERT_NE(fromHeap, nullptr);
  EXPECT_EQ(LibraryAllocationTag(fromHeap), kAllocTagHeap);

  answer = kAllocFailed;  // -1 fails the allocation outright
  EXPECT_EQ(LibraryAllocate(100), nullptr);

  // A block keeps its own release routine even after the routines change.
  MovieSetAllocator(nullptr, nullptr);
  LibraryRelease(fromRoutine);
  EXPECT_EQ(releasedByRoutine, 1);
  LibraryRelease(fromHeap);
  EXPECT_EQ(releasedByRoutine, 1);
}

}  // namespace
}  // namespace tarn
