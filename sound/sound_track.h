// SoundTrack: the record a sound back-end shares with the movie core, with the
// SoundDriver operations at its head in slot order (the ten every back-end
// has, and a query of what the device still has to play), and the ring of decoded
// 16-bit samples that the frame step fills and the track service drains.
#pragma once

#include <cstdint>

namespace tarn {

struct AudioDecoder;
struct SoundTrack;

struct SoundDriver {
  int (*ready)(SoundTrack* t);                                        // 0
  int (*getBuffer)(SoundTrack* t, uint8_t** region, uint32_t* length);  // 1, device bytes
  int (*submit)(SoundTrack* t, uint32_t length);                      // 2
  void (*setVolume)(SoundTrack* t, uint32_t volume);                  // 3
  void (*setPan)(SoundTrack* t, uint32_t pan);                        // 4, 0..0x10000
  int (*pause)(SoundTrack* t, int flag);                              // 5
  int (*enable)(SoundTrack* t, int flag);                             // 6
  void (*close)(SoundTrack* t);                                       // 7
  void (*setSpeakerList)(SoundTrack* t, const uint32_t* list, uint32_t count);  // 8
  void (*setSpeakerVolumes)(SoundTrack* t, const uint32_t* list, const int32_t* volumes,
                            uint32_t count);  // 9
  uint32_t (*queued)(SoundTrack* t);  // 10: device bytes handed over and not yet played
};

// A plain record: the back-end's open zeroes it with memset. fillCount changes
// only by atomic adds (std::atomic_ref) on both sides.
struct SoundTrack {
  SoundDriver driver;       // back-end
  uint32_t ringSize;        // core: largest decoded packet rounded up to 256
  uint8_t* ringStart;       // core
  uint8_t* ringEnd;         // core
  uint8_t* writePos;        // core (frame step)
  uint8_t* readPos;         // core (service)
  AudioDecoder* decoder;    // core
  uint32_t fillCount;       // both sides, atomic adds
  uint32_t output8Bit;      // core
  int32_t endFrame;         // core
  uint32_t preloadBytes;    // core
  uint32_t minChunk;        // back-end
  uint32_t lengthMask;      // back-end, 0 becomes all ones at open
  uint32_t starved;         // back-end sets, core clears
  uint32_t selfServiced;    // back-end
  uint32_t enabled;         // back-end
  int32_t latencyMs;        // back-end
  uint32_t speed;           // core, 16.16
  uint32_t rate;            // back-end: the device format
  uint32_t bits;
  uint32_t channels;
  void* backend;            // back-end's private state, owned and freed by its close
};

// What a back-end is told of the movie it plays: its length in frames and the
// rate in force, from which it sizes buffers for the whole movie's sound, and
// the most sound one frame brings, which bounds what it may wait for before
// the device starts (a movie whose first frame carries no lead would
// otherwise run its pictures that far ahead of the sound).
struct SoundMovieInfo {
  uint32_t frameCount;
  uint32_t rateNumerator;
  uint32_t rateDenominator;
  uint32_t packetBytes = 0;  // the track's largest packet in 16-bit ring bytes; 0: unknown
};

// A back-end's open routine: non-zero on success. movie may be null.
using SoundOpenRoutine = int (*)(SoundTrack* track, uint32_t sampleRate, uint32_t bits, uint32_t channels,
                                 uint32_t movieFlags, const SoundMovieInfo* movie);
// A provider returns the back-end's open routine (or null) for a parameter.
using SoundProvider = SoundOpenRoutine (*)(void* parameter);

}  // namespace tarn
