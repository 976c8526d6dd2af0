// Hooks for the library's own tests and benchmarks: a view into an open
// movie's private record, and the process-wide service threads. Programs have
// no use for these; they read pictures through MovieGetPlanes.
#pragma once

#include <cstdint>

#include "io/io_reader.h"
#include "io/service_thread.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "sound/sound_track.h"
#include "video/video.h"

namespace tarn {

// Pointers into the record of an open movie; writing through them changes
// the movie. Valid until MovieClose.
struct MovieInternals {
  PlaneSet* planes;            // null without picture buffers
  uint8_t* changeMap;          // blockCount bytes, blocksAcross per row
  uint32_t blocksAcross;
  uint32_t blockCount;
  uint32_t pictureWidth, pictureHeight;  // the decoded size (not doubled)
  uint32_t* inUse;             // the copy's in-use mark
  const VideoFrameResult* lastVideo;  // the last decode's skip count and corrupt flag
  uint32_t decodeThreads;      // threads decoding a frame's planes; 0: one after another
  SoundTrack* tracks;          // the track records
  uint32_t* selected;          // table positions of the selected tracks
  uint32_t* selectedCount;
  uint32_t* soundPlaying;
  uint32_t* soundSkips;
  uint32_t* restartRequest;
  uint32_t* clockStart;
  uint32_t* framesDecoded;
  uint32_t* history[7];        // the per-frame history arrays
  const uint8_t* frameData;    // the current frame record
  uint32_t frameSize;
  FrameIndexView index;
  IoReader* reader;
  bool readerOpen;
};
MovieInternals MovieInternalsForTesting(const Movie* movie);

// The copy's lateness rule alone: true when a copy now would be skipped.
bool MovieShouldSkipCopyForTesting(Movie* movie, uint32_t copyFlags);

// The process-wide service threads (null when none runs).
void MovieServiceThreadsForTesting(ServiceThread** reader, ServiceThread** sound);

}  // namespace tarn
