// The movie's source and index: what the container's header and tables say,
// where each frame record lies, the whole movie when it is in memory, and the
// record of the current frame. Owned by movie_source.cc.
#pragma once

#include <cstdint>

#include "io/io_reader.h"
#include "movie/container.h"

namespace tarn {

struct MovieState;

struct MovieSource {
  // Container facts.
  uint32_t magic;             // "TRN" and the revision letter
  uint32_t largestFrame;
  uint32_t indexFrameCount;
  uint32_t trackCount;
  uint32_t peakAmount;        // largest data amount of one second's frames
  uint32_t peakStart;         // 0-based first frame of that second
  uint32_t allKeyFrames;
  uint32_t headerRateNumerator;
  uint32_t headerRateDenominator;
  uint32_t roundedRate;       // R >= 1
  FrameIndexView index;       // frameCount + 1 entries at least
  const uint8_t* trackLargest;  // trackCount raw little-endian words each
  const uint8_t* trackRate;
  const uint8_t* trackIds;
  uint64_t movieLength;       // sizeMinus8 + 8

  // Frame data.
  const uint8_t* frameData;   // the current frame record
  uint32_t frameSize;         // its size in bytes
  uint8_t* frameBuffer;       // largestFrame bytes (not preloaded)
  const uint8_t* preloaded;   // movie bytes from offset preloadOffset on (preloaded or caller's image)
  uint64_t preloadOffset;
  uint64_t preloadSize;       // bytes at preloaded
  uint32_t preloadOwned;      // preloaded was allocated by the open
  uint32_t fromMemory;
};

// The open's first step: the source opened and its header read and checked,
// before the movie's block exists.
struct OpenedSource {
  MovieHeader header{};
  IoReader reader{};          // the file (or substitute) reader; unused for an image
  bool readerOpen = false;    // reader.Close is owed
  bool openFailed = false;    // the reader could not open; the error text is set
  const uint8_t* image = nullptr;  // the caller's image (OPEN_FROM_MEMORY)
  uint64_t imageSize = 0;
  uint64_t sourceBytes = UINT64_MAX;  // what the source holds; unknown for a substitute reader
};

// Opens source (a file name, a descriptor or an image of imageSize bytes, by
// flags) with open, reads the header and checks that it can be planned from.
ContainerStatus SourceOpen(const void* source, uint32_t flags, uint64_t imageSize, IoReaderOpenFn open,
                           OpenedSource& out);
// Closes the reader of a source that never became a movie.
void SourceAbandon(OpenedSource& s);

// Takes the header's facts into the record.
void SourceInit(MovieState* m, const OpenedSource& s);

// Reads the track table and the frame index into table and index (pieces of
// the movie's block), or points into the caller's image. False on a read error.
bool SourceReadTables(MovieState* m, const OpenedSource& s, uint8_t* table, uint8_t* index);

// Reads the rest of the movie into memory (from the first frame record on, only
// what the source holds) and closes the reader. False when out of memory.
bool SourcePreload(MovieState* m, uint64_t sourceBytes, uint32_t reportedLength, uint32_t speed);
// The buffer frame records are read into when the movie is not in memory.
bool SourceAllocateFrameBuffer(MovieState* m);
void SourceRelease(MovieState* m);

// Loads frame record n (1-based; 0 is taken as 1) as the frame after the
// current one: services the sound around the read and notes a return to
// frame 1 for the clock. A record that lies outside the movie or is larger
// than the largest-frame field sets readFailed.
void MovieReadFrame(MovieState* m, uint32_t n);
// Loads record n as the current frame record and makes n the current frame,
// touching nothing else; false when it cannot be read whole (readFailed, or
// the reader's error flag, is then set).
bool SourceLoadRecord(MovieState* m, uint32_t n);

// The nearest key frame at or before frame (clamped to the movie); frame 1
// counts as one whatever its index bit says.
uint32_t SourceKeyFrameAtOrBefore(const MovieState* m, uint32_t frame);

}  // namespace tarn
