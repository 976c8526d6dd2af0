// The movie's clock and pacing: when the next frame is due on MovieTimeMs, how
// late playback is, the copy skip rule, pause, and the periodic restart of
// sound and clock. All times are ms from MovieTimeMs. Owned by movie_clock.cc.
#pragma once

#include <cstdint>

namespace tarn {

struct MovieState;

struct MovieClock {
  uint32_t recordDecoded;  // the loaded record was decoded: MovieDoFrame does not again
  uint32_t framesDecoded;  // decodes so far, counted from 1
  uint32_t running;
  uint32_t start;
  uint32_t baseFrame;      // framesDecoded at the start, minus 1
  uint32_t adjust;         // lateness being paid back
  uint32_t decayStep;
  uint32_t pauseOffset;
  uint32_t twoFrameTime;
  uint32_t paused;
  uint32_t lateCopies;     // 0..3
  uint32_t copySkipped;
  uint32_t copySkipPending;
  uint32_t restartTime;
  uint32_t restartTimeSet;
  uint32_t restartRequest;
};

// Sets the pacing for the rate in force.
void ClockInit(MovieState* m);

// Starts the clock if it is not running.
void MovieStartClock(MovieState* m);
// Stops it: the next start begins again from the frame then decoded.
void ClockRestart(MovieState* m);

// After a jump: the frame now loaded is due at once and the ones after it at
// the rate from now on; lateness, the copy skip state and the five-minute
// restart start again. A paused clock resumes from there.
void ClockSeek(MovieState* m);

// Loading frame 1: every five minutes of play asks for a restart of sound and
// clock, taken by the next decode (ClockTakeRestartRequest).
void ClockNoteFirstFrame(MovieState* m);
bool ClockTakeRestartRequest(MovieState* m);

// The wait's test at time t: true when the next frame is due. A frame more
// than two frames late moves the clock forward (without sound) or starts
// paying the lateness back (with sound).
bool ClockFrameDue(MovieState* m, uint32_t t);

// The lateness rule applied before copying a decoded frame: true means skip
// this copy. Counts the skipped copy and sets copySkipped/copySkipPending.
// copyFlags is the copy's flag word (its OPEN_NEVER_SKIP bit is honoured).
bool ClockShouldSkipCopy(MovieState* m, uint32_t copyFlags);

// Pause at time t keeps the clock's offset; resume starts it again from there.
void ClockPause(MovieState* m, bool pause, uint32_t t);
void ClockResume(MovieState* m);

}  // namespace tarn
