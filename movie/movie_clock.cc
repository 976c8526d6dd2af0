// The playback clock: frames are due at frames x 1000 x denominator /
// numerator ms after the clock start, scaled by the first track's speed.
#include "movie/movie_clock.h"

#include "common/movie_time.h"
#include "movie/movie_internal.h"

namespace tarn {
namespace {

// Due time of the next frame in ms after the clock start, scaled by the first
// track's speed (16.16). The rate numerator is not 0.
int64_t DueMs(const MovieState* m) {
  const uint64_t frames = uint32_t(m->clock.framesDecoded - m->clock.baseFrame);
  const uint64_t due = frames * 1000 * m->rateDenominator / m->rateNumerator;
  return int64_t(due * SoundSpeed(m) / 65536);
}

int64_t ElapsedMs(const MovieState* m, uint32_t t) { return int32_t(t - m->clock.adjust - m->clock.start); }

}  // namespace

void ClockInit(MovieState* m) {
  m->clock.twoFrameTime = m->rateNumerator ? uint32_t(uint64_t(2000) * m->rateDenominator / m->rateNumerator) : 2000;
}

void MovieStartClock(MovieState* m) {
  MovieClock& c = m->clock;
  if (c.running) return;
  c.running = 1;
  c.start = MovieTimeMs();
  c.baseFrame = c.framesDecoded - 1;
  c.pauseOffset = 0;
}

void ClockRestart(MovieState* m) {
  MovieClock& c = m->clock;
  c.running = 0;
  c.start = 0;
  c.adjust = 0;
  c.pauseOffset = 0;
}

void ClockSeek(MovieState* m) {
  MovieClock& c = m->clock;
  const uint32_t now = MovieTimeMs();
  c.running = 1;
  c.start = now;
  c.baseFrame = c.framesDecoded;
  c.adjust = 0;
  c.decayStep = 0;
  c.pauseOffset = 0;
  c.lateCopies = 0;
  c.copySkipped = 0;
  c.copySkipPending = 0;
  c.restartTime = now;
  c.restartTimeSet = 1;
  c.restartRequest = 0;
}

void ClockNoteFirstFrame(MovieState* m) {
  MovieClock& c = m->clock;
  const uint32_t now = MovieTimeMs();
  if (!c.restartTimeSet) {
    c.restartTime = now;
    c.restartTimeSet = 1;
  }
  if (now - c.restartTime > 300000) {
    c.restartTime = now;
    c.restartRequest = 1;
  }
}

bool ClockTakeRestartRequest(MovieState* m) {
  if (!m->clock.restartRequest) return false;
  m->clock.restartRequest = 0;
  return true;
}

bool ClockFrameDue(MovieState* m, uint32_t t) {
  MovieClock& c = m->clock;
  if (m->rateNumerator == 0) return true;
  const int64_t due = DueMs(m);
  const int64_t elapsed = ElapsedMs(m, t);
  if (elapsed < due) return false;
  const uint32_t late = uint32_t(elapsed - due);
  if (late > c.twoFrameTime) {
    if (m->sound.selectedCount == 0) {
      c.start = t;
      c.baseFrame = c.framesDecoded - 1;
      c.pauseOffset = 0;
    } else {
      c.adjust = late;
      c.decayStep = uint32_t(uint64_t(late) * m->rateDenominator / m->rateNumerator);
    }
  }
  c.adjust = c.adjust > c.decayStep ? c.adjust - c.decayStep : 0;
  return true;
}

bool ClockShouldSkipCopy(MovieState* m, uint32_t copyFlags) {
  MovieClock& c = m->clock;
  if (m->sound.selectedCount == 0 || m->rateNumerator == 0 || c.paused) {
    c.copySkipPending = 0;
    return false;
  }
  MovieStartClock(m);
  const uint32_t t = MovieTimeMs();
  const int64_t due = DueMs(m);
  const int64_t elapsed = ElapsedMs(m, t);
  if (elapsed < due) {
    c.copySkipPending = 0;
    return false;
  }
  if (elapsed - due <= int64_t(c.twoFrameTime)) {
    c.lateCopies = 0;
    c.copySkipPending = 0;
    return false;
  }
  if (++c.lateCopies > 3) {
    c.lateCopies = 0;
    return false;
  }
  if ((copyFlags | m->flags) & OPEN_NEVER_SKIP) return false;
  c.copySkipped = 1;
  c.copySkipPending = 1;
  StatsNoteSkippedCopy(m);
  return true;
}

void ClockPause(MovieState* m, bool pause, uint32_t t) {
  MovieClock& c = m->clock;
  if (pause && !c.paused) c.pauseOffset = c.running ? t - c.start : 0;
  c.paused = pause ? 1 : 0;
}

void ClockResume(MovieState* m) {
  m->clock.start = MovieTimeMs() - m->clock.pauseOffset;
  m->clock.running = 1;
}

}  // namespace tarn
