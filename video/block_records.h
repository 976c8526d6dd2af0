// The two halves of a plane decode and what passes between them. The parse
// (video_decode.cc) takes the bits and bundles and keeps the change map; for
// each block it hands a sink what the block writes. The rebuild (PlaneRebuild)
// writes the samples. A serial decode's sink rebuilds at once; a parallel
// one writes block records into a RecordRing, and the thread on its other
// side rebuilds them in the same order (RebuildRecords), so both call the
// same PlaneRebuild with the same arguments.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/cpu_features.h"
#include "video/video_internal.h"
#include "video/video_tables.h"

namespace tarn {

// The samples' side of one plane. Every call names the block at (x, y) (its
// top-left sample) and writes only inside the destination plane, reading
// only the reference plane; in place (dst == ref), each sees what the calls
// before it wrote. Displacements (dx, dy) were clamped by the parse so that
// the displaced block lies inside the plane.
struct PlaneRebuild {
  uint8_t* dst;
  const uint8_t* ref;
  uint32_t width, height;
  ptrdiff_t stride;
  bool inPlace;  // every frame is a key frame: decoded in place
  IdctDsp idct;

  uint8_t* At(uint32_t x, uint32_t y) const { return dst + ptrdiff_t(y) * stride + x; }
  const uint8_t* RefAt(uint32_t x, uint32_t y, int dx = 0, int dy = 0) const {
    return ref + (ptrdiff_t(y) + dy) * stride + (ptrdiff_t(x) + dx);
  }

  static void Copy8(uint8_t* d, const uint8_t* s) {
    uint64_t v;
    std::memcpy(&v, s, 8);
    std::memcpy(d, &v, 8);
  }
  // Members are read once into locals: the byte stores may alias them.
  void CopyBlock(uint8_t* d, const uint8_t* s) const {
    const ptrdiff_t st = stride;
    for (int y = 0; y < 8; ++y) Copy8(d + y * st, s + y * st);
  }

  void Skip(uint32_t x, uint32_t y) const {
    if (!inPlace) CopyBlock(At(x, y), RefAt(x, y));
  }
  void Motion(uint32_t x, uint32_t y, int dx, int dy) const { CopyBlock(At(x, y), RefAt(x, y, dx, dy)); }
  void Fill(uint32_t x, uint32_t y, uint8_t c) const {
    const uint64_t v = c * 0x0101010101010101ull;
    uint8_t* d = At(x, y);
    const ptrdiff_t st = stride;
    for (int row = 0; row < 8; ++row) std::memcpy(d + row * st, &v, 8);
  }
  void Tile(uint32_t x, uint32_t y, const uint8_t tile[64]) const {
    uint8_t* d = At(x, y);
    const ptrdiff_t st = stride;
    for (int row = 0; row < 8; ++row) Copy8(d + row * st, tile + 8 * row);
  }
  void Intra(uint32_t x, uint32_t y, const int16_t coef[64], uint32_t q) const {
    idct.put(coef, kIntraQuant[q & 15], At(x, y), stride);
  }
  // In place, a displaced source may overlap the block at another offset:
  // inter and residue blocks then add one sample at a time, as that order
  // defines what is read there.
  void Inter(uint32_t x, uint32_t y, int dx, int dy, const int16_t coef[64], uint32_t q) const {
    (inPlace ? IdctAdd : idct.add)(coef, kInterQuant[q & 15], At(x, y), stride, RefAt(x, y, dx, dy), stride);
  }
  void Residue(uint32_t x, uint32_t y, int dx, int dy, const uint8_t residue[64]) const {
    (inPlace ? AddResidueInOrder : AddResidue)(residue, At(x, y), RefAt(x, y, dx, dy), stride);
  }
  // Each sample as a 2 x 2 square of the 16 x 16 area at (x, y); of an area
  // that does not fit in the plane only the part inside is written.
  void ScaledTile(uint32_t x, uint32_t y, const uint8_t tile[64]) const;
  void ScaledIntra(uint32_t x, uint32_t y, const int16_t coef[64], uint32_t q) const {
    uint8_t tile[64];
    idct.block(coef, kIntraQuant[q & 15], tile);
    ScaledTile(x, y, tile);
  }
};

void PlaneRebuildInit(PlaneRebuild& rb, uint8_t* dst, const uint8_t* ref, uint32_t width, uint32_t height,
                      uint32_t stride, CpuFlags cpu);

// A block record: a 4-byte head (op, arg, dx and dy as int8) and a payload;
// every size is a multiple of 4, so payloads stay 4-byte aligned in a
// 4-byte aligned batch. A record covers the next 8 samples of its block row
// (16 for the REC_SCALED_ ones, 8 * arg for REC_SKIP and REC_MOTION); a row
// ends when the covered width reaches the plane width.
enum : uint8_t {
  REC_SKIP,          // arg blocks (1..255)
  REC_NONE,          // a block that writes nothing
  REC_MOTION,        // arg blocks (1..255): (dx, dy) in the head, then a byte pair for each further one
  REC_FILL,          // colour arg
  REC_TILE,          // 64 samples
  REC_INTRA,         // 64 coefficients (int16, by position), quantiser arg
  REC_INTER,         // dx, dy, 64 coefficients, quantiser arg
  REC_RESIDUE,       // dx, dy, 64 residue bytes
  REC_SCALED_NONE,   // a scaled area's odd row, or a sub-type that writes nothing
  REC_SCALED_TILE,   // 64 samples
  REC_SCALED_INTRA,  // 64 coefficients, quantiser arg
};

inline constexpr size_t kRecordHead = 4;
// A REC_MOTION record of n blocks: the head holds the first pair.
constexpr size_t MotionRecordBytes(uint32_t n) { return (kRecordHead + 2 * (n - 1) + 3) & ~size_t(3); }
inline constexpr size_t kRecordMax = kRecordHead + 64 * sizeof(int16_t);  // the largest record
inline constexpr size_t kRecordBatch = 2048;                              // bytes of a ring slot

// Writes the samples of bytes of whole records, as a RecordSink wrote them,
// continuing at (*x, *y) and leaving there the block after the last.
void RebuildRecords(const PlaneRebuild& rb, const uint8_t* records, size_t bytes, uint32_t* x, uint32_t* y);

// A bounded ring of record batches between one parse and one rebuild. The
// parse fills the next slot and publishes it; the rebuild takes published
// slots in order and releases them. A side that finds the ring empty (the
// rebuild) or full (the parse) first spins, pausing, for up to kSpinUs (a
// slot takes a few microseconds), then sleeps until kBatch slots are ready
// or free, or the parse has ended: few wakes a frame, as each costs the
// waker a system call and the sleeper a trip through the scheduler. Lives
// at the start of kVideoRingBytes of the caller's memory, made anew by
// Reset before each use while no thread is at it.
class RecordRing {
 public:
  static constexpr uint32_t kSlots = 32;
  static constexpr uint32_t kBatch = kSlots / 4;
  static constexpr int kSpinUs = 10;

  struct Slot {
    uint32_t bytes;  // records in data
    uint32_t step;   // the frame's plane step they belong to
    bool last;       // the parse has nothing more after this slot
    alignas(4) uint8_t data[kRecordBatch];
  };

  static RecordRing* Reset(uint8_t* memory);

  // Parse side: the slot to fill next, once the rebuild has freed it; its
  // publication (last: nothing follows it).
  Slot& Fill();
  void Publish(bool last);
  // Rebuild side: the next published slot, and its return.
  const Slot& Take();
  void Release();

 private:
  // Each group apart, so that the two sides do not write one cache line.
  // Counters are stored and loaded sequentially consistent against the
  // other side's wants: either the waker sees a sleeper's target, or the
  // sleeper sees the waker's count.
  std::atomic<uint32_t> published_{0};  // stored by the parse only
  std::atomic<bool> ended_{false};      // the parse published its last slot
  uint32_t filling_ = 0;                // the parse's own: slots it has published
  std::atomic<uint32_t> parseWants_{0};  // released_ count the sleeping parse waits for; 0: awake
  [[maybe_unused]] uint8_t padA_[48];
  std::atomic<uint32_t> released_{0};  // stored by the rebuild only
  uint32_t taking_ = 0;                // the rebuild's own: slots it has released
  std::atomic<uint32_t> rebuildWants_{0};  // published_ count the sleeping rebuild waits for; 0: awake
  [[maybe_unused]] uint8_t padB_[52];
  Slot slots_[kSlots];
};

static_assert(sizeof(RecordRing) <= kVideoRingBytes, "kVideoRingBytes must hold a RecordRing");

// The records of one plane, dealt out for rebuilding: one parse appends
// batches, each with the block it starts at, and any thread may claim a
// published batch and rebuild it, in any order and at the same time as
// others. Only for a plane decoded from another reference, in batches that
// do not write each other's samples (its blocks then read only the
// reference). Nothing is reused within a frame, so the parse never waits;
// it runs out of room instead (Next), and rebuilds the rest of the plane
// itself. Lives at the start of the caller's memory (VideoShareBytes hold
// most frames), made anew by Reset before each use while no thread is at
// it; Reset gives nullptr for memory too small for its head.
class SharedRecords {
 public:
  struct Batch {
    uint32_t offset, bytes;  // of records in the store
    uint32_t x, y;           // the block the first record covers
  };
  static SharedRecords* Reset(uint8_t* memory, size_t bytes);
  // Parse side: where the next batch goes and the room there (0 when no
  // batch is left), the batch's publication (bytes a multiple of 4), and
  // the end of the plane's records.
  uint8_t* Next(size_t* room) {
    *room = filling_ < batchCount_ ? areaBytes_ - used_ : 0;
    return area_ + used_;
  }
  void Publish(uint32_t bytes, uint32_t x, uint32_t y);
  void End();
  // Rebuild side: rebuilds published batches into rb until the parse has
  // ended and every batch is claimed. Waits for batches, spinning and then
  // sleeping as a ring's side does, while the parse goes on.
  void Help(const PlaneRebuild& rb);

 private:
  // A helper waits only while the parse runs, and rarely: most batches are
  // published before a helper comes for them. But a wait can be long (the
  // parse's thread held up), and a helper that sleeps costs the parse a
  // system call for every batch until it is awake, and itself the wake: at
  // 720p a 20 us spin made some passes over a clip half as slow again.
  // 200 us is about a whole luma parse there.
  static constexpr int kSpinUs = 200;

  // The parse's side and the helpers' claims apart, on lines of their own.
  Batch* batches_ = nullptr;            // batchCount_ of them, after this head
  uint8_t* area_ = nullptr;             // areaBytes_ of records, after them
  uint32_t batchCount_ = 0, areaBytes_ = 0;
  uint32_t filling_ = 0;                // the parse's own: batches it has published
  uint32_t used_ = 0;                   // the parse's own: bytes they take
  std::atomic<uint32_t> published_{0};  // stored by the parse only
  std::atomic<bool> ended_{false};      // the parse published its last batch
  // published_ count a sleeping helper waits for; 0: none sleeps. There is
  // one: more would share it, and a later helper's target could hold an
  // earlier one asleep until the next batch or the end.
  std::atomic<uint32_t> helperWants_{0};
  [[maybe_unused]] uint8_t padA_[20];
  std::atomic<uint32_t> claimed_{0};  // batches helpers have taken
};

}  // namespace tarn
