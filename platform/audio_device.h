// The platform audio layer: one shared output device that mixes any number of
// voices, each in its own PCM format. Two voice kinds serve the two sound
// back-ends: a queue of prepared buffers with done flags, and a looping buffer
// with play and write cursors. The SDL implementation installs a factory at
// start-up; tests install a fake whose cursors and flags they move by hand.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace tarn {

// Interleaved little-endian PCM: 8-bit unsigned or 16-bit signed samples.
struct AudioFormat {
  uint32_t rate = 0;      // frames per second, > 0
  uint32_t bits = 0;      // 8 or 16
  uint32_t channels = 0;  // 1 or 2
  uint32_t BlockAlign() const { return bits / 8 * channels; }
  bool Valid() const {
    return rate > 0 && rate <= 1000000 && (bits == 8 || bits == 16) && (channels == 1 || channels == 2);
  }
};

// A buffer handed to a queue voice. The owner fills data and length and clears
// done before Write; the device reads the bytes on its own thread and sets done
// (release order) when it no longer needs them. Until then the owner must not
// touch the bytes nor free the buffer.
struct AudioQueueBuffer {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  std::atomic<uint32_t> done{1};
};

// Buffers play back to back in the order written.
class AudioQueueVoice {
 public:
  virtual ~AudioQueueVoice() = default;  // resets first: no buffer stays referenced
  virtual void Write(AudioQueueBuffer* buffer) = 0;
  virtual void Pause() = 0;
  virtual void Restart() = 0;
  // Drops every written buffer (each gets done) and leaves the voice running.
  virtual void Reset() = 0;
  // Left gain in the low 16 bits, right gain in the high 16 bits; 0xFFFF is unity.
  virtual void SetVolume(uint32_t leftRight) = 0;
};

inline constexpr uint32_t AUDIO_LOOP_PLAYING = 1u << 0;  // GetStatus: the buffer is playing
inline constexpr uint32_t AUDIO_LOOP_LOOPING = 1u << 2;  // GetStatus: ... and loops

inline constexpr int32_t kAudioSilenceCentibels = -10000;  // volume and pan extreme: silence

// A buffer of a fixed size played in a loop from the play cursor. The device
// takes bytes ahead of what is heard: the write cursor (where it is safe to
// write again) leads the play cursor by what the device has taken already.
class AudioLoopVoice {
 public:
  virtual ~AudioLoopVoice() = default;
  virtual uint32_t Size() const = 0;
  // Offsets 0 .. Size()-1.
  virtual void GetCurrentPosition(uint32_t* play, uint32_t* write) = 0;
  // Locks bytes (<= Size()) at offset (< Size()) for writing: a first region
  // up to the end of the buffer and, when the request wraps, a second one
  // from offset 0; what the regions hold before they are written is
  // unspecified. Every Lock is followed by one Unlock with the regions as
  // returned and the bytes written at the start of each (at most its
  // length); the rest of the buffer keeps its contents. A lost buffer is
  // never reported.
  [[nodiscard]] virtual bool Lock(uint32_t offset, uint32_t bytes, uint8_t** p1, uint32_t* n1,
                                  uint8_t** p2, uint32_t* n2) = 0;
  virtual void Unlock(uint8_t* p1, uint32_t n1, uint8_t* p2, uint32_t n2) = 0;
  virtual bool Play() = 0;  // looping, from the play cursor
  virtual bool Stop() = 0;  // keeps the cursors
  virtual void SetCurrentPosition(uint32_t offset) = 0;
  virtual uint32_t GetStatus() = 0;  // AUDIO_LOOP_* bits
  virtual void SetFrequency(uint32_t rate) = 0;
  // Hundredths of a decibel: pan -10000 (left only) .. 10000 (right only),
  // volume -10000 (silent) .. 0 (unity).
  virtual void SetPan(int32_t pan) = 0;
  virtual void SetVolume(int32_t volume) = 0;
};

// The output device. Voices must be destroyed before the device.
class AudioDevice {
 public:
  virtual ~AudioDevice() = default;
  [[nodiscard]] virtual std::unique_ptr<AudioQueueVoice> OpenQueueVoice(const AudioFormat& format) = 0;
  [[nodiscard]] virtual std::unique_ptr<AudioLoopVoice> OpenLoopVoice(const AudioFormat& format,
                                                                      uint32_t bytes) = 0;
};

// Opens a device, or returns null when there is none. preferred (may be null)
// is the format of the voice that asked first: a device that can run at its
// rate and channel count plays that voice without converting it.
using AudioDeviceFactory = std::shared_ptr<AudioDevice> (*)(const AudioFormat* preferred);

// Installs the process-wide factory (null removes it). Install before any movie opens.
void AudioSetDeviceFactory(AudioDeviceFactory factory);

// The shared device: the first caller opens it through the factory (with its
// voice's format as the preference), and it closes when the last reference
// goes. Null with no factory or when opening fails. Thread-safe.
std::shared_ptr<AudioDevice> AudioAcquireSharedDevice(const AudioFormat* preferred = nullptr);

}  // namespace tarn
