// The process-wide device factory and the shared device it opens on demand.
#include "platform/audio_device.h"

#include <mutex>

namespace tarn {

namespace {
std::mutex gDeviceMutex;
AudioDeviceFactory gFactory = nullptr;  // guarded by gDeviceMutex
std::weak_ptr<AudioDevice> gShared;     // guarded by gDeviceMutex
}  // namespace

void AudioSetDeviceFactory(AudioDeviceFactory factory) {
  std::lock_guard lock(gDeviceMutex);
  gFactory = factory;
}

std::shared_ptr<AudioDevice> AudioAcquireSharedDevice(const AudioFormat* preferred) {
  std::lock_guard lock(gDeviceMutex);
  if (auto device = gShared.lock()) return device;
  if (!gFactory) return nullptr;
  std::shared_ptr<AudioDevice> device = gFactory(preferred);
  gShared = device;
  return device;
}

}  // namespace tarn
