// The movie's statistics: time spent decoding, copying and reading, the two
// slowest frames, skipped copies and sound skips, memory, and a ring of
// per-frame snapshots from which MovieGetRealtime reads the last few frames.
// Owned by movie_stats.cc.
#pragma once

#include <cstdint>

namespace tarn {

struct MovieState;

inline constexpr uint32_t kHistoryArrays = 7;  // time, audio, video, copy, buffered, idle, background
enum : uint32_t {
  HISTORY_TIME = 0,
  HISTORY_AUDIO = 1,
  HISTORY_VIDEO = 2,
  HISTORY_COPY = 3,
  HISTORY_BUFFERED_READ = 4,
  HISTORY_IDLE_READ = 5,
  HISTORY_BACKGROUND_READ = 6,
};

struct MovieStats {
  uint32_t frameEnd;       // when the last decode ended: the caller's copy interval starts
  uint32_t frameEndSet;
  uint32_t frameMark;      // when the last decode started: the frame's time runs to the next wait
  uint32_t frameMarkSet;
  uint32_t playbackStarted;
  uint32_t playbackStart;
  uint32_t openTime;
  uint32_t audioTime, videoTime, copyTime;
  uint32_t skippedCopies;
  uint32_t soundSkips;
  uint32_t slowestTime[2];
  uint32_t slowestFrame[2];
  uint32_t* history[kHistoryArrays];  // roundedRate entries each
  uint32_t historyIndex;
  uint64_t memoryUsed;
};

// Takes the history arrays (pieces of the movie's block).
void StatsInit(MovieState* m, uint32_t* const history[kHistoryArrays]);

// A decode starting at t0: records the snapshot of this frame. True for the
// first decode of the playback.
bool StatsBeginFrame(MovieState* m, uint32_t t0);
// The decode that began at t0 decoded audio until t1 and video until t2.
void StatsEndFrame(MovieState* m, uint32_t t0, uint32_t t1, uint32_t t2);

// Books the caller's time since the last decode ended as copy time.
void StatsCloseCopyInterval(MovieState* m, uint32_t t);
// Ends the frame timing started at a decode and keeps the two slowest frames.
void StatsUpdateSlowest(MovieState* m, uint32_t t);
// Both, as a wait or a pause does.
void StatsCloseIntervals(MovieState* m, uint32_t t);

// A jump that spent t0 .. t1 decoding the frames before its target: video
// time, though none of those frames counts as played.
void StatsNoteSeek(MovieState* m, uint32_t t0, uint32_t t1);

void StatsNoteSkippedCopy(MovieState* m);
void StatsNoteSoundSkip(MovieState* m);

}  // namespace tarn
