// The movie's input: its reader with the read-ahead ring, and the reader's
// share of the playback thread's time. Owned by movie_input.cc.
#pragma once

#include <cstdint>

#include "io/io_reader.h"

namespace tarn {

struct MovieState;

struct MovieInput {
  IoReader reader;       // reader.serviceNode is the reader node; its mutex is the reader lock
  uint8_t* ringMemory;
  uint32_t ringAllocSize;
  uint32_t readerOpen;   // reader.Close still owed
  uint32_t joined;       // the reader node is on the reader thread
};

// Takes over the reader the source step opened.
void InputInit(MovieState* m, const IoReader& reader, bool readerOpen);

// The ring size the reader would use for wanted bytes.
uint32_t InputBufferSizeFor(MovieState* m, uint32_t wanted);
// Allocates the ring and hands it to the reader (a failed allocation leaves
// the reader without a ring, reading each record directly).
void InputSetUpRing(MovieState* m, uint32_t size, uint32_t reportedLength, uint32_t speed);
// Reads length bytes from offset into dst without a ring, then closes the
// reader: the preload. A short read is a read error.
void InputReadWhole(MovieState* m, uint32_t offset, uint8_t* dst, uint32_t length, uint32_t reportedLength,
                    uint32_t speed);
// Reads frame record frameIndex (0-based, at offset) through the ring; the
// bytes read.
uint32_t InputReadRecord(MovieState* m, uint32_t frameIndex, uint32_t offset, uint8_t* dst, uint32_t size);
// Fills the ring before the first frame.
void InputInitialFill(MovieState* m);
void InputClose(MovieState* m);
void InputRelease(MovieState* m);

// Bytes the ring holds now, and whether the reader has seen an error.
uint32_t InputHeld(MovieState* m);
bool InputFailed(MovieState* m);

// The reader's share of a decode: one chunk when the ring holds less than 3/4
// of the peak second (or the target, if smaller), never waiting for the lock.
void InputTopUpForDecode(MovieState* m);
// The reader step a copy makes: unless in memory or copyFlags has
// COPY_NO_READ_SERVICE (0x200000), tops up the ring by one chunk when it holds
// less than 3/4 of min(ring size, bytes left), never waiting for the lock.
void InputServiceForCopy(MovieState* m, uint32_t copyFlags);
// Idle time while a frame is not due: one chunk unless the ring is at least
// half full with a reader thread running.
void InputFillWhileWaiting(MovieState* m);
// After a sound underrun, with the reader lock held: refill the ring to 29/32
// of its target.
void InputRefillAfterUnderrun(MovieState* m);

}  // namespace tarn
