// The core side of sound output: the ring protocol between the frame step and
// the track service, the silence preload, and the process-wide back-end.
#pragma once

#include <cstdint>

#include "sound/sound_track.h"

namespace tarn {

struct MovieState;

// Appends n decoded bytes at writePos, dropping the oldest bytes when they do
// not fit; fillCount never exceeds ringSize. A block longer than the whole
// ring keeps only its last ringSize bytes. Caller holds the sound lock.
void SoundRingWrite(SoundTrack* t, const uint8_t* src, uint32_t n);

// Empties the ring (positions to ringStart, fillCount 0).
void SoundRingReset(SoundTrack* t);

// Puts preloadBytes of silence in front of the ring's data (after a reset).
void SoundPrefillSilence(SoundTrack* t);

// Moves ring bytes to each selected track's device. Takes the sound lock
// without waiting and returns at once when it is busy. Does nothing for a
// movie without selected tracks.
void SoundServiceTracks(MovieState* m);
// The same with the sound lock already held by the caller.
void SoundServiceTracksLocked(MovieState* m);

// The installed back-end's open routine, or null.
SoundOpenRoutine SoundInstalledOpen();
// Count of open sound tracks in the process; while non-zero the back-end
// cannot be exchanged.
void SoundNoteTrackOpened();
void SoundNoteTrackClosed();
uint32_t SoundOpenTrackCount();
// Forgets the installed back-end (tests).
void SoundResetSystemForTesting();

}  // namespace tarn
