// The SDL2 audio device behind the platform audio layer. Include from the
// player and the tools only; the library core sees just platform/audio_device.h.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/audio_device.h"

namespace tarn {

// The device's own format: signed 16-bit at this rate and channel count; SDL
// converts further when the hardware wants something else.
struct SdlAudioConfig {
  uint32_t rate = 44100;
  uint32_t channels = 2;   // 1 or 2
  uint32_t samples = 1024;  // frames per mixing pass
};

// Installs the SDL device as the factory of the shared device, with config
// for every later open; a device opened for a voice takes that voice's rate
// and channel count instead (SDL converts for the hardware). Call at
// start-up, before movies open.
void SdlAudioInstall(const SdlAudioConfig& config = {});

// Opens an SDL device now: null when SDL has no audio driver or the device
// does not open (SdlAudioLastError says why).
std::shared_ptr<AudioDevice> SdlAudioOpenDevice(const SdlAudioConfig& config);

// SDL's text for the last failure on this thread.
const char* SdlAudioLastError();

}  // namespace tarn
