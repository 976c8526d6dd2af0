// The movie container: the 44-byte header, the three track arrays and the frame
// index, parsed from memory, a file or an IoReader. All fields are
// little-endian 32-bit; every size derived from them is computed in 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/little_endian.h"

namespace tarn {

struct IoReader;
class File;

inline constexpr uint32_t kMovieHeaderSize = 44;

// The four accepted magic words: "TRN" and a revision letter, little-endian.
inline constexpr uint32_t kMagicRevF = 0x664E5254;  // "TRNf"
inline constexpr uint32_t kMagicRevG = 0x674E5254;  // "TRNg"
inline constexpr uint32_t kMagicRevH = 0x684E5254;  // "TRNh"
inline constexpr uint32_t kMagicRevI = 0x694E5254;  // "TRNi"

struct MovieHeader {
  uint32_t magic;
  uint32_t sizeMinus8;       // the movie is sizeMinus8 + 8 bytes long
  uint32_t frameCount;       // at least 1 in a valid movie
  uint32_t largestFrame;     // bytes of the largest frame record
  uint32_t indexFrameCount;  // index entries minus one
  uint32_t width;
  uint32_t height;
  uint32_t rateNumerator;
  uint32_t rateDenominator;
  uint32_t flags;            // HDR_* bits
  uint32_t trackCount;
};

// Why a container could not be read. The texts are the ones MovieOpen reports.
enum class ContainerStatus : uint8_t { Ok, NotTarn, NoFrames, HeaderReadError, OutOfMemory };
const char* ContainerStatusText(ContainerStatus status);

// Decodes 44 bytes (no checks).
MovieHeader DecodeMovieHeader(const uint8_t* bytes);
// Checks the magic and the frame count.
ContainerStatus CheckMovieHeader(const MovieHeader& h);

// The movie flags a revision adds (OPEN_BEFORE_REV_I / _H); the magic must be valid.
uint32_t MovieRevisionFlags(uint32_t magic);
// 'f' .. 'i', or 0 for an unknown magic.
char MovieRevisionLetter(uint32_t magic);

// Byte counts and offsets of the parts after the header (64-bit: no wrap).
inline uint64_t TrackTableBytes(const MovieHeader& h) { return uint64_t(h.trackCount) * 12; }
inline uint64_t FrameIndexBytes(const MovieHeader& h) { return (uint64_t(h.indexFrameCount) + 1) * 4; }
inline uint64_t FrameIndexOffset(const MovieHeader& h) { return kMovieHeaderSize + TrackTableBytes(h); }
inline uint64_t MovieLength(const MovieHeader& h) { return uint64_t(h.sizeMinus8) + 8; }

// The index must hold an entry for every frame plus the end entry; an index
// shorter than that cannot be walked, so the open treats it as unreadable.
inline bool IndexCoversFrames(const MovieHeader& h) { return h.indexFrameCount >= h.frameCount; }

// R = (numerator + denominator / 2) / denominator, at least 1 (also for a zero
// denominator, which would otherwise divide by zero) and at most
// kMaxRoundedFrameRate: R sizes seven per-second history arrays, so a hostile
// rate of billions of frames per second would otherwise ask for gigabytes.
inline constexpr uint32_t kMaxRoundedFrameRate = 10000;
uint32_t RoundedFrameRate(uint32_t numerator, uint32_t denominator);

// The index as stored: raw little-endian entries with the key bit in bit 0.
// entries points at count entries (count >= frameCount + 1 for a valid movie).
struct FrameIndexView {
  const uint8_t* entries = nullptr;
  uint32_t count = 0;

  uint32_t Raw(uint32_t i) const;                            // i < count
  uint32_t Offset(uint32_t i) const { return Raw(i) & ~1u; }
  bool IsKey(uint32_t i) const { return Raw(i) & 1u; }
};

// Values derived from the index (need frameCount + 1 entries).
struct IndexFacts {
  uint32_t roundedRate = 1;      // R
  uint32_t peakAmount = 0;       // largest data amount of R consecutive frames
  uint32_t peakStart = 0;        // 0-based first frame of the first window reaching it
  bool allKeyFrames = false;
  uint32_t keyFrameCount = 0;
  uint32_t largestRecord = 0;    // largest frame record size found in the index
};
IndexFacts ComputeIndexFacts(const FrameIndexView& index, const MovieHeader& h);

// The decoded byte count that track `track` (table position) announces in a
// frame record of size bytes: 0 when its packet is empty or the record ends
// before it. Reads only inside the record.
uint32_t FramePacketDecodedBytes(const uint8_t* record, size_t size, uint32_t trackCount, uint32_t track);

// The bytes of one decoded sample frame of a track (16-bit samples).
uint32_t TrackSampleBytes(uint32_t rateWord);
// A track's share of one frame's time in decoded bytes: its sample frames
// rounded up, at the frame rate num / den. 0 when num is 0.
uint64_t TrackFrameShareBytes(uint32_t rateWord, uint32_t num, uint32_t den);

// A track's sound lead in decoded bytes: what frame 1's packet decodes to
// beyond the track's own share of frame 1's time (its sample frames rounded
// up), at the header's frame rate. 0 when frame 1 carries no more than that.
uint32_t TrackLeadBytes(uint32_t frame1Decoded, uint32_t rateWord, uint32_t rateNumerator, uint32_t rateDenominator);
// The same lead in milliseconds of the track's own sample rate.
uint32_t TrackLeadMs(uint32_t leadBytes, uint32_t rateWord);

// A fully parsed container, for tools and tests (the movie open keeps these in
// its own block instead).
struct MovieContainer {
  MovieHeader header{};
  std::vector<uint32_t> largestPacket;  // per track: largest decoded packet, bytes
  std::vector<uint32_t> rateWord;       // per track: sample rate | TRACK_* flags
  std::vector<uint32_t> trackId;
  std::vector<uint8_t> indexBytes;      // raw index, (indexFrameCount + 1) * 4 bytes
  IndexFacts facts;

  FrameIndexView Index() const { return {indexBytes.data(), uint32_t(indexBytes.size() / 4)}; }
};

// Walks the audio packets at the head of the frame record [p, end): for each
// of trackCount tracks in table order, onPacket(track, packet, packetEnd) is
// called for a packet that is not empty, [packet, packetEnd) lying inside the
// record. Returns where the video data starts; when a length field runs past
// the record, *malformed is set and the video data is empty (end).
template <class OnPacket>
const uint8_t* WalkFramePackets(const uint8_t* p, const uint8_t* end, uint32_t trackCount, bool* malformed,
                                OnPacket&& onPacket) {
  for (uint32_t t = 0; t < trackCount; ++t) {
    if (end - p < 4) {
      *malformed = true;
      return end;
    }
    const uint32_t length = LoadLe32(p);
    p += 4;
    if (length > uint64_t(end - p)) {
      *malformed = true;
      return end;
    }
    if (length != 0) onPacket(t, p, p + length);
    p += length;
  }
  return p;
}

// Where the video data of the frame record [p, end) starts (see WalkFramePackets).
inline const uint8_t* FrameVideoStart(const uint8_t* p, const uint8_t* end, uint32_t trackCount, bool* malformed) {
  return WalkFramePackets(p, end, trackCount, malformed, [](uint32_t, const uint8_t*, const uint8_t*) {});
}

// Parses a complete movie image of size bytes.
ContainerStatus ReadContainer(const uint8_t* data, size_t size, MovieContainer& out);
// Parses through an open reader: one ReadDirect of 44 bytes at 0, then four at the current position.
ContainerStatus ReadContainer(IoReader* reader, MovieContainer& out);
// Parses a movie that starts at byte base of an open file.
ContainerStatus ReadContainer(File& file, uint64_t base, MovieContainer& out);

}  // namespace tarn
