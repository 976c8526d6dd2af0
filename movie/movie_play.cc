// Frame stepping on the movie's own clock: one decode (audio into the track
// rings, video into the plane set), loading the next record, waiting for the
// due time, pause and the sound switch. Each step drives the sub-records
// through their owners; the decode reads only inside the current frame
// record, whose bounds were checked when it was loaded.
#include <algorithm>
#include <string>

#include "common/last_error.h"
#include "common/movie_time.h"
#include "movie/movie_internal.h"
#include "movie/movie_threads.h"

namespace tarn {

uint32_t MovieDoFrame(Movie* movie) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if (m->clock.recordDecoded) return 0;
  if (ClockTakeRestartRequest(m)) {
    if (m->sound.playing) {
      SoundSwitch(m, 0);
      SoundSwitch(m, 1);
    }
    ClockRestart(m);
  }
  if (m->clock.paused) ClockRestart(m);
  m->clock.copySkipped = 0;

  const uint32_t t0 = MovieTimeMs();
  if (!StatsBeginFrame(m, t0)) MovieServiceSound(m);
  if (InputFailed(m)) m->readFailed = 1;
  if (m->readFailed || m->source.frameData == nullptr) {
    m->readFailed = 1;
    return 1;
  }

  const uint8_t* const end = m->source.frameData + m->source.frameSize;
  bool malformed = false;
  PictureWakeThreads(m);
  const uint8_t* video = SoundDecodeFrame(m, m->source.frameData, end, &malformed);

  const uint32_t t1 = MovieTimeMs();
  if (m->picture.planes) {
    PictureBeginDecode(m);
    InputTopUpForDecode(m);
  }
  PictureDecode(m, video, end, malformed);

  MovieServiceSound(m);
  ++m->clock.framesDecoded;
  m->dirtyRectCount = -1;
  MovieStartClock(m);
  StatsEndFrame(m, t0, t1, MovieTimeMs());
  m->clock.recordDecoded = 1;
  m->previousFrame = m->currentFrame;
  return 0;
}

uint32_t MovieGoto(Movie* movie, uint32_t frame) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if (frame == 0) {
    MovieSetError("Frame numbers count from 1.");
    return 0;
  }
  if (InputFailed(m)) {
    m->readFailed = 1;
    MovieSetError("Reading the movie has failed.");
    return 0;
  }
  frame = std::min(frame, m->frameCount);
  // A damaged record elsewhere does not stop a jump to records that can be read.
  m->readFailed = 0;
  const uint32_t t0 = MovieTimeMs();
  StatsCloseIntervals(m, t0);

  // The picture: decode from the nearest key frame at or before the target up
  // to the frame before it (or on from the frame the planes hold, when that
  // lies between the two), alternating the buffer sets as playback does.
  if (m->picture.planes) {
    const uint32_t key = SourceKeyFrameAtOrBefore(m, frame);
    const uint32_t held = m->picture.heldFrame;
    for (uint32_t f = held >= key && held < frame ? held + 1 : key; f < frame; ++f) {
      if (!SourceLoadRecord(m, f)) break;
      InputTopUpForDecode(m);
      const uint8_t* const end = m->source.frameData + m->source.frameSize;
      bool malformed = false;
      const uint8_t* video = FrameVideoStart(m->source.frameData, end, m->source.trackCount, &malformed);
      PictureDecode(m, video, end, malformed);
    }
  }
  if (!m->readFailed) SoundRestartAt(m, frame);
  if (!m->readFailed) SourceLoadRecord(m, frame);
  PictureNoteSeek(m);
  ClockSeek(m);
  StatsNoteSeek(m, t0, MovieTimeMs());
  m->dirtyRectCount = -1;
  if (m->readFailed || InputFailed(m)) {
    m->readFailed = 1;
    MovieSetError(("Error reading frame " + std::to_string(m->currentFrame) + ".").c_str());
    return 0;
  }
  return 1;
}

void MovieNextFrame(Movie* movie) {
  if (!movie) return;
  MovieState* m = AsState(movie);
  if (SoundTakeUnderrun(m)) {
    StatsNoteSoundSkip(m);
    // Only this thread ever holds both, so taking them in a fixed order cannot deadlock.
    MovieNodeLock(&m->sound.node);
    MovieNodeLock(&m->input.reader.serviceNode);
    SoundSwitch(m, 0);
    InputRefillAfterUnderrun(m);
    ClockRestart(m);
    SoundSwitch(m, 1);
    MovieNodeUnlock(&m->input.reader.serviceNode);
    MovieNodeUnlock(&m->sound.node);
  }
  MovieServiceSound(m);
  StatsCloseCopyInterval(m, MovieTimeMs());
  const bool wrap = m->currentFrame >= m->frameCount;
  MovieReadFrame(m, wrap ? 1 : m->currentFrame + 1);
  if (wrap && m->frameCount > 1) SoundDecodeAhead(m);
}

uint32_t MovieWait(Movie* movie) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if ((m->clock.framesDecoded == 0 && !m->clock.paused) || m->readFailed) return 0;
  MovieStartClock(m);
  MovieServiceSound(m);
  const uint32_t t = MovieTimeMs();
  StatsCloseIntervals(m, t);

  const bool waitForSound = m->sound.selectedCount && !m->sound.playing;
  if (!m->clock.paused && !waitForSound && ClockFrameDue(m, t)) return 0;

  // Waiting: give the time to the reader.
  if (!MovieInMemory(m)) InputFillWhileWaiting(m);
  return 1;
}

uint32_t MoviePause(Movie* movie, uint32_t pause) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  const uint32_t t = MovieTimeMs();
  StatsCloseIntervals(m, t);
  const bool wasPaused = m->clock.paused;
  ClockPause(m, pause != 0, t);
  SoundPauseTracks(m, pause != 0);
  if (m->clock.framesDecoded && m->sound.selectedCount) MovieServiceSound(m);
  if (!pause && wasPaused) ClockResume(m);
  return m->clock.paused;
}

uint32_t MovieSoundSwitch(Movie* movie, uint32_t on) {
  if (!movie) return 0;
  return SoundSwitch(AsState(movie), on);
}

uint32_t MovieSoundPendingMs(Movie* movie) { return movie ? SoundPendingMs(AsState(movie)) : 0; }
uint32_t MovieSoundLeadMs(const Movie* movie) { return movie ? SoundLeadMs(AsState(movie)) : 0; }

}  // namespace tarn
