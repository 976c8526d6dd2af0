// The track service and the ring protocol: drains each track's ring of 16-bit
// samples into its sound back-end's device buffers, converting to 8 bits on
// the way when the device is 8-bit. Reads only inside the ring and writes only
// inside the region the back-end's getBuffer granted.
#include "movie/track_service.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "movie/movie.h"

namespace tarn {
namespace {

SoundProvider installedProvider = nullptr;           // process-wide, set from one thread
SoundOpenRoutine installedOpen = nullptr;
std::atomic<uint32_t> openTracks{0};

void AddFill(SoundTrack* t, uint32_t delta) { std::atomic_ref<uint32_t>(t->fillCount).fetch_add(delta); }
uint32_t Fill(SoundTrack* t) { return std::atomic_ref<uint32_t>(t->fillCount).load(); }

// Copies n ring bytes from readPos to dst, 16-bit samples to unsigned 8-bit
// when to8 (n even). Wraps at ringEnd.
void CopyOut(SoundTrack* t, uint8_t* dst, uint32_t n, bool to8) {
  const uint32_t toEnd = uint32_t(t->ringEnd - t->readPos);
  const uint32_t first = std::min(n, toEnd);
  auto put = [&](const uint8_t* src, uint32_t count) {
    if (to8) {
      for (uint32_t i = 0; i + 1 < count; i += 2) *dst++ = uint8_t(src[i + 1] + 0x80);
    } else {
      std::memcpy(dst, src, count);
      dst += count;
    }
  };
  put(t->readPos, first);
  if (n > first) {
    put(t->ringStart, n - first);
    t->readPos = t->ringStart + (n - first);
  } else {
    t->readPos += first;
  }
}

}  // namespace

void SoundRingWrite(SoundTrack* t, const uint8_t* src, uint32_t n) {
  if (t->ringSize == 0 || n == 0) return;
  if (n > t->ringSize) {  // only the newest ringSize bytes can be kept
    src += n - t->ringSize;
    n = t->ringSize;
  }
  SoundRingKeepNewest(t, t->ringSize - n);
  AddFill(t, n);
  const uint32_t toEnd = uint32_t(t->ringEnd - t->writePos);
  if (toEnd >= n) {
    std::memcpy(t->writePos, src, n);
    t->writePos += n;
  } else {
    std::memcpy(t->writePos, src, toEnd);
    std::memcpy(t->ringStart, src + toEnd, n - toEnd);
    t->writePos = t->ringStart + (n - toEnd);
  }
}

void SoundRingKeepNewest(SoundTrack* t, uint32_t n) {
  const uint32_t fill = Fill(t);
  if (fill <= n) return;
  const uint32_t drop = fill - n;  // <= fill <= ringSize
  size_t at = size_t(t->readPos - t->ringStart) + drop;
  if (at >= t->ringSize) at -= t->ringSize;
  t->readPos = t->ringStart + at;
  AddFill(t, uint32_t(0) - drop);
}

void SoundRingReset(SoundTrack* t) {
  t->writePos = t->ringStart;
  t->readPos = t->ringStart;
  std::atomic_ref<uint32_t>(t->fillCount).store(0);
}

void SoundPrefillSilence(SoundTrack* t) {
  const uint32_t fill = Fill(t);
  const uint32_t want = std::min(t->preloadBytes, t->ringSize);
  if (fill >= want) return;
  uint32_t d = want - fill;
  AddFill(t, d);
  // Zero the d bytes in front of readPos, walking back across the ring start.
  while (d > 0) {
    if (t->readPos == t->ringStart) t->readPos = t->ringEnd;
    const uint32_t room = uint32_t(t->readPos - t->ringStart);
    const uint32_t step = std::min(d, room);
    t->readPos -= step;
    std::memset(t->readPos, 0, step);
    d -= step;
  }
}

void SoundServiceTracksLocked(SoundTrack* tracks, uint32_t count, int64_t frame) {
  if (count == 0 || tracks[count - 1].driver.ready == nullptr) return;
  for (uint32_t k = 0; k < count; ++k) {
    SoundTrack* t = &tracks[k];
    if (t->ringSize == 0 || t->driver.ready == nullptr || t->driver.getBuffer == nullptr ||
        t->driver.submit == nullptr) {
      continue;
    }
    const bool pastEnd = frame > t->endFrame;
    while (t->driver.ready(t)) {
      const uint32_t fill = Fill(t);
      if (fill <= t->minChunk && !(pastEnd && fill > 0)) break;
      uint8_t* region = nullptr;
      uint32_t length = 0;
      if (!t->driver.getBuffer(t, &region, &length) || region == nullptr) break;
      const bool to8 = t->output8Bit != 0;
      uint64_t n = to8 ? uint64_t(length) * 2 : length;
      n = std::min<uint64_t>(n, fill);
      if (!pastEnd) n &= to8 ? uint64_t(t->lengthMask) << 1 : t->lengthMask;
      if (to8) n &= ~uint64_t(1);  // whole samples only
      if (n == 0) break;
      AddFill(t, uint32_t(0) - uint32_t(n));
      CopyOut(t, region, uint32_t(n), to8);
      t->driver.submit(t, to8 ? uint32_t(n / 2) : uint32_t(n));
    }
  }
}

SoundOpenRoutine SoundInstalledOpen() { return installedOpen; }
void SoundNoteTrackOpened() { openTracks.fetch_add(1); }
void SoundNoteTrackClosed() { openTracks.fetch_sub(1); }
uint32_t SoundOpenTrackCount() { return openTracks.load(); }

void SoundResetSystemForTesting() {
  installedProvider = nullptr;
  installedOpen = nullptr;
}

int MovieSetSoundSystem(SoundProvider provider, void* parameter) {
  if (provider == nullptr) return 0;
  if (provider != installedProvider && openTracks.load() != 0) return 0;
  installedProvider = provider;
  if (SoundOpenRoutine open = provider(parameter)) installedOpen = open;
  return installedOpen != nullptr ? 1 : 0;
}

}  // namespace tarn
