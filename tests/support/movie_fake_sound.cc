#include "tests/support/movie_fake_sound.h"

#include <cstring>

namespace tarn::test {
namespace {

FakeSoundState state;

FakeSoundDevice* Dev(SoundTrack* t) { return static_cast<FakeSoundDevice*>(t->backend); }

int Ready(SoundTrack* t) { return Dev(t)->ready ? 1 : 0; }

int GetBuffer(SoundTrack* t, uint8_t** region, uint32_t* length) {
  FakeSoundDevice* d = Dev(t);
  if (d->offers == 1) return 0;
  if (d->offers > 1) --d->offers;
  d->region.assign(d->bufferBytes, 0xCC);
  *region = d->region.data();
  *length = d->bufferBytes;
  return 1;
}

int Submit(SoundTrack* t, uint32_t length) {
  FakeSoundDevice* d = Dev(t);
  d->played.insert(d->played.end(), d->region.begin(), d->region.begin() + length);
  return 1;
}

int Pause(SoundTrack* t, int flag) {
  ++Dev(t)->pauseCalls;
  Dev(t)->lastPause = flag;
  return flag;
}

int Enable(SoundTrack* t, int flag) {
  ++Dev(t)->enableCalls;
  t->enabled = flag && Dev(t)->enabled;
  return int(t->enabled);
}

void Close(SoundTrack* t) { ++Dev(t)->closeCalls; }

int Open(SoundTrack* t, uint32_t sampleRate, uint32_t bits, uint32_t channels, uint32_t, const SoundMovieInfo* movie) {
  state.opens.push_back({sampleRate, bits, channels});
  if (movie) state.movies.push_back(*movie);
  if (state.refuseOpen || state.nextDevice >= 8) return 0;
  std::memset(static_cast<void*>(t), 0, sizeof(*t));
  AttachFakeDriver(t, &state.devices[state.nextDevice++]);
  t->rate = sampleRate;
  t->bits = bits;
  t->channels = channels;
  t->enabled = 1;
  t->minChunk = state.minChunk;
  return 1;
}

}  // namespace

FakeSoundState& FakeSound() { return state; }
void ResetFakeSound() { state = FakeSoundState{}; }

void AttachFakeDriver(SoundTrack* t, FakeSoundDevice* d) {
  t->driver.ready = Ready;
  t->driver.getBuffer = GetBuffer;
  t->driver.submit = Submit;
  t->driver.pause = Pause;
  t->driver.enable = Enable;
  t->driver.close = Close;
  t->backend = d;
}

SoundOpenRoutine FakeSoundProvider(void*) { return Open; }

}  // namespace tarn::test
