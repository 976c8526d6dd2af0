// The movie's reader: the ring's set-up, the preload read, the frame reads and
// the top-ups the playback thread makes in the time it would otherwise wait.
// The playback thread only try-locks the reader, except after an underrun.
#include "movie/movie_input.h"

#include <algorithm>

#include "common/clock.h"
#include "movie/movie_internal.h"
#include "movie/movie_threads.h"

namespace tarn {
namespace {

// Tops the ring up by one chunk when it holds less than 3/4 of limit.
void TopUp(MovieState* m, uint64_t limit, bool yieldOnBusy) {
  IoReader& r = m->input.reader;
  if (MovieInMemory(m) || r.FillChunk == nullptr) return;
  if (uint64_t(InputHeld(m)) * 4 >= limit * 3) return;
  if (MovieNodeTryLock(&r.serviceNode)) {
    r.FillChunk(&r);
    MovieNodeUnlock(&r.serviceNode);
  } else if (yieldOnBusy) {
    SleepMs(0);
  }
}

}  // namespace

void InputInit(MovieState* m, const IoReader& reader, bool readerOpen) {
  m->input.reader = reader;
  m->input.readerOpen = readerOpen;
}

uint32_t InputBufferSizeFor(MovieState* m, uint32_t wanted) {
  return m->input.reader.BufferSizeFor(&m->input.reader, wanted);
}

void InputSetUpRing(MovieState* m, uint32_t size, uint32_t reportedLength, uint32_t speed) {
  MovieInput& in = m->input;
  in.ringMemory = static_cast<uint8_t*>(MovieAllocatePiece(m, size));
  in.ringAllocSize = in.ringMemory ? size : 0;
  in.reader.SetBuffer(&in.reader, in.ringMemory, in.ringAllocSize, reportedLength, speed);
}

void InputReadWhole(MovieState* m, uint32_t offset, uint8_t* dst, uint32_t length, uint32_t reportedLength,
                    uint32_t speed) {
  IoReader& r = m->input.reader;
  r.SetBuffer(&r, nullptr, 0, reportedLength, speed);
  if (length && r.ReadBuffered(&r, 0, offset, dst, length) != length) r.error = 1;
  r.Close(&r);
  m->input.readerOpen = 0;
}

uint32_t InputReadRecord(MovieState* m, uint32_t frameIndex, uint32_t offset, uint8_t* dst, uint32_t size) {
  IoReader& r = m->input.reader;
  return r.ReadBuffered(&r, frameIndex, offset, dst, size);
}

void InputInitialFill(MovieState* m) {
  IoReader& r = m->input.reader;
  while (r.FillChunk(&r) != 0) {
  }
}

void InputClose(MovieState* m) {
  if (m->input.readerOpen) {
    m->input.reader.Close(&m->input.reader);
    m->input.readerOpen = 0;
  }
}

void InputRelease(MovieState* m) {
  MovieReleasePiece(m, m->input.ringMemory, m->input.ringAllocSize);
  m->input.ringMemory = nullptr;
  m->input.ringAllocSize = 0;
}

uint32_t InputHeld(MovieState* m) { return IoReaderLoad(m->input.reader.held); }
bool InputFailed(MovieState* m) { return IoReaderLoad(m->input.reader.error) != 0; }

void InputTopUpForDecode(MovieState* m) {
  IoReader& r = m->input.reader;
  if (MovieInMemory(m) || IoReaderLoad(r.busy)) return;
  const uint64_t limit = std::min<uint64_t>(m->source.peakAmount, IoReaderLoad(r.target));
  TopUp(m, limit, !(m->flags & OPEN_NO_THREAD));
}

void InputServiceForCopy(MovieState* m, uint32_t copyFlags) {
  if (MovieInMemory(m) || (copyFlags & 0x200000u)) return;
  const IoReader& r = m->input.reader;
  const uint64_t length = m->source.movieLength;
  const uint64_t left = length > r.consumerPosition ? length - r.consumerPosition : 0;
  TopUp(m, std::min<uint64_t>(r.ringSize, left), !(m->flags & OPEN_NO_THREAD));
}

void InputFillWhileWaiting(MovieState* m) {
  IoReader& r = m->input.reader;
  const uint64_t limit = std::min<uint64_t>(m->source.peakAmount, IoReaderLoad(r.target));
  if (!(m->flags & OPEN_NO_THREAD) && uint64_t(InputHeld(m)) * 2 >= limit) return;
  if (r.FillChunk && MovieNodeTryLock(&r.serviceNode)) {
    r.FillChunk(&r);
    MovieNodeUnlock(&r.serviceNode);
  }
}

void InputRefillAfterUnderrun(MovieState* m) {
  IoReader& r = m->input.reader;
  if (MovieInMemory(m) || !r.FillChunk) return;
  while (uint64_t(InputHeld(m)) * 32 < uint64_t(IoReaderLoad(r.target)) * 29 && r.FillChunk(&r) > 0) {
  }
}

}  // namespace tarn
