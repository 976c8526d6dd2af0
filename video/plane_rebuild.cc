// The samples' half of a plane decode: the scaled store, block records
// (video/block_records.h) back into PlaneRebuild calls, the ring that
// carries records between two threads, and the store that deals a plane's
// records out to several. Writes only inside the destination plane (never
// its stride padding); reads only the records and the reference plane.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

#include "common/little_endian.h"
#include "common/worker_pool.h"
#include "video/block_records.h"

namespace tarn {

namespace {

// Four samples (little-endian) as eight, each twice: abcd -> aabbccdd.
inline uint64_t Doubled4(uint32_t v) {
  uint64_t t = v;
  t = (t | t << 16) & 0x0000FFFF0000FFFFull;
  t = (t | t << 8) & 0x00FF00FF00FF00FFull;
  return t | t << 8;
}

inline const int16_t* Coefficients(const uint8_t* record) {
  return reinterpret_cast<const int16_t*>(record + kRecordHead);
}

}  // namespace

void PlaneRebuild::ScaledTile(uint32_t x, uint32_t y, const uint8_t in[64]) const {
  uint8_t* d = At(x, y);
  const ptrdiff_t st = stride;
  const uint32_t w = width - x < 16 ? width - x : 16, h = height - y < 16 ? height - y : 16;
  if (w < 16 || h < 16) {
    for (uint32_t row = 0; row < h; ++row) {
      uint8_t line[16];
      for (int i = 0; i < 8; ++i) line[2 * i] = line[2 * i + 1] = in[(row >> 1) * 8 + i];
      std::memcpy(d + row * st, line, w);
    }
    return;
  }
  for (int row = 0; row < 8; ++row) {
    const uint64_t left = Doubled4(LoadLe32(in + 8 * row)), right = Doubled4(LoadLe32(in + 8 * row + 4));
    uint8_t* out = d + 2 * row * st;
    StoreLe64(out, left);
    StoreLe64(out + 8, right);
    StoreLe64(out + st, left);
    StoreLe64(out + st + 8, right);
  }
}

void PlaneRebuildInit(PlaneRebuild& rb, uint8_t* dst, const uint8_t* ref, uint32_t width, uint32_t height,
                      uint32_t stride, CpuFlags cpu) {
  rb.dst = dst;
  rb.ref = ref;
  rb.width = width;
  rb.height = height;
  rb.stride = ptrdiff_t(stride);
  rb.inPlace = dst == ref;
  IdctDspInit(rb.idct, cpu);
}

void RebuildRecords(const PlaneRebuild& rb, const uint8_t* p, size_t bytes, uint32_t* px, uint32_t* py) {
  const uint8_t* const end = p + bytes;
  uint32_t x = *px, y = *py;
  while (p < end) {
    const int dx = int8_t(p[2]), dy = int8_t(p[3]);
    uint32_t covered = 8;
    switch (p[0]) {
      case REC_SKIP:
        covered = 8 * uint32_t(p[1]);
        for (uint32_t k = 0; k < covered; k += 8) rb.Skip(x + k, y);
        p += kRecordHead;
        break;
      case REC_MOTION: {
        const uint32_t n = p[1];
        rb.Motion(x, y, dx, dy);
        for (uint32_t k = 1; k < n; ++k) rb.Motion(x + 8 * k, y, int8_t(p[2 + 2 * k]), int8_t(p[3 + 2 * k]));
        covered = 8 * n;
        p += MotionRecordBytes(n);
        break;
      }
      case REC_FILL:
        rb.Fill(x, y, p[1]);
        p += kRecordHead;
        break;
      case REC_TILE:
        rb.Tile(x, y, p + kRecordHead);
        p += kRecordHead + 64;
        break;
      case REC_INTRA:
        rb.Intra(x, y, Coefficients(p), p[1]);
        p += kRecordMax;
        break;
      case REC_INTER:
        rb.Inter(x, y, dx, dy, Coefficients(p), p[1]);
        p += kRecordMax;
        break;
      case REC_RESIDUE:
        rb.Residue(x, y, dx, dy, p + kRecordHead);
        p += kRecordHead + 64;
        break;
      case REC_SCALED_TILE:
        rb.ScaledTile(x, y, p + kRecordHead);
        covered = 16;
        p += kRecordHead + 64;
        break;
      case REC_SCALED_INTRA:
        rb.ScaledIntra(x, y, Coefficients(p), p[1]);
        covered = 16;
        p += kRecordMax;
        break;
      case REC_SCALED_NONE:
        covered = 16;
        p += kRecordHead;
        break;
      default:  // REC_NONE
        p += kRecordHead;
        break;
    }
    x += covered;
    if (x >= rb.width) {
      x = 0;
      y += 8;
    }
  }
  *px = x;
  *py = y;
}

namespace {

// Where the sides of the rings, and the helpers of a shared store, sleep,
// by the address of the counter they watch. (Not the counters' own wait: it
// yields the processor before it sleeps, and on a busy machine a yield
// gives another program the rest of a time slice.)
struct Sleepers {
  std::mutex mutex;
  std::condition_variable changed;
};

Sleepers& SleepersFor(const void* counter) {
  // Never destroyed: a movie left open at exit still has its threads.
  static Sleepers* const table = new Sleepers[16];
  return table[(reinterpret_cast<uintptr_t>(counter) >> 6) & 15];
}

// Returns once counter moves from seen or done() holds, within spinUs;
// else once done() holds, sleeping with *wants set to the count of counter
// that the other side must reach to wake this one. Counters are stored and
// loaded sequentially consistent against wants: either the waker sees a
// sleeper's target, or the sleeper sees the waker's count.
template <class Done>
void Await(int spinUs, const std::atomic<uint32_t>& counter, uint32_t seen, std::atomic<uint32_t>* wants,
           uint32_t target, Done done) {
  // A move the caller looks at again.
  if (SpinUntil(spinUs, [&] { return counter.load(std::memory_order_acquire) != seen || done(); })) return;
  Sleepers& s = SleepersFor(&counter);
  std::unique_lock lock(s.mutex);
  for (;;) {
    wants->store(target, std::memory_order_seq_cst);
    if (done()) break;
    s.changed.wait(lock);
  }
  wants->store(0, std::memory_order_relaxed);
}

// Wakes the other side when it sleeps for a target that counter reached (or always).
void WakeIf(const std::atomic<uint32_t>& counter, std::atomic<uint32_t>& wants, bool always) {
  uint32_t target = wants.load(std::memory_order_seq_cst);
  if (target == 0 || (!always && int32_t(counter.load(std::memory_order_relaxed) - target) < 0)) return;
  // One wake per sleep: the sleeper sets its target again if it must sleep on.
  if (!wants.compare_exchange_strong(target, 0, std::memory_order_seq_cst)) return;
  Sleepers& s = SleepersFor(&counter);
  // Taking the lock waits for a sleeper between its target and its wait.
  { std::lock_guard lock(s.mutex); }
  s.changed.notify_all();
}

}  // namespace

RecordRing* RecordRing::Reset(uint8_t* memory) { return new (memory) RecordRing; }

RecordRing::Slot& RecordRing::Fill() {
  for (uint32_t freed; filling_ - (freed = released_.load(std::memory_order_acquire)) >= kSlots;) {
    Await(kSpinUs, released_, freed, &parseWants_, filling_ - kSlots + kBatch, [&] {
      return int32_t(released_.load(std::memory_order_seq_cst) - (filling_ - kSlots + kBatch)) >= 0;
    });
  }
  return slots_[filling_ % kSlots];
}

void RecordRing::Publish(bool last) {
  if (last) ended_.store(true, std::memory_order_seq_cst);
  published_.store(++filling_, std::memory_order_seq_cst);
  WakeIf(published_, rebuildWants_, last);
}

const RecordRing::Slot& RecordRing::Take() {
  while (published_.load(std::memory_order_acquire) == taking_) {
    Await(kSpinUs, published_, taking_, &rebuildWants_, taking_ + kBatch, [&] {
      return int32_t(published_.load(std::memory_order_seq_cst) - (taking_ + kBatch)) >= 0 ||
             ended_.load(std::memory_order_seq_cst);
    });
  }
  return slots_[taking_ % kSlots];
}

void RecordRing::Release() {
  released_.store(++taking_, std::memory_order_seq_cst);
  WakeIf(released_, parseWants_, false);
}

namespace {
// Where a SharedRecords' batches begin.
constexpr size_t kShareHeader = (sizeof(SharedRecords) + 63) & ~size_t(63);
}  // namespace

uint32_t VideoShareBytes(uint32_t lumaWidth, uint32_t lumaHeight) {
  // On the 720p pans a luma block takes 2 to 3 bytes of records at the
  // default quality and about 4 at quality 95; a key frame's take 30 to 130.
  // Sixteen bytes a block hold all of most frames and a good part of the
  // rest; and a batch ends at the first pair of block rows that begins past
  // kRecordBatch bytes, so each but the last is at least that long.
  const uint64_t blocks = uint64_t((lumaWidth + 7) / 8) * ((lumaHeight + 7) / 8);
  const uint64_t row = uint64_t((lumaWidth + 7) / 8) * kRecordMax;
  const uint64_t area = std::min<uint64_t>(std::max(blocks * 16, 8 * row), uint64_t(64) << 20);
  const uint64_t batches = area / kRecordBatch + 2;
  return uint32_t(kShareHeader + batches * sizeof(SharedRecords::Batch) + area);
}

SharedRecords* SharedRecords::Reset(uint8_t* memory, size_t bytes) {
  if (bytes < kShareHeader) return nullptr;
  auto* shared = new (memory) SharedRecords;
  const size_t rest = std::min<size_t>(bytes - kShareHeader, UINT32_MAX);
  // As VideoShareBytes lays it out: a batch for each kRecordBatch of area, and two.
  const size_t batches = (rest + 2 * kRecordBatch) / (kRecordBatch + sizeof(Batch));
  shared->batches_ = reinterpret_cast<Batch*>(memory + kShareHeader);
  shared->batchCount_ = uint32_t(batches);
  shared->area_ = memory + kShareHeader + batches * sizeof(Batch);
  shared->areaBytes_ = uint32_t(rest - std::min(rest, batches * sizeof(Batch))) & ~3u;
  return shared;
}

void SharedRecords::Publish(uint32_t bytes, uint32_t x, uint32_t y) {
  batches_[filling_] = {used_, bytes, x, y};
  used_ += bytes;
  published_.store(++filling_, std::memory_order_seq_cst);
  WakeIf(published_, helperWants_, false);
}

void SharedRecords::End() {
  ended_.store(true, std::memory_order_seq_cst);
  WakeIf(published_, helperWants_, true);
}

void SharedRecords::Help(const PlaneRebuild& rb) {
  for (;;) {
    uint32_t claimed = claimed_.load(std::memory_order_relaxed);
    const uint32_t published = published_.load(std::memory_order_acquire);
    if (claimed < published) {
      if (!claimed_.compare_exchange_weak(claimed, claimed + 1, std::memory_order_relaxed)) continue;
      const Batch& batch = batches_[claimed];
      uint32_t x = batch.x, y = batch.y;
      RebuildRecords(rb, area_ + batch.offset, batch.bytes, &x, &y);
      continue;
    }
    // Every batch is published before the end is.
    if (ended_.load(std::memory_order_acquire)) {
      if (published_.load(std::memory_order_acquire) == claimed) return;
      continue;
    }
    Await(kSpinUs, published_, published, &helperWants_, published + 1, [&] {
      return published_.load(std::memory_order_seq_cst) != published || ended_.load(std::memory_order_seq_cst);
    });
  }
}

}  // namespace tarn
