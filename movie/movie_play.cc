// Frame stepping on the movie's own clock: reading records, decoding audio
// into the track rings and video into the plane set, due times, the copy skip
// rule, dirty rectangles, pause and the sound switch. Reads only inside the
// current frame record, whose bounds were checked when it was loaded.
#include <algorithm>
#include <atomic>

#include "audio/audio_decoder.h"
#include "common/little_endian.h"
#include "common/movie_time.h"
#include "movie/movie_internal.h"
#include "movie/movie_play.h"
#include "common/clock.h"
#include "sound/sound_service.h"

namespace tarn {
namespace {

uint32_t Held(MovieState* m) { return IoReaderLoad(m->reader.held); }

void ServiceSound(MovieState* m) {
  if (m->selectedCount) SoundServiceTracks(m);
}

void RestartClock(MovieState* m) {
  m->clockRunning = 0;
  m->clockStart = 0;
  m->clockAdjust = 0;
  m->pauseOffset = 0;
}


// Due time of the next frame in ms after the clock start, scaled by the first
// track's speed (16.16). The rate numerator is not 0.
int64_t DueMs(const MovieState* m) {
  const uint64_t frames = uint32_t(m->framesDecoded - m->clockBaseFrame);
  const uint64_t due = frames * 1000 * m->rateDenominator / m->rateNumerator;
  const uint64_t speed = m->tracks[0].speed ? m->tracks[0].speed : 0x10000;
  return int64_t(due * speed / 65536);
}

int64_t ElapsedMs(const MovieState* m, uint32_t t) {
  return int32_t(t - m->clockAdjust - m->clockStart);
}

// Tops the ring up by one chunk when it holds less than 3/4 of limit.
void TopUpReader(MovieState* m, uint64_t limit, bool yieldOnBusy) {
  if (MovieInMemory(m) || m->reader.FillChunk == nullptr) return;
  if (uint64_t(Held(m)) * 4 >= limit * 3) return;
  if (MovieNodeTryLock(&m->reader.serviceNode)) {
    m->reader.FillChunk(&m->reader);
    MovieNodeUnlock(&m->reader.serviceNode);
  } else if (yieldOnBusy) {
    SleepMs(0);
  }
}

// Decodes one track's packet [p, end) (decoded byte count, then data) into its ring.
void DecodePacket(SoundTrack* t, const uint8_t* p, const uint8_t* end) {
  if (end - p < 4 || t->decoder == nullptr) return;
  uint32_t owed = LoadLe32(p);
  const uint8_t* in = p + 4;
  // Every block lies inside the packet, so decoding stops when its bytes are
  // used up even if the decoded count claims more: a hostile count cannot make
  // one frame decode without end.
  while (owed > 0 && in < end) {
    const int16_t* samples = nullptr;
    uint32_t bytes = 0;
    const uint8_t* next = in;
    AudioDecodeBlock(t->decoder, in, end, &samples, &bytes, &next);
    if (bytes == 0 || samples == nullptr || next <= in) break;  // no progress
    const uint32_t b = std::min(bytes, owed);
    SoundRingWrite(t, reinterpret_cast<const uint8_t*>(samples), b);
    owed -= b;
    in = next;
  }
}

// The selected-list position of table track t, or -1.
int SelectedSlot(const MovieState* m, uint32_t t) {
  for (uint32_t k = 0; k < m->selectedCount; ++k) {
    if (m->selected[k] == t) return int(k);
  }
  return -1;
}

}  // namespace

// Books the caller's time since the last decode ended as copy time.
void CloseCopyInterval(MovieState* m, uint32_t t) {
  if (m->frameEndSet) {
    m->copyTime += t - m->frameEnd;
    m->frameEndSet = 0;
  }
}

void UpdateSlowest(MovieState* m, uint32_t t) {
  if (!m->frameMarkSet) return;
  const uint32_t took = t - m->frameMark;
  m->frameMarkSet = 0;
  if (took > m->slowestTime[0]) {
    m->slowestTime[1] = m->slowestTime[0];
    m->slowestFrame[1] = m->slowestFrame[0];
    m->slowestTime[0] = took;
    m->slowestFrame[0] = m->currentFrame;
  } else if (took > m->slowestTime[1]) {
    m->slowestTime[1] = took;
    m->slowestFrame[1] = m->currentFrame;
  }
}

void MovieStartClock(MovieState* m) {
  if (m->clockRunning) return;
  m->clockRunning = 1;
  m->clockStart = MovieTimeMs();
  m->clockBaseFrame = m->framesDecoded - 1;
  m->pauseOffset = 0;
}

void MovieReadFrame(MovieState* m, uint32_t n) {
  const uint32_t i = n == 0 ? 0 : n - 1;
  m->copySkipped = 0;
  ServiceSound(m);
  m->previousFrame = m->currentFrame;
  if (i == 0) {
    const uint32_t now = MovieTimeMs();
    if (!m->restartTimeSet) {
      m->restartTime = now;
      m->restartTimeSet = 1;
    }
    if (now - m->restartTime > 300000) {
      m->restartTime = now;
      m->restartRequest = 1;
    }
  }
  // The record must lie inside the movie and fit the frame buffer; anything
  // else is a read error at this frame.
  const uint64_t start = m->index.Offset(i), end = m->index.Offset(i + 1);
  const bool sane = end >= start && end <= m->movieLength && end - start <= m->largestFrame;
  m->frameData = nullptr;
  m->frameSize = 0;
  if (!sane) {
    m->readFailed = 1;
  } else if (MovieInMemory(m)) {
    if (start < m->preloadOffset || end - m->preloadOffset > m->preloadSize) {
      m->readFailed = 1;
    } else {
      m->frameData = m->preloaded + (start - m->preloadOffset);
      m->frameSize = uint32_t(end - start);
    }
  } else {
    const uint32_t size = uint32_t(end - start);
    const uint32_t got = m->reader.ReadBuffered(&m->reader, i, uint32_t(start), m->frameBuffer, size);
    m->frameData = m->frameBuffer;
    m->frameSize = std::min(got, size);
  }
  ServiceSound(m);
  // The sound thread reads the frame number (end-frame rule) without a lock.
  std::atomic_ref<uint32_t>(m->currentFrame).store(i + 1, std::memory_order_relaxed);
}

uint32_t MovieDoFrame(Movie* movie) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if (m->decodedGuard == m->currentFrame) return 0;
  if (m->restartRequest) {
    m->restartRequest = 0;
    if (m->soundPlaying) {
      MovieSoundSwitch(m, 0);
      MovieSoundSwitch(m, 1);
    }
    RestartClock(m);
  }
  if (m->paused) RestartClock(m);
  m->copySkipped = 0;
  m->inFrame = 1;

  const uint32_t t0 = MovieTimeMs();
  m->frameStart = t0;
  const uint32_t r = m->roundedRate;
  m->historyIndex = m->historyIndex == 0 ? r - 1 : m->historyIndex - 1;
  const uint32_t hi = m->historyIndex;
  m->history[HISTORY_TIME][hi] = t0;
  m->history[HISTORY_AUDIO][hi] = m->audioTime;
  m->history[HISTORY_VIDEO][hi] = m->videoTime;
  m->history[HISTORY_COPY][hi] = m->copyTime;
  m->history[HISTORY_BUFFERED_READ][hi] = IoReaderLoad(m->reader.bufferedReadTime);
  m->history[HISTORY_IDLE_READ][hi] = IoReaderLoad(m->reader.idleReadTime);
  m->history[HISTORY_BACKGROUND_READ][hi] = IoReaderLoad(m->reader.backgroundReadTime);
  if (!m->playbackStarted) {
    const uint32_t frameMs =
        m->headerRateNumerator ? uint32_t(uint64_t(1000) * m->headerRateDenominator / m->headerRateNumerator) : 0;
    m->history[HISTORY_TIME][(hi + 1) % r] = t0 - frameMs;
    IoReaderStore(m->reader.idleReadTime, 0);
    IoReaderStore(m->reader.backgroundReadTime, 0);
    m->playbackStarted = 1;
    m->playbackStart = t0;
  } else {
    ServiceSound(m);
  }

  m->frameMark = t0;
  m->frameMarkSet = 1;
  if (IoReaderLoad(m->reader.error)) m->readFailed = 1;
  if (m->readFailed || m->frameData == nullptr) {
    m->readFailed = 1;
    m->inFrame = 0;
    return 1;
  }

  // Audio: walk every file track's length field; decode the selected ones.
  const uint8_t* p = m->frameData;
  const uint8_t* const end = p + m->frameSize;
  bool soundLocked = false;
  bool malformed = false;
  for (uint32_t t = 0; t < m->trackCount; ++t) {
    if (end - p < 4) {
      malformed = true;
      p = end;
      break;
    }
    const uint32_t length = LoadLe32(p);
    p += 4;
    if (length > uint64_t(end - p)) {  // a packet running past the record
      malformed = true;
      p = end;
      break;
    }
    if (length != 0) {
      const int k = SelectedSlot(m, t);
      if (k >= 0) {
        if (!soundLocked) {
          MovieNodeLock(&m->soundNode);
          soundLocked = true;
        }
        DecodePacket(&m->tracks[k], p, p + length);
      }
    }
    p += length;
  }
  if (soundLocked) MovieNodeUnlock(&m->soundNode);

  const uint32_t t1 = MovieTimeMs();
  if (m->videoEnabled && m->planes) {
    if (!m->copySkipPending) {
      std::fill_n(m->changeMap, m->blockCount, uint8_t(0));
      m->mapStartDecode = m->framesDecoded + 1;
    }
    if (!MovieInMemory(m) && !IoReaderLoad(m->reader.busy)) {
      const uint64_t limit = std::min<uint64_t>(m->peakAmount, IoReaderLoad(m->reader.target));
      TopUpReader(m, limit, !(m->flags & OPEN_NO_THREAD));
    }
    const bool key = m->index.IsKey(m->currentFrame - 1);
    (void)key;  // the decoder tells key frames from the data itself
    m->lastVideo = VideoDecodeFrame(m->planes, p, end, m->headerFlags, m->flags, m->changeMap, m->blocksAcross, m->work);
    m->lastFrameCorrupt = m->lastVideo.corrupt || malformed;
    if (m->lastFrameCorrupt) ++m->corruptFrames;
  } else if (malformed) {
    m->lastFrameCorrupt = 1;
    ++m->corruptFrames;
  } else {
    m->lastFrameCorrupt = 0;
  }

  ServiceSound(m);
  ++m->framesDecoded;
  m->dirtyRectCount = -1;
  MovieStartClock(m);
  const uint32_t t2 = MovieTimeMs();
  m->frameEnd = t2;
  m->frameEndSet = 1;
  m->audioTime += t1 - t0;
  m->videoTime += t2 - t1;
  m->inFrame = 0;
  m->decodedGuard = m->previousFrame = m->currentFrame;
  return 0;
}

void MovieNextFrame(Movie* movie) {
  if (!movie) return;
  MovieState* m = AsState(movie);
  bool underrun = false;
  for (uint32_t k = 0; k < m->selectedCount; ++k) {
    SoundTrack* t = &m->tracks[k];
    if (std::atomic_ref<uint32_t>(t->starved).exchange(0) &&
        m->currentFrame > 1 && int64_t(t->endFrame) >= int64_t(m->currentFrame)) {
      underrun = true;
    }
  }
  if (underrun) {
    ++m->soundSkips;
    // Only this thread ever holds both, so taking them in a fixed order cannot deadlock.
    MovieNodeLock(&m->soundNode);
    MovieNodeLock(&m->reader.serviceNode);
    MovieSoundSwitch(m, 0);
    if (!MovieInMemory(m) && m->reader.FillChunk) {
      while (uint64_t(Held(m)) * 32 < uint64_t(IoReaderLoad(m->reader.target)) * 29 && m->reader.FillChunk(&m->reader) > 0) {
      }
    }
    RestartClock(m);
    MovieSoundSwitch(m, 1);
    MovieNodeUnlock(&m->reader.serviceNode);
    MovieNodeUnlock(&m->soundNode);
  }
  ServiceSound(m);
  CloseCopyInterval(m, MovieTimeMs());
  MovieReadFrame(m, m->currentFrame >= m->frameCount ? 1 : m->currentFrame + 1);
}

uint32_t MovieWait(Movie* movie) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if ((m->framesDecoded == 0 && !m->paused) || m->readFailed) return 0;
  MovieStartClock(m);
  ServiceSound(m);
  const uint32_t t = MovieTimeMs();
  CloseCopyInterval(m, t);
  UpdateSlowest(m, t);

  const bool waitForSound = m->selectedCount && !m->soundPlaying;
  if (!m->paused && !waitForSound) {
    if (m->rateNumerator == 0) return 0;
    const int64_t due = DueMs(m);
    const int64_t elapsed = ElapsedMs(m, t);
    if (elapsed >= due) {
      const uint32_t late = uint32_t(elapsed - due);
      if (late > m->twoFrameTime) {
        if (m->selectedCount == 0) {
          m->clockStart = t;
          m->clockBaseFrame = m->framesDecoded - 1;
          m->pauseOffset = 0;
        } else {
          m->clockAdjust = late;
          m->decayStep = uint32_t(uint64_t(late) * m->rateDenominator / m->rateNumerator);
        }
      }
      m->clockAdjust = m->clockAdjust > m->decayStep ? m->clockAdjust - m->decayStep : 0;
      return 0;
    }
  }

  // Waiting: give the time to the reader.
  if (MovieInMemory(m)) return 1;
  const uint64_t limit = std::min<uint64_t>(m->peakAmount, IoReaderLoad(m->reader.target));
  if (!(m->flags & OPEN_NO_THREAD) && uint64_t(Held(m)) * 2 >= limit) return 1;
  if (m->reader.FillChunk && MovieNodeTryLock(&m->reader.serviceNode)) {
    m->reader.FillChunk(&m->reader);
    MovieNodeUnlock(&m->reader.serviceNode);
  }
  return 1;
}

bool MovieShouldSkipCopy(MovieState* m, uint32_t copyFlags) {
  if (m->selectedCount == 0 || m->rateNumerator == 0 || m->paused) {
    m->copySkipPending = 0;
    return false;
  }
  MovieStartClock(m);
  const uint32_t t = MovieTimeMs();
  const int64_t due = DueMs(m);
  const int64_t elapsed = ElapsedMs(m, t);
  if (elapsed < due) {
    m->copySkipPending = 0;
    return false;
  }
  if (elapsed - due <= int64_t(m->twoFrameTime)) {
    m->lateCopies = 0;
    m->copySkipPending = 0;
    return false;
  }
  if (++m->lateCopies > 3) {
    m->lateCopies = 0;
    return false;
  }
  if ((copyFlags | m->flags) & OPEN_NEVER_SKIP) return false;
  m->copySkipped = 1;
  m->copySkipPending = 1;
  ++m->skippedCopies;
  return true;
}

void MovieServiceReaderForCopy(MovieState* m, uint32_t copyFlags) {
  if (MovieInMemory(m) || (copyFlags & 0x200000u)) return;
  const uint64_t left = m->movieLength > m->reader.consumerPosition ? m->movieLength - m->reader.consumerPosition : 0;
  TopUpReader(m, std::min<uint64_t>(m->reader.ringSize, left), !(m->flags & OPEN_NO_THREAD));
}

// --- Dirty rectangles --------------------------------------------------------------
namespace {

struct BlockRect {
  uint32_t x, y, w, h;  // in 16-pixel blocks; w == 0 means empty
  uint64_t Area() const { return uint64_t(w) * h; }
};

BlockRect BoundingBox(const MovieState* m, const BlockRect& r) {
  uint32_t x0 = UINT32_MAX, y0 = UINT32_MAX, x1 = 0, y1 = 0;
  for (uint32_t y = r.y; y < r.y + r.h; ++y) {
    const uint8_t* row = m->changeMap + uint64_t(y) * m->blocksAcross;
    for (uint32_t x = r.x; x < r.x + r.w; ++x) {
      if (row[x]) {
        x0 = std::min(x0, x);
        x1 = std::max(x1, x + 1);
        y0 = std::min(y0, y);
        y1 = std::max(y1, y + 1);
      }
    }
  }
  if (x0 == UINT32_MAX) return {0, 0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

struct Split {
  uint64_t saving = 0;
  BlockRect a{}, b{};
};

// The better of the width and height cuts (the width cut on a tie).
Split BestSplit(const MovieState* m, const BlockRect& r) {
  Split best;
  if (r.w >= 2) {  // at least 32 pixels wide
    const uint32_t cut = ((r.w * 16 / 2 + 15) & ~15u) / 16;
    const BlockRect a = BoundingBox(m, {r.x, r.y, cut, r.h});
    const BlockRect b = BoundingBox(m, {r.x + cut, r.y, r.w - cut, r.h});
    const uint64_t used = a.Area() + b.Area();
    if (used < r.Area()) best = {r.Area() - used, a, b};
  }
  if (r.h >= 2) {
    const uint32_t cut = ((r.h * 16 / 2 + 15) & ~15u) / 16;
    const BlockRect a = BoundingBox(m, {r.x, r.y, r.w, cut});
    const BlockRect b = BoundingBox(m, {r.x, r.y + cut, r.w, r.h - cut});
    const uint64_t used = a.Area() + b.Area();
    if (used < r.Area() && r.Area() - used > best.saving) best = {r.Area() - used, a, b};
  }
  return best;
}

void ComputeRects(MovieState* m, bool oneOnly) {
  const uint32_t rows = (m->headerHeight + 15) / 16;
  BlockRect rects[kMaxDirtyRects];
  Split splits[kMaxDirtyRects];
  int count = 0;
  const BlockRect whole = BoundingBox(m, {0, 0, m->blocksAcross, rows});
  if (whole.w != 0) {
    rects[count] = whole;
    splits[count++] = oneOnly ? Split{} : BestSplit(m, whole);
    while (!oneOnly && count < kMaxDirtyRects) {
      int pick = -1;
      for (int i = 0; i < count; ++i) {
        if (splits[i].saving > 0 && (pick < 0 || splits[i].saving > splits[pick].saving)) pick = i;
      }
      if (pick < 0) break;
      const Split s = splits[pick];
      rects[pick] = s.a;
      rects[count] = s.b;
      splits[pick] = BestSplit(m, s.a);
      splits[count++] = BestSplit(m, s.b);
    }
  }
  std::sort(rects, rects + count, [](const BlockRect& a, const BlockRect& b) {
    return uint64_t(a.y) * 65536 + a.x < uint64_t(b.y) * 65536 + b.x;
  });
  const uint32_t mode = m->displayMode;
  const bool dx = mode == 3 || mode == 4 || mode == 5;
  const bool dy = mode == 1 || mode == 2 || mode == 4 || mode == 5;
  int out = 0;
  for (int i = 0; i < count; ++i) {
    uint64_t x = uint64_t(rects[i].x) * 16, y = uint64_t(rects[i].y) * 16;
    uint64_t w = uint64_t(rects[i].w) * 16, h = uint64_t(rects[i].h) * 16;
    if (dx) x *= 2, w *= 2;
    if (dy) y *= 2, h *= 2;
    if (x >= m->width || y >= m->height) continue;
    w = std::min<uint64_t>(w, m->width - x);
    h = std::min<uint64_t>(h, m->height - y);
    m->dirtyRects[out++] = {int32_t(x), int32_t(y), int32_t(w), int32_t(h)};
  }
  m->dirtyRectCount = out;
}

}  // namespace

uint32_t MovieGetRects(uint32_t copyFlags, Movie* movie) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if (copyFlags & 0x4000000u) return 0;
  if (m->copySkipped && !((copyFlags | m->flags) & OPEN_NEVER_SKIP)) return 0;
  if (m->dirtyRectCount == -1) {
    if (!m->planes) {
      m->dirtyRectCount = 0;
    } else {
      ComputeRects(m, copyFlags & 0x8000000u);
    }
  }
  return uint32_t(m->dirtyRectCount);
}

// --- Pause and sound switch ----------------------------------------------------------
uint32_t MoviePause(Movie* movie, uint32_t pause) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  const uint32_t t = MovieTimeMs();
  CloseCopyInterval(m, t);
  UpdateSlowest(m, t);
  const bool wasPaused = m->paused;
  if (pause && !wasPaused) m->pauseOffset = m->clockRunning ? t - m->clockStart : 0;
  m->paused = pause ? 1 : 0;
  if (m->selectedCount) {
    MovieNodeLock(&m->soundNode);
    for (uint32_t k = 0; k < m->selectedCount; ++k) {
      SoundTrack* tr = &m->tracks[k];
      if (tr->driver.pause) tr->driver.pause(tr, pause ? 1 : 0);
    }
    MovieNodeUnlock(&m->soundNode);
  }
  if (m->framesDecoded && m->selectedCount) ServiceSound(m);
  if (!pause && wasPaused) {
    m->clockStart = MovieTimeMs() - m->pauseOffset;
    m->clockRunning = 1;
  }
  return m->paused;
}

uint32_t MovieSoundSwitch(Movie* movie, uint32_t on) {
  if (!movie) return 0;
  MovieState* m = AsState(movie);
  if (m->selectedCount == 0) return 0;
  uint32_t result = 0;
  bool locked = false;
  // Every track that stops while sound was playing is emptied, not only the
  // first: a stale ring would play out of step after the restart.
  const bool wasPlaying = m->soundPlaying;
  for (uint32_t k = 0; k < m->selectedCount; ++k) {
    SoundTrack* t = &m->tracks[k];
    if (!t->driver.enable) continue;
    if (!locked) {
      MovieNodeLock(&m->soundNode);
      locked = true;
    }
    if (t->driver.enable(t, on ? 1 : 0)) {
      if (!m->soundPlaying) {
        m->soundPlaying = 1;
        RestartClock(m);
      }
      result = 1;
    } else if (wasPlaying || m->soundPlaying) {
      SoundRingReset(t);
      const bool atStart = m->currentFrame == 1 && m->framesDecoded == 0;
      if (!atStart) SoundPrefillSilence(t);
      m->soundPlaying = 0;
    }
  }
  if (locked) MovieNodeUnlock(&m->soundNode);
  return result;
}

uint32_t MovieCorruptFrameCount(const Movie* movie) { return movie ? AsState(movie)->corruptFrames : 0; }
bool MovieLastFrameCorrupt(const Movie* movie) { return movie && AsState(movie)->lastFrameCorrupt; }

}  // namespace tarn
