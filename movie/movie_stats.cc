// The statistics records: totals since playback started and figures over the
// last few frames from the per-frame history rings.
#include <algorithm>
#include <cstring>

#include "common/movie_time.h"
#include "movie/movie_internal.h"

namespace tarn {
namespace {

// Closes the caller's copy interval and books the slowest frames, as a wait does.
void CloseIntervals(MovieState* m) {
  const uint32_t t = MovieTimeMs();
  CloseCopyInterval(m, t);
  UpdateSlowest(m, t);
}

uint32_t Clamp32(uint64_t v) { return uint32_t(std::min<uint64_t>(v, UINT32_MAX)); }

}  // namespace

void MovieGetSummary(Movie* movie, PlaybackSummary* s) {
  if (!movie || !s) return;
  MovieState* m = AsState(movie);
  CloseIntervals(m);
  std::memset(s, 0, sizeof(*s));
  IoReader& r = m->reader;
  s->width = m->width;
  s->height = m->height;
  s->playbackTime = m->playbackStarted ? MovieTimeMs() - m->playbackStart : 0;
  s->fileRateNumerator = m->headerRateNumerator;
  s->fileRateDenominator = m->headerRateDenominator;
  s->playedRateNumerator = m->rateNumerator;
  s->playedRateDenominator = m->rateDenominator;
  s->openTime = m->openTime;
  s->frameCount = m->frameCount;
  s->framesPlayed = m->framesDecoded;
  s->skippedFrames = 0;
  s->skippedCopies = m->skippedCopies;
  s->soundSkips = m->soundSkips;
  s->copyTime = m->copyTime;
  s->readTime = IoReaderLoad(r.bufferedReadTime);
  s->videoTime = m->videoTime;
  s->audioTime = m->audioTime;
  s->idleReadTime = IoReaderLoad(r.idleReadTime);
  s->backgroundReadTime = IoReaderLoad(r.backgroundReadTime);
  s->readSpeed = Clamp32(uint64_t(IoReaderLoad(r.bytesRead)) * 1000 / (uint64_t(IoReaderLoad(r.readTime)) + 1));
  s->slowestFrameTime = m->slowestTime[0];
  s->secondSlowestFrameTime = m->slowestTime[1];
  s->slowestFrame = m->slowestFrame[0];
  s->secondSlowestFrame = m->slowestFrame[1];
  // Data between the first frame record and the size field's end; a zero rate
  // denominator gives no rate rather than a division by zero.
  const uint64_t first = m->index.Offset(0);
  const uint64_t data = m->sizeMinus8 > first ? m->sizeMinus8 - first : 0;
  const uint64_t per = uint64_t(m->frameCount) * m->headerRateDenominator;
  s->averageDataRate = per ? Clamp32(data * m->headerRateNumerator / per) : 0;
  s->averageFrameSize = Clamp32(data / m->frameCount);
  s->memoryUsed = Clamp32(m->memoryUsed);
  s->ringSize = r.ringSize;
  s->ringHighWater = IoReaderLoad(r.highWater);
  s->peakSecondAmount = m->peakAmount;
  s->peakWindowFrame = m->peakStart + 1;
}

void MovieGetRealtime(uint32_t n, Movie* movie, RealtimeStats* s) {
  if (!movie || !s) return;
  MovieState* m = AsState(movie);
  CloseIntervals(m);
  std::memset(s, 0, sizeof(*s));
  const uint32_t r = m->roundedRate;
  const uint32_t current = m->currentFrame == 0xFFFFFFFFu ? 1 : m->currentFrame;
  if (n == 0 || n >= r) n = r - 1;
  n = std::min(n, current - 1);
  if (n == 0) n = 1;
  const uint32_t newest = m->historyIndex;
  const uint32_t older = uint32_t((uint64_t(newest) + n) % r);
  auto diff = [&](uint32_t array) { return m->history[array][newest] - m->history[array][older]; };
  s->frame = m->previousFrame;
  s->rateNumerator = m->rateNumerator;
  s->rateDenominator = m->rateDenominator;
  s->framesInWindow = n;
  s->windowTime = diff(HISTORY_TIME);
  if (s->windowTime == 0) s->windowTime = 1;
  s->videoTime = diff(HISTORY_VIDEO);
  s->audioTime = diff(HISTORY_AUDIO);
  s->readTime = diff(HISTORY_BUFFERED_READ);
  s->idleReadTime = diff(HISTORY_IDLE_READ);
  s->backgroundReadTime = diff(HISTORY_BACKGROUND_READ);
  s->copyTime = diff(HISTORY_COPY);
  s->bufferTarget = IoReaderLoad(m->reader.target);
  s->bufferHeld = IoReaderLoad(m->reader.held);
  if (current <= m->frameCount && current >= n) {
    const uint64_t a = m->index.Raw(current - n), b = m->index.Raw(current);
    const uint64_t per = uint64_t(m->headerRateDenominator) * n;
    s->dataRate = b > a && per ? Clamp32((b - a) * m->headerRateNumerator / per) : 0;
  }
}

}  // namespace tarn
