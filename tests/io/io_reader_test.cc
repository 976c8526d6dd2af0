#include "io/io_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "common/movie_time.h"
#include "platform/fake/fake_clock.h"
#include "tests/io/io_test_file.h"

namespace tarn {
namespace {

constexpr uint32_t kChunk = 0x20000;
constexpr uint32_t kOpenFileHandle = 0x00800000;

// A reader over a pattern file with a ring of `slots` 128 KB slots placed at
// a deliberately unaligned address inside its memory.
struct ReaderFixture {
  ReaderFixture(uint32_t fileSize, uint32_t slots, uint32_t movieLength = 0, uint32_t speed = 0)
      : file(fileSize) {
    EXPECT_EQ(IoReaderOpen(&r, file.path(), 0), 1);
    IoReaderUseNodeLock(&r);
    const uint32_t size = slots ? r.BufferSizeFor(&r, slots * kChunk) : 0;
    memory.resize(size + 64);
    r.SetBuffer(&r, memory.data() + 7, size, movieLength ? movieLength : fileSize, speed);
  }
  ~ReaderFixture() { r.Close(&r); }

  // Reads through the ring and checks the bytes against the file.
  uint32_t Read(uint32_t offset, uint32_t count) {
    std::vector<uint8_t> dst(count);
    const uint32_t at = offset == kIoOffsetCurrent ? r.consumerPosition : offset;
    const uint32_t got = r.ReadBuffered(&r, 0, offset, dst.data(), count);
    EXPECT_TRUE(MatchesPattern(dst.data(), got, at)) << "read " << count << " at " << at;
    return got;
  }
  void FillSlots(int n) {
    for (int i = 0; i < n; ++i) ASSERT_GT(r.FillChunk(&r), 0);
  }
  // Ring bookkeeping that must hold between calls.
  void ExpectConsistent() const {
    EXPECT_EQ(r.held, r.filePosition - r.consumerPosition);
    EXPECT_EQ(r.held + r.freeBytes, r.ringSize);
  }

  TempPatternFile file;
  std::vector<uint8_t> memory;
  IoReader r;
};

TEST(IoReader, BufferSizeForRoundsToChunksPlusAlignSlack) {
  IoReader r{};
  ASSERT_EQ(IoReaderOpen(&r, "/dev/null", 0), 1);
  const struct {
    uint32_t wanted, size;
  } cases[] = {{1, 0x21000}, {0x20000, 0x21000}, {0x20001, 0x41000}, {0x7FFFFF, 0x801000}, {0xFFFFFFFF, 0xFFFE1000}};
  for (const auto& c : cases) EXPECT_EQ(r.BufferSizeFor(&r, c.wanted), c.size) << std::hex << c.wanted;
  r.Close(&r);
}

TEST(IoReader, RingStartsAlignedAndStaysInsideItsMemory) {
  ReaderFixture f(kChunk * 4, 3);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f.r.ringStart) % 4096, 0u);
  EXPECT_EQ(f.r.ringSize, 3 * kChunk);
  EXPECT_LE(f.r.ringEnd, f.memory.data() + 7 + f.r.BufferSizeFor(&f.r, 3 * kChunk));

  // A size without slack loses a slot rather than running past the memory.
  std::vector<uint8_t> tight(2 * kChunk + 1);
  uint8_t* unaligned = tight.data() + (4096 - reinterpret_cast<uintptr_t>(tight.data()) % 4096) % 4096 + 1;
  f.r.SetBuffer(&f.r, unaligned, 2 * kChunk, kChunk * 4, 0);
  EXPECT_EQ(f.r.ringSize, kChunk);
}

// Seeking within what was read only discards bytes; any other seek flushes
// the ring and the next bytes come straight from the file.
TEST(IoReader, SeekSkipsForwardInsideRingAndFlushesOtherwise) {
  const struct {
    const char* name;
    uint32_t offset;
    bool flushes;
  } cases[] = {
      {"forward inside", 0x1000, false},
      {"up to the end of the data", 2 * kChunk - 64, false},
      {"forward across a slot", kChunk + 5, false},
      {"backward", 10, true},
      {"beyond the data", 2 * kChunk + 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderFixture f(8 * kChunk, 4);
    f.FillSlots(2);
    f.Read(0, 100);
    const uint32_t readBefore = f.r.bytesRead;
    const uint32_t heldBefore = f.r.held;
    EXPECT_EQ(f.Read(c.offset, 64), 64u);
    if (c.flushes) {
      EXPECT_EQ(f.r.held, 0u);
      EXPECT_EQ(f.r.bytesRead, readBefore + 64);
    } else {
      EXPECT_EQ(f.r.bytesRead, readBefore) << "a skip must not touch the file";
      EXPECT_EQ(f.r.held, heldBefore - (c.offset - 100) - 64);
    }
    f.ExpectConsistent();
    // The ring keeps serving correct data after the seek.
    f.FillSlots(1);
    f.Read(kIoOffsetCurrent, kChunk);
    f.ExpectConsistent();
  }
}

TEST(IoReader, ShortRingIsTopedUpByADirectReadOfExactlyTheMissingBytes) {
  ReaderFixture f(8 * kChunk, 4);
  f.FillSlots(1);
  EXPECT_EQ(f.Read(0, kChunk + 500), kChunk + 500);
  EXPECT_EQ(f.r.bytesRead, kChunk + 500u);
  EXPECT_EQ(f.r.filePosition, kChunk + 500u);
  // The next fill reads to the slot boundary only, into the matching place.
  EXPECT_EQ(f.r.FillChunk(&f.r), int32_t(kChunk - 500));
  EXPECT_EQ(f.r.filePosition, 2 * kChunk);
  EXPECT_EQ(f.Read(kIoOffsetCurrent, kChunk), kChunk);  // rest of the ring, then direct
  f.ExpectConsistent();
}

TEST(IoReader, RingOfSizeZeroReadsEverythingDirect) {
  ReaderFixture f(3 * kChunk, 0);
  EXPECT_EQ(f.r.FillChunk(&f.r), 0);
  EXPECT_EQ(f.Read(0, 1000), 1000u);
  EXPECT_EQ(f.Read(5000, kChunk), kChunk);
  EXPECT_EQ(f.r.bytesRead, 1000 + kChunk);
  EXPECT_EQ(f.r.held, 0u);
}

TEST(IoReader, TargetDropsToHeldWhenLessThanAChunkOfRoomRemains) {
  ReaderFixture f(16 * kChunk, 4);
  f.FillSlots(3);
  f.Read(0, 10);
  EXPECT_EQ(f.r.target, 4 * kChunk);  // room for a whole chunk remains
  f.FillSlots(1);
  EXPECT_EQ(f.r.FillChunk(&f.r), 0);  // no free slot
  EXPECT_EQ(f.r.target, f.r.held);
  f.Read(kIoOffsetCurrent, 10);
  EXPECT_EQ(f.r.target, f.r.held);
  EXPECT_EQ(f.r.highWater, 4 * kChunk - 10);

  // Near the end of the movie the target is what is left of it.
  f.Read(14 * kChunk, 1);
  EXPECT_EQ(f.r.target, 2 * kChunk - 1);
}

// Random seeks, skips and fills on a movie whose length is not a whole number
// of slots: every byte delivered must be the file's, and the ring's counts
// must stay consistent. Catches wrap and misalignment faults, including a
// flush to an unaligned offset in the movie's last slot.
TEST(IoReader, RandomAccessDeliversTheFileBytes) {
  const uint32_t length = 6 * kChunk + 777;
  ReaderFixture f(length, 3);
  const uint32_t seed = 20261208;
  std::mt19937 rng(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  for (int step = 0; step < 400 && !f.r.error; ++step) {
    const uint32_t op = rng() % 8;
    if (op < 3) {
      while (f.r.FillChunk(&f.r) > 0 && rng() % 2) {
      }
    } else {
      uint32_t offset = kIoOffsetCurrent;
      if (op == 3) offset = rng() % length;
      if (op == 4) offset = length - 1 - rng() % 300;
      if (op == 5) offset = f.r.consumerPosition + rng() % (f.r.held + 1);
      const uint32_t at = offset == kIoOffsetCurrent ? f.r.consumerPosition : offset;
      const uint32_t count = std::min<uint32_t>(1 + rng() % (kChunk + kChunk / 2), length - at);
      ASSERT_EQ(f.Read(offset, count), count) << "step " << step;
    }
    f.ExpectConsistent();
  }
  EXPECT_EQ(f.r.error, 0u);
}

TEST(IoReader, ShortReadSetsTheErrorForGood) {
  ReaderFixture f(kChunk + 100, 4, /*movieLength=*/3 * kChunk);
  f.FillSlots(1);
  EXPECT_EQ(f.r.FillChunk(&f.r), 100);
  EXPECT_EQ(f.r.error, 1u);
  EXPECT_EQ(f.r.FillChunk(&f.r), 0);
  uint8_t dst[16];
  EXPECT_EQ(f.r.ReadBuffered(&f.r, 0, 0, dst, 16), 0u);
}

TEST(IoReader, SuspendStopsFillingAndResumeCanFillAtOnce) {
  ReaderFixture f(8 * kChunk, 4);
  EXPECT_EQ(f.r.Suspend(&f.r, 1), 1u);
  EXPECT_EQ(f.r.FillChunk(&f.r), 0);
  EXPECT_EQ(f.r.Suspend(&f.r, 0), 1u);  // report only
  EXPECT_EQ(f.r.Suspend(&f.r, int32_t(0x80000002u)), 0u);
  EXPECT_EQ(f.r.bytesRead, kChunk);
}

TEST(IoReader, FillWithoutTryLockHookYieldsAndReportsBusy) {
  ReaderFixture f(2 * kChunk, 2);
  static int yields;
  yields = 0;
  f.r.hooks.tryLock = [](void*) { return false; };
  f.r.hooks.yield = [](void*) { ++yields; };
  EXPECT_EQ(f.r.FillChunk(&f.r), -1);
  EXPECT_EQ(yields, 1);
  f.r.hooks = {};
  EXPECT_EQ(f.r.FillChunk(&f.r), -1);
}

// A movie inside another file: the descriptor's position at open is the
// movie's start, and closing the reader leaves the descriptor to its owner.
TEST(IoReader, DescriptorOpenReadsRelativeToItsPositionAndStaysOpen) {
  TempPatternFile file(3 * kChunk);
  const int fd = ::open(file.path(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 1000, SEEK_SET), 1000);
  IoReader r;
  ASSERT_EQ(IoReaderOpen(&r, reinterpret_cast<const void*>(intptr_t(fd)), kOpenFileHandle), 1);
  EXPECT_EQ(r.baseOffset, 1000u);
  uint8_t head[44];
  EXPECT_EQ(r.ReadDirect(&r, 0, head, 44), 44u);
  EXPECT_TRUE(MatchesPattern(head, 44, 1000));
  EXPECT_EQ(r.ReadDirect(&r, 5000, head, 44), 44u);
  EXPECT_TRUE(MatchesPattern(head, 44, 6000));
  r.Close(&r);
  EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the caller's descriptor was closed";
  ::close(fd);

  EXPECT_EQ(IoReaderOpen(&r, "/nonexistent/movie.trn", 0), 0);
  EXPECT_EQ(IoReaderOpen(&r, reinterpret_cast<const void*>(intptr_t(-1)), kOpenFileHandle), 0);
}

// At 128 KB/s a chunk takes a second: the driven clock shows the throttle,
// and the time is booked as idle or background time by the mode.
TEST(IoReader, SimulatedSpeedThrottlesReadsAndBooksTheTime) {
  ScopedFakeClock fake;
  ReaderFixture f(8 * kChunk, 4, 0, /*speed=*/kChunk);
  const uint32_t t0 = MovieTimeMs();
  f.FillSlots(1);
  EXPECT_EQ(MovieTimeMs() - t0, 1000u);
  EXPECT_EQ(f.r.readTime, 1000u);
  EXPECT_EQ(f.r.idleReadTime, 1000u);

  f.r.backgroundMode = 1;
  f.FillSlots(1);
  f.r.backgroundMode = 0;
  EXPECT_EQ(f.r.backgroundReadTime, 1000u);

  // A direct read of half a chunk: half a second, counted in both read times.
  f.Read(0, 2 * kChunk + kChunk / 2);
  EXPECT_EQ(f.r.readTime, 2500u);
  EXPECT_EQ(f.r.bufferedReadTime, 500u);

  // Surplus time carries over: the fill up to the slot boundary (half a
  // chunk, 500 ms) owes only what the earlier surplus does not cover.
  f.r.throttleDebt = -400;
  const uint32_t t1 = MovieTimeMs();
  EXPECT_EQ(f.r.FillChunk(&f.r), int32_t(kChunk / 2));
  EXPECT_EQ(MovieTimeMs() - t1, 100u);
}

}  // namespace
}  // namespace tarn
