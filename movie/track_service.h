// The core side of sound output over plain SoundTrack records: the ring of
// decoded samples between the frame step (which writes it) and the track
// service (which drains it into the back-end's device buffers), and the
// process-wide sound back-end that opens the tracks.
#pragma once

#include <cstdint>

#include "sound/sound_track.h"

namespace tarn {

// Appends n decoded bytes at writePos, dropping the oldest bytes when they do
// not fit; fillCount never exceeds ringSize. A block longer than the whole
// ring keeps only its last ringSize bytes. Caller holds the sound lock.
void SoundRingWrite(SoundTrack* t, const uint8_t* src, uint32_t n);

// Drops the oldest bytes so that at most n remain. Caller holds the sound lock.
void SoundRingKeepNewest(SoundTrack* t, uint32_t n);

// Empties the ring (positions to ringStart, fillCount 0).
void SoundRingReset(SoundTrack* t);

// Puts preloadBytes of silence in front of the ring's data (after a reset).
void SoundPrefillSilence(SoundTrack* t);

// Moves ring bytes of count tracks to their devices, converting to 8 bits on
// the way for an 8-bit device; frame is the movie's current frame (the last
// part of a track, past its end frame, is fed whatever the ring holds).
// Caller holds the sound lock.
void SoundServiceTracksLocked(SoundTrack* tracks, uint32_t count, int64_t frame);

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
