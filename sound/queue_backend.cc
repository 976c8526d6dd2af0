// The buffer-queue back-end over an AudioQueueVoice. The sixteen data buffers
// live in one block owned by the track; the voice reads a buffer only between
// its Write and the done flag it sets.
#include "sound/queue_backend.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/allocator.h"
#include "sound/backend_util.h"

namespace tarn {

namespace {

SoundQueueState* State(SoundTrack* t) { return static_cast<SoundQueueState*>(t->backend); }

bool IsDone(const AudioQueueBuffer& b) { return b.done.load(std::memory_order_acquire) != 0; }

// bytesPerSecond x 1000 in 32 bits: at most 1000000 Hz x 4 bytes x 1000 (the
// format was validated), which fits.
uint32_t BytesPerSecond1000(const SoundTrack* t) { return (t->rate * t->bits * t->channels / 8) * 1000; }

void ApplyVolume(SoundQueueState* s) {
  const uint32_t v = s->volume;
  const uint32_t p = s->pan;
  uint32_t left, right;
  if (p <= 0x7FFF) {
    left = v;
    right = v * p / 0x7FFF;
  } else {
    left = v * (0x10000 - p) / 0x8001;
    right = v;
  }
  s->volumeApplied = true;
  // The voice's own gain, not a system mixer: the full volume 0x7FFF is the
  // voice at unity (0xFFFF), so that setting it loses nothing.
  left = left * 0xFFFF / 0x7FFF;
  right = right * 0xFFFF / 0x7FFF;
  if (s->device) s->device->SetVolume(left | right << 16);
}

void ReleaseDevice(SoundQueueState* s) {
  if (s->device) {
    s->device->Reset();
    for (AudioQueueBuffer& h : s->headers) {
      h.length = s->bufferBytes;
      h.done.store(1, std::memory_order_relaxed);
    }
    s->device.reset();
    s->deviceRef.reset();
  }
  LibraryRelease(s->bufferBlock);
  s->bufferBlock = nullptr;
}

bool OpenDevice(SoundTrack* t) {
  SoundQueueState* s = State(t);
  const uint32_t bps1000 = BytesPerSecond1000(t);
  s->bufferBytes = (bps1000 / 16000 + 31) & ~31u;
  const uint32_t halfSecond = (bps1000 / 2000 + 31) & ~31u;
  s->prerollBytes =
      SoundStartBytes(&s->movie, halfSecond, bps1000 / 1000, t->bits, s->movieSoundBytes, s->bufferBytes) & ~3u;
  s->currentIndex = s->lastIndex = -1;
  s->started = 0;
  s->submittedBytes = 0;

  s->bufferBlock = static_cast<uint8_t*>(LibraryAllocate(size_t(s->bufferBytes) * kSoundQueueBuffers));
  if (!s->bufferBlock) return false;
  std::memset(s->bufferBlock, t->bits == 16 ? 0x00 : 0x80, size_t(s->bufferBytes) * kSoundQueueBuffers);

  const AudioFormat format{t->rate, t->bits, t->channels};
  s->deviceRef = AudioAcquireSharedDevice(&format);
  if (s->deviceRef) s->device = s->deviceRef->OpenQueueVoice(format);
  if (!s->device) {
    s->deviceRef.reset();
    LibraryRelease(s->bufferBlock);
    s->bufferBlock = nullptr;
    return false;
  }
  for (int i = 0; i < kSoundQueueBuffers; ++i) {
    s->headers[i].data = s->bufferBlock + size_t(s->bufferBytes) * i;
    s->headers[i].length = s->bufferBytes;
    s->headers[i].done.store(1, std::memory_order_relaxed);
  }
  // A device volume the caller chose outlives a reopen, as a mixer setting would.
  if (s->volumeApplied) ApplyVolume(s);
  return true;
}

void Queue(SoundQueueState* s, int i) {
  s->headers[i].done.store(0, std::memory_order_relaxed);
  s->device->Write(&s->headers[i]);
}

int Ready(SoundTrack* t) {
  SoundQueueState* s = State(t);
  if (!s || s->paused || !t->enabled) return 0;
  if (s->started && std::all_of(std::begin(s->headers), std::end(s->headers), IsDone)) {
    t->starved = 1;
    s->started = 0;
    s->submittedBytes = 0;
    s->lastIndex = s->currentIndex = -1;
  }
  const int next = (s->lastIndex + 1) % kSoundQueueBuffers;
  if (IsDone(s->headers[next])) {
    s->currentIndex = next;
    return 1;
  }
  for (int i = 0; i < kSoundQueueBuffers; ++i) {
    if (IsDone(s->headers[i])) {
      s->currentIndex = i;
      return 1;
    }
  }
  return 0;
}

int GetBuffer(SoundTrack* t, uint8_t** region, uint32_t* length) {
  SoundQueueState* s = State(t);
  if (!s || s->currentIndex < 0 || !s->bufferBlock) return 0;
  *region = s->bufferBlock + size_t(s->bufferBytes) * s->currentIndex;
  *length = s->bufferBytes;
  return 1;
}

int Submit(SoundTrack* t, uint32_t n) {
  SoundQueueState* s = State(t);
  if (!s || s->currentIndex < 0 || !s->device) return 0;
  n = std::min(n, s->bufferBytes);
  s->lastIndex = s->currentIndex;
  s->currentIndex = -1;
  s->submittedBytes += n;
  s->headers[s->lastIndex].length = n;
  if (s->started) {
    Queue(s, s->lastIndex);
  } else if (s->submittedBytes >= s->prerollBytes || s->lastIndex == kSoundQueueBuffers - 1) {
    // Also start once every buffer holds data: short remainders near the end
    // of a movie could otherwise wrap onto buffers that have not played yet.
    s->started = 1;
    for (int i = 0; i <= s->lastIndex; ++i) Queue(s, i);
  }
  return 1;
}

void SetVolume(SoundTrack* t, uint32_t v) {
  SoundQueueState* s = State(t);
  if (!s) return;
  if (v >= 0x10000) v = 0xFFFF;
  s->volume = (v + 1) * 0x7FFF / 0x10000;
  ApplyVolume(s);
}

void SetPan(SoundTrack* t, uint32_t p) {
  SoundQueueState* s = State(t);
  if (!s) return;
  s->pan = std::min<uint32_t>(p, 0x10000);
  ApplyVolume(s);
}

int Pause(SoundTrack* t, int flag) {
  SoundQueueState* s = State(t);
  if (!s) return 0;
  if (flag) {
    if (s->device) s->device->Pause();
    s->paused = 1;
  } else {
    if (s->device) s->device->Restart();
    s->paused = 0;
  }
  return int(s->paused);
}

int Enable(SoundTrack* t, int flag) {
  SoundQueueState* s = State(t);
  if (!s) return 0;
  if (flag == 1) {
    if (!t->enabled && OpenDevice(t)) t->enabled = 1;
  } else if (flag == 0 && t->enabled) {
    ReleaseDevice(s);
    t->enabled = 0;
  }
  return int(t->enabled);
}

// Before the start the submitted buffers wait, all of them unplayed.
uint32_t Queued(SoundTrack* t) {
  const SoundQueueState* s = State(t);
  if (!s) return 0;
  if (!s->started) return s->submittedBytes;
  uint32_t n = 0;
  for (const AudioQueueBuffer& h : s->headers) {
    if (!IsDone(h)) n += h.length;
  }
  return n;
}

void Close(SoundTrack* t) {
  SoundQueueState* s = State(t);
  if (!s) return;
  ReleaseDevice(s);
  delete s;
  t->backend = nullptr;
  t->enabled = 0;
}

}  // namespace

// The operations in slot order; the slots this back-end lacks stay null.
constexpr SoundDriver kDriver = {Ready, GetBuffer, Submit, SetVolume, SetPan, Pause, Enable, Close, nullptr, nullptr, Queued};

int SoundQueueOpen(SoundTrack* t, uint32_t sampleRate, uint32_t bits, uint32_t channels, uint32_t,
                   const SoundMovieInfo* movie) {
  if (!t) return 0;
  std::memset(static_cast<void*>(t), 0, sizeof *t);
  t->starved = 0;
  t->bits = bits;
  t->rate = sampleRate;
  t->channels = channels;
  if (!AudioFormat{sampleRate, bits, channels}.Valid()) return 0;
  auto* s = new (std::nothrow) SoundQueueState;
  if (!s) return 0;
  t->backend = s;
  const uint32_t bytesPerSecond = bits / 8 * channels * sampleRate;
  s->movieSoundBytes = SoundMovieBytes(movie, bytesPerSecond, bytesPerSecond);
  if (movie) s->movie = *movie;
  s->volume = s->pan = 0x7FFF;
  s->paused = 0;
  t->enabled = 1;
  t->driver = kDriver;
  if (!OpenDevice(t)) {
    delete s;
    std::memset(static_cast<void*>(t), 0, sizeof *t);
    return 0;
  }
  t->minChunk = bits == 16 ? s->bufferBytes : 2 * s->bufferBytes;
  t->latencyMs = 0;
  return 1;
}

SoundOpenRoutine SoundQueueProvider(void*) {
  // Opening the device once shows that there is one; it closes again at once.
  if (!AudioAcquireSharedDevice()) return nullptr;
  return SoundQueueOpen;
}

}  // namespace tarn
