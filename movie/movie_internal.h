// The private record of an open movie: the public Movie head followed by one
// sub-record per concern, each declared in its own header and changed only by
// the file that owns it:
//
//   source   movie_source.cc   container facts, the index, the current frame record
//   picture  movie_picture.cc  plane set, change map, decode results, rectangles
//   input    movie_input.cc    the reader with its read-ahead ring
//   sound    movie_sound.cc    selected tracks, their rings and the sound node
//   clock    movie_clock.cc    the playback clock, due times and the copy skip rule
//   stats    movie_stats.cc    times, counts and the per-frame history
//
// movie_open.cc plans the block the record and its pieces live in and runs the
// open's steps; movie_play.cc drives a frame through the sub-records. A
// Movie* from MovieOpen converts with AsState(). Nothing outside movie/
// includes this header.
#pragma once

#include "movie/movie.h"
#include "movie/movie_clock.h"
#include "movie/movie_input.h"
#include "movie/movie_picture.h"
#include "movie/movie_sound.h"
#include "movie/movie_source.h"
#include "movie/movie_stats.h"

namespace tarn {

struct MovieState : Movie {
  MovieSource source;
  MoviePicture picture;
  MovieInput input;
  MovieSound sound;
  MovieClock clock;
  MovieStats stats;
};

inline MovieState* AsState(Movie* m) { return static_cast<MovieState*>(m); }
inline const MovieState* AsState(const Movie* m) { return static_cast<const MovieState*>(m); }

// Memory the open allocates beyond the movie's block (plane set, frame
// buffer, preload, ring, track rings), counted in stats.memoryUsed.
void* MovieAllocatePiece(MovieState* m, uint64_t size);
void MovieReleasePiece(MovieState* m, void* p, uint64_t size);

// The whole movie is in memory (preloaded, or opened from an image).
inline bool MovieInMemory(const MovieState* m) { return m->source.fromMemory || (m->flags & OPEN_PRELOAD); }

}  // namespace tarn
