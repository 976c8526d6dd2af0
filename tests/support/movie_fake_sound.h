// A sound back-end for tests: records the open calls it gets and collects the
// bytes the track service submits. One device per track record, process-wide.
#pragma once

#include <cstdint>
#include <vector>

#include "sound/sound_track.h"

namespace tarn::test {

struct FakeSoundOpen {
  uint32_t sampleRate, bits, channels;
};

struct FakeSoundDevice {
  bool ready = true;        // answer of the ready slot
  uint32_t bufferBytes = 4096;  // length getBuffer grants
  uint32_t offers = 0;      // getBuffer calls answered before refusing (0: unlimited)
  bool enabled = true;      // what enable reports
  std::vector<uint8_t> region;
  std::vector<uint8_t> played;  // submitted bytes, in order
  int pauseCalls = 0, enableCalls = 0, closeCalls = 0;
  int lastPause = -1;
};

struct FakeSoundState {
  std::vector<FakeSoundOpen> opens;
  std::vector<SoundMovieInfo> movies;  // what each open was told of the movie
  bool refuseOpen = false;
  uint32_t minChunk = 0;  // what each open asks for
  FakeSoundDevice devices[8];
  int nextDevice = 0;
};

FakeSoundState& FakeSound();  // cleared by ResetFakeSound
void ResetFakeSound();

// Fills t's driver slots with the fake's, bound to device d.
void AttachFakeDriver(SoundTrack* t, FakeSoundDevice* d);

// The provider to give MovieSetSoundSystem.
SoundOpenRoutine FakeSoundProvider(void* parameter);

}  // namespace tarn::test
