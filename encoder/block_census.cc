// Block census: finds each frame's planes and counts them with the decoder's
// own plane walk, so it reads exactly what the decoder reads; corrupt planes
// are counted as far as they go.
#include "encoder/block_census.h"

#include <vector>

#include "common/little_endian.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "video/video.h"

namespace tarn::encoder {

bool CountBlockTypes(const uint8_t* movie, size_t size, BlockCensus& out, std::string* why) {
  MovieContainer c;
  const ContainerStatus st = ReadContainer(movie, size, c);
  if (st != ContainerStatus::Ok) {
    *why = ContainerStatusText(st);
    return false;
  }
  const MovieHeader& h = c.header;
  if (!IndexCoversFrames(h) || h.width == 0 || h.height == 0 || h.width > 16384 || h.height > 16384) {
    *why = "unusable header";
    return false;
  }
  const char rev = MovieRevisionLetter(h.magic);
  const bool oldColours = rev != 'i';
  const uint32_t lw = (h.width + 7) & ~7u, lh = (h.height + 7) & ~7u;
  const uint32_t cw = (((h.width + 1) / 2) + 7) & ~7u, ch = (((h.height + 1) / 2) + 7) & ~7u;
  VideoWork work{};
  VideoWorkSizes((h.width + 15) & ~15u, work.sizes);
  std::vector<std::vector<uint8_t>> buffers;
  for (int k = 0; k < kVideoBundleCount; ++k) {
    buffers.emplace_back(work.sizes[k]);
    work.buffers[k] = buffers.back().data();
  }
  const FrameIndexView index = c.Index();
  for (uint32_t f = 0; f < h.frameCount; ++f) {
    const uint64_t start = index.Offset(f), end = index.Offset(f + 1);
    if (start > end || end > size) {
      *why = "frame " + std::to_string(f + 1) + " lies outside the file";
      return false;
    }
    const uint8_t* rec = movie + start;
    const size_t recSize = size_t(end - start);
    size_t pos = 0;
    bool ok = true;
    for (uint32_t t = 0; t < h.trackCount && ok; ++t) {
      if (recSize - pos < 4) {
        ok = false;
        break;
      }
      const uint32_t len = LoadLe32(rec + pos);
      pos += 4;
      if (len > recSize - pos) ok = false;
      else pos += len;
    }
    ++out.frames;
    if (!ok) {
      ++out.corruptPlanes;
      continue;
    }
    const uint8_t* data = rec + pos;
    const size_t dataSize = recSize - pos;
    uint64_t at = 0;
    bool corrupt = false;
    auto count = [&](uint64_t start, uint32_t width, uint32_t height, std::array<uint64_t, 16>& types) {
      return VideoCountPlaneBlocks(data, dataSize, start, width, height, work, oldColours, types, out.scaledAs,
                                   &corrupt);
    };
    if (h.flags & HDR_ALPHA) {
      const uint32_t length = dataSize >= 4 ? LoadLe32(data) : 0;
      count(4, lw, lh, out.types[2]);
      at = length;
    }
    uint64_t chromaAt = 0;
    if (rev == 'i') {
      chromaAt = at <= dataSize && dataSize - at >= 4 ? at + LoadLe32(data + at) : dataSize;
      at += 4;
    }
    const uint64_t lumaEnd = count(at, lw, lh, out.types[0]);
    if (!(h.flags & HDR_GRAYSCALE)) {
      if (rev != 'i') chromaAt = lumaEnd;
      const uint64_t next = count(chromaAt, cw, ch, out.types[1]);
      count(next, cw, ch, out.types[1]);
    }
    if (corrupt) ++out.corruptPlanes;
  }
  return true;
}

}  // namespace tarn::encoder
