// The test view of a movie's record.
#include "movie/movie_testing.h"

#include "movie/movie_internal.h"

namespace tarn {

MovieInternals MovieInternalsForTesting(const Movie* movie) {
  MovieState* m = AsState(const_cast<Movie*>(movie));
  MovieInternals v{};
  v.planes = m->picture.planes;
  v.changeMap = m->picture.changeMap;
  v.blocksAcross = m->picture.blocksAcross;
  v.blockCount = m->picture.blockCount;
  v.pictureWidth = m->picture.width;
  v.pictureHeight = m->picture.height;
  v.inUse = &m->picture.inUse;
  v.lastVideo = &m->picture.lastVideo;
  v.decodeThreads = PictureDecodeThreads(m);
  v.tracks = m->sound.tracks;
  v.selected = m->sound.selected;
  v.selectedCount = &m->sound.selectedCount;
  v.soundPlaying = &m->sound.playing;
  v.soundSkips = &m->stats.soundSkips;
  v.restartRequest = &m->clock.restartRequest;
  v.clockStart = &m->clock.start;
  v.framesDecoded = &m->clock.framesDecoded;
  for (uint32_t i = 0; i < kHistoryArrays; ++i) v.history[i] = m->stats.history[i];
  v.frameData = m->source.frameData;
  v.frameSize = m->source.frameSize;
  v.index = m->source.index;
  v.reader = &m->input.reader;
  v.readerOpen = m->input.readerOpen != 0;
  return v;
}

bool MovieShouldSkipCopyForTesting(Movie* movie, uint32_t copyFlags) {
  return ClockShouldSkipCopy(AsState(movie), copyFlags);
}

}  // namespace tarn
