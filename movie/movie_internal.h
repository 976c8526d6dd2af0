// The private record of an open movie, shared by the movie core, the copy to
// destination (convert/) and the sound-track service (sound/). MovieState
// begins with the public Movie, so a Movie* from MovieOpen converts with
// AsState(). The whole record and its pieces live in one block from
// LibraryAllocate; the plane set, frame buffer, ring and track rings are
// separate blocks, all allocated at open.
#pragma once

#include <cstdint>

#include "io/io_reader.h"
#include "io/service_thread.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "sound/sound_track.h"
#include "video/video.h"

namespace tarn {

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

inline constexpr uint32_t kMaxPendingTracks = 64;

struct MovieState : Movie {
  // --- Picture (read by the copy) ---------------------------------------
  PlaneSet* planes;        // null with OPEN_NO_VIDEO_BUFFERS; planes->current is the shown set
  uint8_t* changeMap;      // blockCount + 16 bytes; non-zero = block changed since map start
  uint32_t blocksAcross;   // (headerWidth + 15) / 16: bytes per map row
  uint32_t blockCount;     // blocksAcross * ((height + 15) / 16)
  uint32_t quarterBlockCount;
  uint32_t headerWidth;    // plane width: the decoded picture, not doubled
  uint32_t headerHeight;   // plane height
  uint32_t displayMode;    // 0..6 after the open's adjustment (7 has become 0)
  VideoFrameResult lastVideo;  // result of the last VideoDecodeFrame
  uint32_t videoEnabled;
  uint32_t corruptFrames;      // frames the decoder reported corrupt
  uint32_t lastFrameCorrupt;
  VideoWork work;

  // Set by the copy while it reads the planes; the frame step sets it too.
  uint32_t inUse;
  uint32_t lastCopyFlags;  // the flags of the last copy (set by the copy)
  // Change-map validity: the map holds every change made by decodes numbered
  // mapStartDecode .. framesDecoded (decodes count from 1). The copy stores in
  // copiedDecode the decode its destination now shows (0: none yet); the
  // changed-block copy is valid exactly when MovieMapCoversDestination().
  uint32_t mapStartDecode;
  uint32_t copiedDecode;

  // --- Container --------------------------------------------------------
  uint32_t largestFrame;
  uint32_t indexFrameCount;
  uint32_t trackCount;
  uint32_t peakAmount;
  uint32_t peakStart;        // 0-based
  uint32_t allKeyFrames;
  uint32_t headerRateNumerator;
  uint32_t headerRateDenominator;
  uint32_t roundedRate;      // R >= 1
  FrameIndexView index;      // frameCount + 1 entries at least
  const uint8_t* trackLargest;  // trackCount raw little-endian words each
  const uint8_t* trackRate;
  const uint8_t* trackIds;
  uint64_t movieLength;      // sizeMinus8 + 8

  // --- Frame data -------------------------------------------------------
  const uint8_t* frameData;  // the current frame record
  uint32_t frameSize;        // its size in bytes
  uint8_t* frameBuffer;      // largestFrame bytes (not preloaded)
  const uint8_t* preloaded;  // movie bytes from offset preloadOffset on (preloaded or caller's image)
  uint64_t preloadOffset;
  uint64_t preloadSize;      // bytes at preloaded
  uint32_t preloadOwned;     // preloaded was allocated by the open
  uint32_t fromMemory;
  uint32_t readerOpen;       // reader.Close still owed

  // --- Reader -----------------------------------------------------------
  IoReader reader;           // reader.serviceNode is the reader node; its mutex is the reader lock
  uint8_t* ringMemory;
  uint32_t ringAllocSize;
  uint32_t readerJoined;

  // --- Sound ------------------------------------------------------------
  SoundTrack* tracks;        // one record per pending id (at least one)
  uint32_t trackRecords;
  uint32_t* selected;        // positions in the track table, selectedCount of them
  uint32_t selectedCount;
  uint8_t* trackBuffers[kMaxPendingTracks];  // ring memory per selected track
  uint32_t soundPlaying;
  uint32_t soundPresent;
  uint32_t soundJoined;
  ServiceNode soundNode;     // its mutex guards the track rings

  // --- Timing (the frame step; all ms from MovieTimeMs) ------------------
  uint32_t decodedGuard;     // frame last decoded
  uint32_t framesDecoded;
  uint32_t clockRunning;
  uint32_t clockStart;
  uint32_t clockBaseFrame;   // framesDecoded at the start, minus 1
  uint32_t clockAdjust;
  uint32_t decayStep;
  uint32_t pauseOffset;
  uint32_t twoFrameTime;
  uint32_t paused;
  uint32_t frameStart;
  uint32_t frameEnd;
  uint32_t frameEndSet;
  uint32_t frameMark;
  uint32_t frameMarkSet;
  uint32_t inFrame;
  uint32_t lateCopies;       // 0..3
  uint32_t copySkipped;
  uint32_t copySkipPending;
  uint32_t restartTime;
  uint32_t restartTimeSet;
  uint32_t restartRequest;
  uint32_t playbackStarted;
  uint32_t playbackStart;
  uint32_t openTime;

  // --- Statistics -------------------------------------------------------
  uint32_t audioTime, videoTime, copyTime;
  uint32_t skippedCopies;
  uint32_t soundSkips;
  uint32_t slowestTime[2];
  uint32_t slowestFrame[2];
  uint32_t* history[kHistoryArrays];  // roundedRate entries each
  uint32_t historyIndex;
  uint64_t memoryUsed;
};

inline MovieState* AsState(Movie* m) { return static_cast<MovieState*>(m); }
inline const MovieState* AsState(const Movie* m) { return static_cast<const MovieState*>(m); }

// --- Calls for the copy (convert/) ---------------------------------------

// The lateness rule applied before copying a decoded frame: true means skip
// this copy. Counts the skipped copy and sets copySkipped/copySkipPending.
// copyFlags is the copy's flag word (its OPEN_NEVER_SKIP bit is honoured).
bool MovieShouldSkipCopy(MovieState* m, uint32_t copyFlags);
// Books the caller's time since the last decode ended as copy time.
void CloseCopyInterval(MovieState* m, uint32_t t);
// Ends the frame timing started at a decode and keeps the two slowest frames.
void UpdateSlowest(MovieState* m, uint32_t t);

// The reader step a copy makes: unless preloaded, in memory or copyFlags has
// COPY_NO_READ_SERVICE (0x200000), tops up the ring by one chunk when it
// holds less than 3/4 of min(ring size, bytes left), never waiting for the lock.
void MovieServiceReaderForCopy(MovieState* m, uint32_t copyFlags);

// True when the change map holds every change since the frame the copy's
// destination shows, so that copying only changed blocks is enough.
inline bool MovieMapCoversDestination(const MovieState* m) {
  return m->copiedDecode != 0 && m->copiedDecode + 1 == m->mapStartDecode;
}
// The copy calls this after it has drawn the current frame.
inline void MovieNoteCopied(MovieState* m) { m->copiedDecode = m->framesDecoded; }

// --- Node locks ------------------------------------------------------------
// The reader lock and the sound lock are the node mutexes (re-entrant); a
// node that never joined a thread has none and locks trivially.
void MovieNodeLock(ServiceNode* node);
bool MovieNodeTryLock(ServiceNode* node);
void MovieNodeUnlock(ServiceNode* node);

// The process-wide service threads (null when none runs), for tests.
void MovieServiceThreadsForTesting(ServiceThread** reader, ServiceThread** sound);

// Starts the playback clock if it is not running.
void MovieStartClock(MovieState* m);

}  // namespace tarn
