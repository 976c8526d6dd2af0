// The statistics records: totals since playback started and figures over the
// last few frames from the per-frame history rings.
#include "movie/movie_stats.h"

#include <algorithm>
#include <cstring>

#include "common/movie_time.h"
#include "movie/movie_internal.h"

namespace tarn {
namespace {

uint32_t Clamp32(uint64_t v) { return uint32_t(std::min<uint64_t>(v, UINT32_MAX)); }

}  // namespace

void StatsInit(MovieState* m, uint32_t* const history[kHistoryArrays]) {
  for (uint32_t i = 0; i < kHistoryArrays; ++i) m->stats.history[i] = history[i];
}

bool StatsBeginFrame(MovieState* m, uint32_t t0) {
  MovieStats& s = m->stats;
  IoReader& r = m->input.reader;
  const uint32_t rate = m->source.roundedRate;
  s.historyIndex = s.historyIndex == 0 ? rate - 1 : s.historyIndex - 1;
  const uint32_t hi = s.historyIndex;
  s.history[HISTORY_TIME][hi] = t0;
  s.history[HISTORY_AUDIO][hi] = s.audioTime;
  s.history[HISTORY_VIDEO][hi] = s.videoTime;
  s.history[HISTORY_COPY][hi] = s.copyTime;
  s.history[HISTORY_BUFFERED_READ][hi] = IoReaderLoad(r.bufferedReadTime);
  s.history[HISTORY_IDLE_READ][hi] = IoReaderLoad(r.idleReadTime);
  s.history[HISTORY_BACKGROUND_READ][hi] = IoReaderLoad(r.backgroundReadTime);
  bool first = false;
  if (!s.playbackStarted) {
    const uint32_t hn = m->source.headerRateNumerator;
    const uint32_t frameMs = hn ? uint32_t(uint64_t(1000) * m->source.headerRateDenominator / hn) : 0;
    s.history[HISTORY_TIME][(hi + 1) % rate] = t0 - frameMs;
    IoReaderStore(r.idleReadTime, 0);
    IoReaderStore(r.backgroundReadTime, 0);
    s.playbackStarted = 1;
    s.playbackStart = t0;
    first = true;
  }
  s.frameMark = t0;
  s.frameMarkSet = 1;
  return first;
}

void StatsEndFrame(MovieState* m, uint32_t t0, uint32_t t1, uint32_t t2) {
  MovieStats& s = m->stats;
  s.frameEnd = t2;
  s.frameEndSet = 1;
  s.audioTime += t1 - t0;
  s.videoTime += t2 - t1;
}

void StatsCloseCopyInterval(MovieState* m, uint32_t t) {
  MovieStats& s = m->stats;
  if (s.frameEndSet) {
    s.copyTime += t - s.frameEnd;
    s.frameEndSet = 0;
  }
}

void StatsUpdateSlowest(MovieState* m, uint32_t t) {
  MovieStats& s = m->stats;
  if (!s.frameMarkSet) return;
  const uint32_t took = t - s.frameMark;
  s.frameMarkSet = 0;
  if (took > s.slowestTime[0]) {
    s.slowestTime[1] = s.slowestTime[0];
    s.slowestFrame[1] = s.slowestFrame[0];
    s.slowestTime[0] = took;
    s.slowestFrame[0] = m->currentFrame;
  } else if (took > s.slowestTime[1]) {
    s.slowestTime[1] = took;
    s.slowestFrame[1] = m->currentFrame;
  }
}

void StatsCloseIntervals(MovieState* m, uint32_t t) {
  StatsCloseCopyInterval(m, t);
  StatsUpdateSlowest(m, t);
}

void StatsNoteSeek(MovieState* m, uint32_t t0, uint32_t t1) { m->stats.videoTime += t1 - t0; }

void StatsNoteSkippedCopy(MovieState* m) { ++m->stats.skippedCopies; }
void StatsNoteSoundSkip(MovieState* m) { ++m->stats.soundSkips; }

void MovieGetSummary(Movie* movie, PlaybackSummary* s) {
  if (!movie || !s) return;
  MovieState* m = AsState(movie);
  StatsCloseIntervals(m, MovieTimeMs());
  std::memset(s, 0, sizeof(*s));
  const MovieStats& st = m->stats;
  const MovieSource& src = m->source;
  IoReader& r = m->input.reader;
  s->width = m->width;
  s->height = m->height;
  s->playbackTime = st.playbackStarted ? MovieTimeMs() - st.playbackStart : 0;
  s->fileRateNumerator = src.headerRateNumerator;
  s->fileRateDenominator = src.headerRateDenominator;
  s->playedRateNumerator = m->rateNumerator;
  s->playedRateDenominator = m->rateDenominator;
  s->openTime = st.openTime;
  s->frameCount = m->frameCount;
  s->framesPlayed = m->clock.framesDecoded;
  s->skippedFrames = 0;
  s->skippedCopies = st.skippedCopies;
  s->soundSkips = st.soundSkips;
  s->copyTime = st.copyTime;
  s->readTime = IoReaderLoad(r.bufferedReadTime);
  s->videoTime = st.videoTime;
  s->audioTime = st.audioTime;
  s->idleReadTime = IoReaderLoad(r.idleReadTime);
  s->backgroundReadTime = IoReaderLoad(r.backgroundReadTime);
  s->readSpeed = Clamp32(uint64_t(IoReaderLoad(r.bytesRead)) * 1000 / (uint64_t(IoReaderLoad(r.readTime)) + 1));
  s->slowestFrameTime = st.slowestTime[0];
  s->secondSlowestFrameTime = st.slowestTime[1];
  s->slowestFrame = st.slowestFrame[0];
  s->secondSlowestFrame = st.slowestFrame[1];
  // Data between the first frame record and the size field's end; a zero rate
  // denominator gives no rate rather than a division by zero.
  const uint64_t first = src.index.Offset(0);
  const uint64_t data = m->sizeMinus8 > first ? m->sizeMinus8 - first : 0;
  const uint64_t per = uint64_t(m->frameCount) * src.headerRateDenominator;
  s->averageDataRate = per ? Clamp32(data * src.headerRateNumerator / per) : 0;
  s->averageFrameSize = Clamp32(data / m->frameCount);
  s->memoryUsed = Clamp32(st.memoryUsed);
  s->ringSize = r.ringSize;
  s->ringHighWater = IoReaderLoad(r.highWater);
  s->peakSecondAmount = src.peakAmount;
  s->peakWindowFrame = src.peakStart + 1;
}

void MovieGetRealtime(uint32_t n, Movie* movie, RealtimeStats* s) {
  if (!movie || !s) return;
  MovieState* m = AsState(movie);
  StatsCloseIntervals(m, MovieTimeMs());
  std::memset(s, 0, sizeof(*s));
  const MovieStats& st = m->stats;
  const MovieSource& src = m->source;
  const uint32_t r = src.roundedRate;
  const uint32_t current = m->currentFrame == 0xFFFFFFFFu ? 1 : m->currentFrame;
  if (n == 0 || n >= r) n = r - 1;
  n = std::min(n, current - 1);
  if (n == 0) n = 1;
  const uint32_t newest = st.historyIndex;
  const uint32_t older = uint32_t((uint64_t(newest) + n) % r);
  auto diff = [&](uint32_t array) { return st.history[array][newest] - st.history[array][older]; };
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
  s->bufferTarget = IoReaderLoad(m->input.reader.target);
  s->bufferHeld = IoReaderLoad(m->input.reader.held);
  if (current <= m->frameCount && current >= n) {
    const uint64_t a = src.index.Raw(current - n), b = src.index.Raw(current);
    const uint64_t per = uint64_t(src.headerRateDenominator) * n;
    s->dataRate = b > a && per ? Clamp32((b - a) * src.headerRateNumerator / per) : 0;
  }
}

}  // namespace tarn
