// Parsing of the movie container. Reads only inside the buffers it is given;
// the vectors of a MovieContainer are sized from checked 64-bit counts.
#include "movie/container.h"

#include <algorithm>
#include <new>

#include "common/little_endian.h"
#include "common/input_limits.h"
#include "io/io_reader.h"
#include "movie/movie.h"
#include "platform/file.h"

namespace tarn {

const char* ContainerStatusText(ContainerStatus status) {
  switch (status) {
    case ContainerStatus::Ok: return "";
    case ContainerStatus::NotTarn: return "Not a Tarn file.";
    case ContainerStatus::NoFrames: return "The file doesn't contain any compressed frames yet.";
    case ContainerStatus::HeaderReadError: return "Error reading Tarn header.";
    case ContainerStatus::OutOfMemory: return "Out of memory.";
  }
  return "";
}

uint32_t FramePacketDecodedBytes(const uint8_t* record, size_t size, uint32_t trackCount, uint32_t track) {
  size_t pos = 0;
  for (uint32_t t = 0; t < trackCount && t <= track; ++t) {
    if (size - pos < 4) return 0;
    const uint32_t length = LoadLe32(record + pos);
    pos += 4;
    if (length > size - pos) return 0;
    if (t == track) return length >= 4 ? LoadLe32(record + pos) : 0;
    pos += length;
  }
  return 0;
}

uint32_t TrackSampleBytes(uint32_t rateWord) { return (rateWord & TRACK_STEREO) ? 4 : 2; }

uint64_t TrackFrameShareBytes(uint32_t rateWord, uint32_t num, uint32_t den) {
  return num ? (uint64_t(den) * (rateWord & 0xFFFF) + num - 1) / num * TrackSampleBytes(rateWord) : 0;
}

uint32_t TrackLeadBytes(uint32_t frame1Decoded, uint32_t rateWord, uint32_t rateNumerator, uint32_t rateDenominator) {
  if (rateNumerator == 0) return 0;
  const uint64_t ownBytes = TrackFrameShareBytes(rateWord, rateNumerator, rateDenominator);
  return frame1Decoded > ownBytes ? uint32_t(frame1Decoded - ownBytes) : 0;
}

uint32_t TrackLeadMs(uint32_t leadBytes, uint32_t rateWord) {
  const uint64_t perSecond = uint64_t(rateWord & 0xFFFF) * TrackSampleBytes(rateWord);
  return perSecond ? uint32_t(uint64_t(leadBytes) * 1000 / perSecond) : 0;
}

MovieHeader DecodeMovieHeader(const uint8_t* b) {
  MovieHeader h;
  h.magic = LoadLe32(b + 0);
  h.sizeMinus8 = LoadLe32(b + 4);
  h.frameCount = LoadLe32(b + 8);
  h.largestFrame = LoadLe32(b + 12);
  h.indexFrameCount = LoadLe32(b + 16);
  h.width = LoadLe32(b + 20);
  h.height = LoadLe32(b + 24);
  h.rateNumerator = LoadLe32(b + 28);
  h.rateDenominator = LoadLe32(b + 32);
  h.flags = LoadLe32(b + 36);
  h.trackCount = LoadLe32(b + 40);
  return h;
}

ContainerStatus CheckMovieHeader(const MovieHeader& h) {
  if (MovieRevisionLetter(h.magic) == 0) return ContainerStatus::NotTarn;
  if (h.frameCount == 0) return ContainerStatus::NoFrames;
  return ContainerStatus::Ok;
}

char MovieRevisionLetter(uint32_t magic) {
  switch (magic) {
    case kMagicRevF: return 'f';
    case kMagicRevG: return 'g';
    case kMagicRevH: return 'h';
    case kMagicRevI: return 'i';
  }
  return 0;
}

uint32_t MovieRevisionFlags(uint32_t magic) {
  switch (magic) {
    case kMagicRevF:
    case kMagicRevG: return OPEN_BEFORE_REV_I | OPEN_BEFORE_REV_H;
    case kMagicRevH: return OPEN_BEFORE_REV_I;
  }
  return 0;
}

uint32_t RoundedFrameRate(uint32_t numerator, uint32_t denominator) {
  if (denominator == 0) return 1;
  const uint64_t r = (uint64_t(numerator) + denominator / 2) / denominator;
  return r == 0 ? 1 : uint32_t(std::min<uint64_t>(r, kMaxRoundedFrameRate));
}

uint32_t FrameIndexView::Raw(uint32_t i) const { return LoadLe32(entries + uint64_t(i) * 4); }

IndexFacts ComputeIndexFacts(const FrameIndexView& index, const MovieHeader& h) {
  IndexFacts f;
  const uint32_t frames = std::min(h.frameCount, index.count == 0 ? 0 : index.count - 1);
  f.roundedRate = RoundedFrameRate(h.rateNumerator, h.rateDenominator);
  if (frames == 0) return f;
  const uint32_t r = f.roundedRate;

  // Differences are taken on the raw entries; a window whose end entry lies
  // below its start (a disordered index) counts as no data rather than wrapping
  // to a huge amount.
  uint32_t peak = 0, start = 0;
  if (frames > r) {
    for (uint32_t i = 0; i + r < frames; ++i) {
      const uint32_t a = index.Raw(i), b = index.Raw(i + r);
      const uint32_t d = b > a ? b - a : 0;
      if (d > peak) {
        peak = d;
        start = i;
      }
    }
  }
  if (peak == 0) {
    const uint32_t a = index.Raw(0), b = index.Raw(frames);
    const uint64_t total = b > a ? b - a : 0;
    peak = uint32_t(std::min<uint64_t>(total * r / frames, UINT32_MAX));
    start = 0;
  }
  f.peakAmount = peak;
  f.peakStart = start;

  f.allKeyFrames = true;
  for (uint32_t i = 0; i < frames; ++i) {
    if (index.IsKey(i)) {
      ++f.keyFrameCount;
    } else {
      f.allKeyFrames = false;
    }
    const uint32_t a = index.Offset(i), b = index.Offset(i + 1);
    if (b > a) f.largestRecord = std::max(f.largestRecord, b - a);
  }
  return f;
}

namespace {

// Reads `count` bytes at the source's current position; false on a short read.
template <typename ReadFn>
ContainerStatus ReadRest(const MovieHeader& h, uint64_t available, ReadFn&& read, MovieContainer& out) {
  out.header = h;
  if (const ContainerStatus s = CheckMovieHeader(h); s != ContainerStatus::Ok) return s;
  if (!IndexCoversFrames(h)) return ContainerStatus::HeaderReadError;
  // The table and index cannot be longer than what the source holds.
  if (TrackTableBytes(h) > available || FrameIndexBytes(h) > available - TrackTableBytes(h)) {
    return ContainerStatus::HeaderReadError;
  }
  if (FrameIndexBytes(h) > kMaxAllocation) return ContainerStatus::OutOfMemory;
  try {
    out.largestPacket.assign(h.trackCount, 0);
    out.rateWord.assign(h.trackCount, 0);
    out.trackId.assign(h.trackCount, 0);
    out.indexBytes.assign(FrameIndexBytes(h), 0);
  } catch (const std::bad_alloc&) {
    return ContainerStatus::OutOfMemory;
  }
  std::vector<uint8_t> raw(size_t(h.trackCount) * 4);
  for (std::vector<uint32_t>* array : {&out.largestPacket, &out.rateWord, &out.trackId}) {
    if (!raw.empty() && !read(raw.data(), raw.size())) return ContainerStatus::HeaderReadError;
    for (uint32_t i = 0; i < h.trackCount; ++i) (*array)[i] = LoadLe32(raw.data() + size_t(i) * 4);
  }
  if (!read(out.indexBytes.data(), out.indexBytes.size())) return ContainerStatus::HeaderReadError;
  out.facts = ComputeIndexFacts(out.Index(), h);
  return ContainerStatus::Ok;
}

}  // namespace

ContainerStatus ReadContainer(const uint8_t* data, size_t size, MovieContainer& out) {
  out = MovieContainer{};
  if (data == nullptr || size < kMovieHeaderSize) return ContainerStatus::NotTarn;
  const MovieHeader h = DecodeMovieHeader(data);
  size_t pos = kMovieHeaderSize;
  auto read = [&](uint8_t* dst, size_t n) {
    if (n > size - pos) return false;
    std::copy_n(data + pos, n, dst);
    pos += n;
    return true;
  };
  return ReadRest(h, size - kMovieHeaderSize, read, out);
}

ContainerStatus ReadContainer(IoReader* reader, MovieContainer& out) {
  out = MovieContainer{};
  uint8_t head[kMovieHeaderSize];
  if (reader->ReadDirect(reader, 0, head, kMovieHeaderSize) != kMovieHeaderSize || reader->error) {
    return ContainerStatus::NotTarn;
  }
  const MovieHeader h = DecodeMovieHeader(head);
  auto read = [&](uint8_t* dst, size_t n) {
    // ReadDirect takes 32-bit counts; a larger index is read in pieces.
    while (n > 0) {
      const uint32_t piece = uint32_t(std::min<size_t>(n, 0x40000000));
      if (reader->ReadDirect(reader, kIoOffsetCurrent, dst, piece) != piece || reader->error) return false;
      dst += piece;
      n -= piece;
    }
    return true;
  };
  return ReadRest(h, MovieLength(h), read, out);
}

ContainerStatus ReadContainer(File& file, uint64_t base, MovieContainer& out) {
  out = MovieContainer{};
  uint8_t head[kMovieHeaderSize];
  if (!file.Seek(int64_t(base)) || file.Read(head, kMovieHeaderSize) != kMovieHeaderSize) {
    return ContainerStatus::NotTarn;
  }
  const MovieHeader h = DecodeMovieHeader(head);
  const int64_t fileSize = file.Size();
  uint64_t available = MovieLength(h);
  if (fileSize >= 0) {
    const uint64_t after = uint64_t(fileSize) > base + kMovieHeaderSize ? uint64_t(fileSize) - base - kMovieHeaderSize : 0;
    available = std::min<uint64_t>(available, after);
  }
  auto read = [&](uint8_t* dst, size_t n) { return file.Read(dst, n) == int64_t(n); };
  return ReadRest(h, available, read, out);
}

}  // namespace tarn
