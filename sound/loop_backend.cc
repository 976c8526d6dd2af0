// The looping-buffer back-end over an AudioLoopVoice. Process-wide it keeps the
// device in use (the shared one, or a caller's) and its user count; per track
// it keeps the write position and the cursors of the last measurement.
#include "sound/loop_backend.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "common/movie_time.h"
#include "common/clock.h"
#include "sound/backend_util.h"

namespace tarn {

namespace {

// Process-wide device state; changed only by provider, opens and closes.
struct LoopDevice {
  bool chosen = false;         // false: the none value
  AudioDevice* device = nullptr;
  bool own = false;            // device is the shared one, held by owned
  std::shared_ptr<AudioDevice> owned;
  int initCount = 0;           // users: open tracks plus the provider's test
  int openTracks = 0;
};
std::mutex gLoopMutex;  // guards gLoop
LoopDevice gLoop;

// Bounds for waits on the device: a device whose cursors never settle must not
// hang the caller.
constexpr int kMaxCursorRetries = 64;
constexpr uint32_t kMaxStartWaitMs = 1000;
constexpr int kMaxStatusPolls = 100;
constexpr int kMaxStarveRepairs = 4;

bool InitDeviceLocked(const AudioFormat* format = nullptr) {
  if (++gLoop.initCount == 1 && gLoop.own) {
    gLoop.owned = AudioAcquireSharedDevice(format);
    if (!gLoop.owned) {
      gLoop.initCount = 0;
      gLoop.chosen = false;
      return false;
    }
    gLoop.device = gLoop.owned.get();
  }
  if (!gLoop.device) {
    gLoop.initCount--;
    return false;
  }
  return true;
}

void ReleaseDeviceLocked() {
  if (--gLoop.initCount == 0 && gLoop.own) {
    gLoop.owned.reset();
    gLoop.device = nullptr;
    gLoop.chosen = false;
  }
}

SoundLoopState* State(SoundTrack* t) { return static_cast<SoundLoopState*>(t->backend); }

uint32_t Forward(uint32_t from, uint32_t to, uint32_t size) { return (to + size - from) % size; }

uint8_t SilenceByte(const SoundTrack* t) { return t->bits == 8 ? 0x80 : 0x00; }

// Unlocks the regions of the lock held, n1 and n2 bytes of them written.
void ReleaseLock(SoundLoopState* s, uint32_t n1, uint32_t n2) {
  if (s->lockRegion1 || s->lockRegion2 || s->lockLength1 || s->lockLength2) {
    s->soundBuffer->Unlock(s->lockRegion1, n1, s->lockRegion2, n2);
  }
  s->lockRegion1 = s->lockRegion2 = nullptr;
  s->lockLength1 = s->lockLength2 = 0;
}
void ReleaseLock(SoundLoopState* s) { ReleaseLock(s, 0, 0); }

bool LockRegion(SoundLoopState* s, uint32_t offset, uint32_t bytes) {
  ReleaseLock(s);
  if (bytes == 0 || offset >= s->bufferBytes) return false;
  bytes = std::min(bytes, s->bufferBytes);
  if (!s->soundBuffer->Lock(offset, bytes, &s->lockRegion1, &s->lockLength1, &s->lockRegion2,
                            &s->lockLength2)) {
    s->lockRegion1 = s->lockRegion2 = nullptr;
    s->lockLength1 = s->lockLength2 = 0;
    return false;
  }
  return true;
}

void FillSilence(SoundTrack* t, uint32_t offset, uint32_t bytes) {
  SoundLoopState* s = State(t);
  if (!LockRegion(s, offset % s->bufferBytes, bytes)) return;
  if (s->lockRegion1) std::memset(s->lockRegion1, SilenceByte(t), s->lockLength1);
  if (s->lockRegion2) std::memset(s->lockRegion2, SilenceByte(t), s->lockLength2);
  ReleaseLock(s, s->lockLength1, s->lockLength2);
}

void Apply(SoundTrack* t) {
  SoundLoopState* s = State(t);
  s->soundBuffer->SetFrequency(t->rate);
  s->soundBuffer->SetPan(SoundLoopPanCentibels(uint32_t(s->pan)));
  s->soundBuffer->SetVolume(SoundLoopVolumeCentibels(uint32_t(s->volume)));
}

void PlayVoice(SoundLoopState* s) {
  s->soundBuffer->Play();
  s->stopped = 0;
}

// Three readings; when either cursor moved by 1024 bytes or more between the
// first and the third (or went backwards) the device was busy: read again.
void ReadCursors(SoundLoopState* s, uint32_t* play, uint32_t* write) {
  for (int attempt = 0;; ++attempt) {
    uint32_t p1, w1, p2, w2, p3, w3;
    s->soundBuffer->GetCurrentPosition(&p1, &w1);
    s->soundBuffer->GetCurrentPosition(&p2, &w2);
    s->soundBuffer->GetCurrentPosition(&p3, &w3);
    *play = p3;
    *write = w3;
    if ((p3 - p1 < kSoundLoopGap && w3 - w1 < kSoundLoopGap) || attempt == kMaxCursorRetries) return;
  }
}

// Plays from where the first fill began: waits (briefly) for the play cursor to
// be within the first chunk, restarting a device that does not move.
void StartPlayback(SoundLoopState* s) {
  s->playing = 1;
  PlayVoice(s);
  const uint32_t begin = MovieTimeMs();
  uint32_t t0 = begin;
  uint32_t p0, w0;
  s->soundBuffer->GetCurrentPosition(&p0, &w0);
  for (;;) {
    s->soundBuffer->GetCurrentPosition(&s->lastPlayCursor, &s->lastWriteCursor);
    if (s->lastPlayCursor <= s->writeChunk) break;
    const uint32_t now = MovieTimeMs();
    if (now - begin > kMaxStartWaitMs) break;
    if (s->lastPlayCursor == p0 && now - t0 > 50) {
      PlayVoice(s);
      t0 = now;
      s->soundBuffer->GetCurrentPosition(&p0, &w0);
    }
    SleepMs(1);
  }
  // Counted from offset 0, where the first fill began.
  s->played = s->lastPlayCursor;
  s->taken = s->lastWriteCursor;
  s->lastCheckTime = MovieTimeMs();
}

// Space in front of the data, up to the play cursor less the gap, a multiple
// of 4 bytes.
uint32_t FreeBytes(const SoundLoopState* s) {
  const uint64_t ahead = s->written - std::min(s->played, s->written);
  const uint32_t free = s->bufferBytes - uint32_t(std::min<uint64_t>(ahead, s->bufferBytes));
  return free >= kSoundLoopGap ? (free - kSoundLoopGap) & ~3u : 0;
}

// Silence over what the device played one buffer ago, just after the data:
// a device that runs dry before the next write then plays a gap, not an echo.
void SilenceAhead(SoundTrack* t) {
  SoundLoopState* s = State(t);
  const uint32_t n = std::min(2 * s->writeChunk, FreeBytes(s));
  if (n) FillSilence(t, s->writePos, n);
}

int Ready(SoundTrack* t) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer || s->stopped || !t->enabled) return 0;
  if (!s->playing) return 1;  // preroll: getBuffer locks the rest of the first fill
  const uint32_t size = s->bufferBytes;
  uint32_t now = MovieTimeMs();
  // Near the end of the data the device may take the rest, and the silence
  // after it, at any moment: a write placed by an older reading would land
  // where the device has already read, and be lost unseen.
  const uint64_t ahead = s->written - std::min(s->taken, s->written);
  bool measure = now - s->lastCheckTime > kSoundLoopMeasureMs || ahead < 2 * uint64_t(s->writeChunk);
  for (int repairs = 0;; ++repairs) {
    bool starving = false;
    if (measure) {
      uint32_t play, write;
      ReadCursors(s, &play, &write);
      const uint32_t d1 = Forward(s->lastWriteCursor, write, size);
      const uint32_t d2 = Forward(s->lastPlayCursor, play, size);
      if ((d2 > d1 ? d2 - d1 : d1 - d2) > size / 2) return 0;  // a reading torn by a wrap
      now = MovieTimeMs();
      const uint32_t sinceLast = now - s->lastCheckTime;
      s->lastPlayCursor = play;
      s->lastWriteCursor = write;
      s->lastCheckTime = now;
      s->played += d2;
      s->taken += d1;
      // The device took bytes nobody wrote; or nothing measured it for so long
      // that the cursors may have gone round the buffer unseen.
      starving = s->taken > s->written || sinceLast >= s->recheckMs;
    }
    if (!starving) {
      const uint32_t free = FreeBytes(s);
      if (free < s->writeChunk && (s->pendingBytes == 0 || free == 0)) return 0;
      s->pendingBytes = free;
      return 1;
    }
    // Put 100 ms of silence where the device reads next, for it to play
    // until sound comes, and write the sound from there: the device loses no
    // more time than it has already played dry.
    t->starved = 1;
    if (repairs == kMaxStarveRepairs) return 0;
    FillSilence(t, s->lastWriteCursor, 2 * s->writeChunk);
    s->writePos = s->lastWriteCursor;
    s->written = s->taken;
    s->soundEnd = std::min(s->soundEnd, s->written);
    measure = true;
  }
}

int GetBuffer(SoundTrack* t, uint8_t** region, uint32_t* length) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return 0;
  if (!LockRegion(s, s->writePos, s->pendingBytes)) return 0;
  if (!s->lockRegion1 || s->lockLength1 == 0) {
    ReleaseLock(s);
    return 0;
  }
  *region = s->lockRegion1;
  *length = s->lockLength1;
  return 1;
}

int Submit(SoundTrack* t, uint32_t n) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return 0;
  n = std::min(n, s->lockLength1);
  s->writePos = uint32_t((uint64_t(s->writePos) + n) % s->bufferBytes);
  s->pendingBytes -= std::min(n, s->pendingBytes);
  ReleaseLock(s, n, 0);
  s->written += n;
  s->soundEnd = s->written;
  if (s->playing) SilenceAhead(t);
  if (!s->playing && s->pendingBytes == 0 && !s->stopped) StartPlayback(s);
  return 1;
}

void SetVolume(SoundTrack* t, uint32_t v) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return;
  s->volume = int32_t(std::min<uint32_t>(v, 0x7FFF));
  Apply(t);
}

void SetPan(SoundTrack* t, uint32_t p) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return;
  s->pan = int32_t(std::min<uint32_t>(p, 0x10000));
  Apply(t);
}

int Pause(SoundTrack* t, int flag) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return 0;
  if (flag) {
    if (s->playing) s->soundBuffer->Stop();
    s->stopped = 1;
    return 1;
  }
  if (!s->playing) {
    if (s->pendingBytes == 0) StartPlayback(s);  // the first fill completed during the pause
  } else {
    PlayVoice(s);
    // The cursors stood still while paused: the pause is no gap in the service.
    s->lastCheckTime = MovieTimeMs();
  }
  s->stopped = 0;
  return 0;
}

int Enable(SoundTrack* t, int flag) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return 0;
  if (flag) {
    if (!t->enabled) {
      s->playing = 0;
      t->enabled = 1;
      s->writePos = 0;
      s->pendingBytes = s->initialFill;
      s->written = s->soundEnd = s->played = s->taken = 0;
    }
  } else if (t->enabled) {
    if (s->soundBuffer->Stop()) {
      for (int i = 0; i < kMaxStatusPolls && s->soundBuffer->GetStatus() != 0; ++i) SleepMs(1);
    }
    s->soundBuffer->SetCurrentPosition(0);
    FillSilence(t, 0, s->bufferBytes);
    t->enabled = 0;
  }
  return int(t->enabled);
}

// Before playback starts everything written waits; afterwards what of the
// sound the play cursor has not reached.
uint32_t Queued(SoundTrack* t) {
  const SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer || !t->enabled) return 0;
  if (!s->playing) return uint32_t(std::min<uint64_t>(s->soundEnd, s->bufferBytes));
  return s->soundEnd > s->played ? uint32_t(std::min<uint64_t>(s->soundEnd - s->played, s->bufferBytes)) : 0;
}

void Close(SoundTrack* t) {
  SoundLoopState* s = State(t);
  if (!s) return;
  if (s->soundBuffer) {
    ReleaseLock(s);
    s->soundBuffer->Stop();
    s->stopped = 1;
    s->soundBuffer.reset();
    std::lock_guard lock(gLoopMutex);
    gLoop.openTracks--;
    ReleaseDeviceLocked();
  }
  delete s;
  t->backend = nullptr;
  t->enabled = 0;
}

void SetSpeakerList(SoundTrack* t, const uint32_t* values, uint32_t count) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return;
  count = std::min<uint32_t>(count, kSoundLoopSpeakers);
  if (!values) count = 0;
  s->speakerCount = count;
  std::copy_n(values, count, s->speakers);
  Apply(t);
}

void SetSpeakerVolumes(SoundTrack* t, const uint32_t* values, const int32_t* volumes, uint32_t count) {
  SoundLoopState* s = State(t);
  if (!s || !s->soundBuffer) return;
  count = std::min<uint32_t>(count, kSoundLoopSpeakers);
  if (!values || !volumes) count = 0;
  s->speakerVolumeCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    s->speakerVolumeList[i] = values[i];
    s->speakerVolumes[i] = SoundLoopSpeakerCentibels(volumes[i]);
  }
  Apply(t);
}

}  // namespace

int32_t SoundLoopVolumeCentibels(uint32_t volume) {
  const uint32_t v = std::min<uint32_t>(volume, 0x7FFF);
  if (v == 0) return kAudioSilenceCentibels;
  const double x = std::round(3333.3333 * std::log10(double(v) / 32767.0));
  return x < kAudioSilenceCentibels ? kAudioSilenceCentibels : int32_t(x);
}

int32_t SoundLoopPanCentibels(uint32_t pan) {
  return (int32_t(std::min<uint32_t>(pan, 0x10000)) - 0x8000) * 10000 / 32768;
}

int32_t SoundLoopSpeakerCentibels(int32_t volume) {
  // A negative volume has no logarithm: it counts as silence, as 0 does.
  if (volume <= 0) return kAudioSilenceCentibels;
  const int32_t v = std::min<int32_t>(volume, 0x7FFF);
  const double x = std::round(2000.0 * std::log10(double(v) / 32767.0));
  return x < kAudioSilenceCentibels ? kAudioSilenceCentibels : int32_t(x);
}

// The operations in slot order; the slots this back-end lacks stay null.
constexpr SoundDriver kDriver = {Ready,  GetBuffer,      Submit,            SetVolume, SetPan, Pause,
                                 Enable, Close,          SetSpeakerList,    SetSpeakerVolumes, Queued};

int SoundLoopOpen(SoundTrack* t, uint32_t sampleRate, uint32_t bits, uint32_t channels, uint32_t,
                  const SoundMovieInfo* movie) {
  if (!t) return 0;
  std::memset(static_cast<void*>(t), 0, sizeof *t);
  const AudioFormat format{sampleRate, bits, channels};
  if (!format.Valid()) return 0;
  AudioDevice* device;
  {
    std::lock_guard lock(gLoopMutex);
    if (!InitDeviceLocked(&format)) return 0;
    device = gLoop.device;
  }
  auto undoInit = [] {
    std::lock_guard lock(gLoopMutex);
    ReleaseDeviceLocked();
  };
  auto* s = new (std::nothrow) SoundLoopState;
  if (!s) {
    undoInit();
    return 0;
  }
  t->backend = s;
  t->rate = sampleRate;
  t->bits = bits;
  t->channels = channels;
  const uint64_t bytesPerSecond = uint64_t(bits / 8) * channels * sampleRate;
  s->bufferBytes = uint32_t((bytesPerSecond * 600 / 1000 + 1023) & ~uint64_t(1023));
  s->writeChunk = uint32_t((bytesPerSecond * 50 / 1000 + 255) & ~uint64_t(255));
  s->recheckMs = kSoundLoopRecheckMs;
  t->starved = 0;
  t->latencyMs = 0;
  // Whole frames only, so that the stream stays on the frame grid of the buffer.
  const uint32_t movieBytes = SoundMovieBytes(movie, uint32_t(bytesPerSecond), s->writeChunk);
  s->initialFill =
      SoundStartBytes(movie, s->bufferBytes, uint32_t(bytesPerSecond), bits, movieBytes) / format.BlockAlign() * format.BlockAlign();
  if (s->initialFill == 0) s->initialFill = format.BlockAlign();

  s->soundBuffer = device->OpenLoopVoice(format, s->bufferBytes);
  if (!s->soundBuffer) {
    delete s;
    std::memset(static_cast<void*>(t), 0, sizeof *t);
    undoInit();
    return 0;
  }
  t->minChunk = bits == 8 ? 2 * s->writeChunk : s->writeChunk;
  s->volume = s->pan = 0x7FFF;
  Apply(t);
  FillSilence(t, 0, s->bufferBytes);
  s->stopped = 0;
  s->playing = 0;
  s->writePos = 0;
  s->pendingBytes = s->initialFill;
  t->enabled = 1;
  t->driver = kDriver;
  std::lock_guard lock(gLoopMutex);
  gLoop.openTracks++;
  return 1;
}

SoundOpenRoutine SoundLoopProvider(void* parameter) {
  auto* wanted = static_cast<AudioDevice*>(parameter);
  std::lock_guard lock(gLoopMutex);
  if (!gLoop.chosen || wanted != gLoop.device) {
    // A chosen device, the shared one included, stays while tracks use it.
    if (gLoop.chosen && gLoop.openTracks > 0) return nullptr;
    if (gLoop.initCount > 0) return nullptr;
    gLoop.chosen = true;
    gLoop.device = wanted;
    gLoop.own = wanted == nullptr;
  }
  if (!InitDeviceLocked()) return nullptr;
  ReleaseDeviceLocked();
  return SoundLoopOpen;
}

int SoundLoopOpenTrackCount() {
  std::lock_guard lock(gLoopMutex);
  return gLoop.openTracks;
}

int SoundLoopDeviceUsers() {
  std::lock_guard lock(gLoopMutex);
  return gLoop.initCount;
}

}  // namespace tarn
