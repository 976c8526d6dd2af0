// A device that plays nothing by itself: tests mark queue buffers done and move
// loop cursors by hand, and read back what the back-ends wrote and set.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "platform/audio_device.h"

namespace tarn {

class FakeAudioDevice;

class FakeQueueVoice final : public AudioQueueVoice {
 public:
  FakeQueueVoice(FakeAudioDevice* device, const AudioFormat& format);
  ~FakeQueueVoice() override;
  void Write(AudioQueueBuffer* buffer) override;
  void Pause() override { paused = true; }
  void Restart() override { paused = false; }
  void Reset() override;
  void SetVolume(uint32_t leftRight) override { volume = leftRight; volumeCalls++; }

  // Plays the oldest n written buffers (fewer when fewer are queued): their
  // bytes are appended to played and their done flags set. Returns the count.
  size_t PlayBuffers(size_t n);
  size_t PlayAll() { return PlayBuffers(queued.size()); }

  FakeAudioDevice* device;
  AudioFormat format;
  std::deque<AudioQueueBuffer*> queued;  // written and not yet done, oldest first
  std::vector<uint32_t> writeLengths;    // length of every Write, in order
  std::vector<const AudioQueueBuffer*> writes;
  std::vector<uint8_t> played;
  bool paused = false;
  uint32_t volume = 0xFFFFFFFFu;
  int volumeCalls = 0;
  int resets = 0;
};

class FakeLoopVoice final : public AudioLoopVoice {
 public:
  FakeLoopVoice(FakeAudioDevice* device, const AudioFormat& format, uint32_t bytes);
  ~FakeLoopVoice() override;
  uint32_t Size() const override { return uint32_t(buffer.size()); }
  void GetCurrentPosition(uint32_t* play, uint32_t* write) override;
  bool Lock(uint32_t offset, uint32_t bytes, uint8_t** p1, uint32_t* n1, uint8_t** p2,
            uint32_t* n2) override;
  void Unlock(uint8_t* p1, uint32_t n1, uint8_t* p2, uint32_t n2) override;
  bool Play() override;
  bool Stop() override;
  void SetCurrentPosition(uint32_t offset) override;
  uint32_t GetStatus() override { return playing ? AUDIO_LOOP_PLAYING | AUDIO_LOOP_LOOPING : 0; }
  void SetFrequency(uint32_t rate) override { frequency = rate; }
  void SetPan(int32_t p) override { pan = p; }
  void SetVolume(int32_t v) override { volume = v; }

  // Moves the play cursor forward by n bytes (modulo the size); the write
  // cursor stays lead bytes ahead.
  void Advance(uint32_t n);

  FakeAudioDevice* device;
  AudioFormat format;
  std::vector<uint8_t> buffer;
  uint32_t playCursor = 0;
  uint32_t lead = 0;  // write cursor = play cursor + lead
  // Readings GetCurrentPosition returns first (play, write), then the cursors.
  std::deque<std::pair<uint32_t, uint32_t>> scriptedReadings;
  int positionReads = 0;
  bool playing = false;
  bool locked = false;
  int plays = 0;
  int stops = 0;
  int locks = 0;
  std::vector<uint32_t> setPositions;
  uint32_t frequency = 0;
  int32_t pan = 1;     // 1: never set
  int32_t volume = 1;  // 1: never set
};

class FakeAudioDevice final : public AudioDevice {
 public:
  ~FakeAudioDevice() override;
  std::unique_ptr<AudioQueueVoice> OpenQueueVoice(const AudioFormat& format) override;
  std::unique_ptr<AudioLoopVoice> OpenLoopVoice(const AudioFormat& format, uint32_t bytes) override;

  bool failVoices = false;  // voice opens return null
  AudioFormat preferred;    // the format the first voice asked the factory for
  std::vector<FakeQueueVoice*> queueVoices;  // live voices, oldest first
  std::vector<FakeLoopVoice*> loopVoices;
};

// Installs a factory that opens a new FakeAudioDevice each time the shared
// device is first acquired; restores no factory at the end of the scope.
class ScopedFakeAudioDevice {
 public:
  ScopedFakeAudioDevice();
  ~ScopedFakeAudioDevice();
  // The device currently open, or null.
  FakeAudioDevice* Device() const;
  int Opens() const;
  int Live() const;
  // The next factory calls fail (no device).
  void SetFail(bool fail);
  // Voice opens on devices opened from now on fail.
  void SetFailVoices(bool fail);
};

}  // namespace tarn
