// The fake audio device: every effect is recorded, nothing plays by itself.
#include "platform/fake/fake_audio_device.h"

#include <algorithm>
#include <cassert>

namespace tarn {

namespace {
struct FakeFactoryState {
  bool fail = false;
  bool failVoices = false;
  int opens = 0;
  int live = 0;
  FakeAudioDevice* current = nullptr;
};
FakeFactoryState gFake;

template <class T>
void Forget(std::vector<T*>& list, T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

std::shared_ptr<AudioDevice> OpenFakeDevice(const AudioFormat* preferred) {
  if (gFake.fail) return nullptr;
  auto device = std::make_shared<FakeAudioDevice>();
  if (preferred) device->preferred = *preferred;
  device->failVoices = gFake.failVoices;
  gFake.opens++;
  gFake.live++;
  gFake.current = device.get();
  return device;
}
}  // namespace

FakeQueueVoice::FakeQueueVoice(FakeAudioDevice* d, const AudioFormat& f) : device(d), format(f) {
  device->queueVoices.push_back(this);
}

FakeQueueVoice::~FakeQueueVoice() {
  Reset();
  Forget(device->queueVoices, this);
}

void FakeQueueVoice::Write(AudioQueueBuffer* buffer) {
  writes.push_back(buffer);
  writeLengths.push_back(buffer->length);
  queued.push_back(buffer);
}

void FakeQueueVoice::Reset() {
  for (AudioQueueBuffer* b : queued) b->done.store(1, std::memory_order_release);
  queued.clear();
  resets++;
}

size_t FakeQueueVoice::PlayBuffers(size_t n) {
  size_t count = 0;
  while (count < n && !queued.empty()) {
    AudioQueueBuffer* b = queued.front();
    queued.pop_front();
    played.insert(played.end(), b->data, b->data + b->length);
    b->done.store(1, std::memory_order_release);
    count++;
  }
  return count;
}

FakeLoopVoice::FakeLoopVoice(FakeAudioDevice* d, const AudioFormat& f, uint32_t bytes)
    : device(d), format(f), buffer(bytes, 0xEE) {
  device->loopVoices.push_back(this);
}

FakeLoopVoice::~FakeLoopVoice() { Forget(device->loopVoices, this); }

void FakeLoopVoice::GetCurrentPosition(uint32_t* play, uint32_t* write) {
  positionReads++;
  if (!scriptedReadings.empty()) {
    *play = scriptedReadings.front().first;
    *write = scriptedReadings.front().second;
    scriptedReadings.pop_front();
    return;
  }
  *play = playCursor;
  *write = uint32_t((uint64_t(playCursor) + lead) % buffer.size());
}

bool FakeLoopVoice::Lock(uint32_t offset, uint32_t bytes, uint8_t** p1, uint32_t* n1, uint8_t** p2,
                         uint32_t* n2) {
  assert(!locked && offset < buffer.size() && bytes <= buffer.size());
  locked = true;
  locks++;
  const uint32_t first = std::min<uint32_t>(bytes, Size() - offset);
  *p1 = buffer.data() + offset;
  *n1 = first;
  *p2 = bytes > first ? buffer.data() : nullptr;
  *n2 = bytes - first;
  return true;
}

void FakeLoopVoice::Unlock(uint8_t*, uint32_t, uint8_t*, uint32_t) {
  assert(locked);
  locked = false;
}

bool FakeLoopVoice::Play() {
  playing = true;
  plays++;
  return true;
}

bool FakeLoopVoice::Stop() {
  playing = false;
  stops++;
  return true;
}

void FakeLoopVoice::SetCurrentPosition(uint32_t offset) {
  setPositions.push_back(offset);
  playCursor = offset % Size();
}

void FakeLoopVoice::Advance(uint32_t n) { playCursor = uint32_t((uint64_t(playCursor) + n) % Size()); }

FakeAudioDevice::~FakeAudioDevice() {
  assert(queueVoices.empty() && loopVoices.empty());
  gFake.live--;
  if (gFake.current == this) gFake.current = nullptr;
}

std::unique_ptr<AudioQueueVoice> FakeAudioDevice::OpenQueueVoice(const AudioFormat& format) {
  if (failVoices || !format.Valid()) return nullptr;
  return std::make_unique<FakeQueueVoice>(this, format);
}

std::unique_ptr<AudioLoopVoice> FakeAudioDevice::OpenLoopVoice(const AudioFormat& format, uint32_t bytes) {
  if (failVoices || !format.Valid() || bytes == 0) return nullptr;
  return std::make_unique<FakeLoopVoice>(this, format, bytes);
}

ScopedFakeAudioDevice::ScopedFakeAudioDevice() {
  gFake = FakeFactoryState{};
  AudioSetDeviceFactory(OpenFakeDevice);
}

ScopedFakeAudioDevice::~ScopedFakeAudioDevice() { AudioSetDeviceFactory(nullptr); }

FakeAudioDevice* ScopedFakeAudioDevice::Device() const { return gFake.current; }
int ScopedFakeAudioDevice::Opens() const { return gFake.opens; }
int ScopedFakeAudioDevice::Live() const { return gFake.live; }
void ScopedFakeAudioDevice::SetFail(bool fail) { gFake.fail = fail; }
void ScopedFakeAudioDevice::SetFailVoices(bool fail) { gFake.failVoices = fail; }

}  // namespace tarn
