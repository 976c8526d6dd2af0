// The buffer-queue sound back-end: sixteen device buffers of 1/16 s that the
// track service fills in turn, a half-second preroll before the device starts,
// done-flag polling and starvation when every buffer has played out.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/audio_device.h"
#include "sound/sound_track.h"

namespace tarn {

inline constexpr int kSoundQueueBuffers = 16;

// The back-end area of a queue track (SoundTrack::backend).
struct SoundQueueState {
  uint32_t volume = 0;          // 0 .. 0x7FFF
  uint32_t pan = 0;             // 0 .. 0x10000
  uint32_t started = 0;         // the preroll has been queued to the device
  uint32_t paused = 0;
  int32_t currentIndex = -1;    // the free buffer chosen by ready, -1 when none
  int32_t lastIndex = -1;       // the buffer most recently submitted, -1 after a reset
  uint32_t submittedBytes = 0;  // since the last (re)start; drives the preroll
  uint32_t prerollBytes = 0;    // min(half a second, movieSoundBytes, one packet's sound)
  uint32_t movieSoundBytes = 0;
  SoundMovieInfo movie{};       // what the open was told, for every reopen
  uint32_t bufferBytes = 0;
  bool volumeApplied = false;   // setVolume or setPan was used: reapply on every device open
  std::shared_ptr<AudioDevice> deviceRef;  // keeps the shared device open while the voice lives
  std::unique_ptr<AudioQueueVoice> device;  // null when closed
  // headers[i].length is what was submitted into buffer i, so a short buffer
  // never plays stale bytes after its data. A buffer is done once played.
  AudioQueueBuffer headers[kSoundQueueBuffers];
  uint8_t* bufferBlock = nullptr;  // 16 x bufferBytes
};

// The open routine (SoundOpenRoutine). Ignores movieFlags; reads from movie
// only its frame count and rate (movie may be null: one second of sound).
int SoundQueueOpen(SoundTrack* track, uint32_t sampleRate, uint32_t bits, uint32_t channels,
                   uint32_t movieFlags, const SoundMovieInfo* movie);

// The provider for MovieSetSoundSystem: ignores its parameter; null when no
// audio device can be opened.
SoundOpenRoutine SoundQueueProvider(void* parameter);

inline SoundQueueState* SoundQueueStateOf(const SoundTrack* track) {
  return static_cast<SoundQueueState*>(track->backend);
}

}  // namespace tarn
