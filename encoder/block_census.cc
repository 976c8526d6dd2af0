// Block census: the decoder's plane walk with every sample write left out.
// Uses the decoder's bit reader, trees and bundles, so it reads exactly what
// the decoder reads; corrupt planes are counted as far as they go.
#include "encoder/block_census.h"

#include <vector>

#include "common/little_endian.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "video/video.h"
#include "video/video_internal.h"

namespace tarn::encoder {

namespace {

// Walks one plane from data + start; returns the offset after it.
uint64_t WalkPlane(const uint8_t* data, size_t size, uint64_t start, uint32_t width, uint32_t height,
                   const VideoWork& work, bool oldColours, std::array<uint64_t, 16>& types,
                   std::array<uint64_t, 16>& scaledAs, bool* corrupt) {
  if (start > size) {
    *corrupt = true;
    return size;
  }
  BitReader br(data + start, size - size_t(start));
  PlaneBundles pb;
  PlaneBundlesInit(pb, work, width, oldColours);
  ReadPlaneTrees(br, pb);
  auto colours = [&](int n) {
    for (int i = 0; i < n; ++i) TakeByte(pb, BUNDLE_COLOR);
  };
  auto content = [&](uint32_t t) {
    int16_t coef[64];
    uint8_t residue[64];
    switch (t) {
      case 2:  // motion
        TakeByte(pb, BUNDLE_X_OFFSET);
        TakeByte(pb, BUNDLE_Y_OFFSET);
        break;
      case 3: {  // run
        br.Bits(4);
        int i = 0;
        while (i < 63) {
          const uint32_t b = br.Bit();
          const int n = TakeByte(pb, BUNDLE_RUN) + 1;
          colours(b ? 1 : n);
          i += n;
        }
        if (i == 63) colours(1);
        break;
      }
      case 4:  // residue
        TakeByte(pb, BUNDLE_X_OFFSET);
        TakeByte(pb, BUNDLE_Y_OFFSET);
        ReadResidue(br, br.Bits(7), residue);
        break;
      case 5:  // intra
        TakeDc(pb, BUNDLE_INTRA_DC);
        ReadCoefficients(br, coef);
        br.Bits(4);
        break;
      case 6: colours(1); break;
      case 7:  // inter
        TakeByte(pb, BUNDLE_X_OFFSET);
        TakeByte(pb, BUNDLE_Y_OFFSET);
        TakeDc(pb, BUNDLE_INTER_DC);
        ReadCoefficients(br, coef);
        br.Bits(4);
        break;
      case 8:
        colours(2);
        for (int i = 0; i < 8; ++i) TakeByte(pb, BUNDLE_PATTERN);
        break;
      case 9: colours(64); break;
      default: break;
    }
  };
  for (uint32_t y = 0; y < height && !br.Overrun(); y += 8) {
    RefillBundles(br, pb);
    const bool odd = (y / 8) & 1;
    for (uint32_t x = 0; x < width;) {
      const uint32_t t = TakeByte(pb, BUNDLE_BLOCK_TYPE) & 15;
      if (t == 1) {
        if (!odd) {
          ++types[1];
          const uint32_t sub = TakeByte(pb, BUNDLE_SUB_BLOCK_TYPE) & 15;
          ++scaledAs[sub];
          if (sub == 3 || sub == 5 || sub == 6 || sub == 8 || sub == 9) content(sub);
        }
        x += 16;
        continue;
      }
      ++types[t];
      content(t);
      x += 8;
    }
  }
  if (pb.corrupt || br.Overrun()) *corrupt = true;
  return start + br.NextWordOffset();
}

}  // namespace

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
    if (h.flags & HDR_ALPHA) {
      const uint32_t length = dataSize >= 4 ? LoadLe32(data) : 0;
      WalkPlane(data, dataSize, 4, lw, lh, work, oldColours, out.types[2], out.scaledAs, &corrupt);
      at = length;
    }
    uint64_t chromaAt = 0;
    if (rev == 'i') {
      chromaAt = at <= dataSize && dataSize - at >= 4 ? at + LoadLe32(data + at) : dataSize;
      at += 4;
    }
    const uint64_t lumaEnd = WalkPlane(data, dataSize, at, lw, lh, work, oldColours, out.types[0], out.scaledAs, &corrupt);
    if (!(h.flags & HDR_GRAYSCALE)) {
      if (rev != 'i') chromaAt = lumaEnd;
      const uint64_t next = WalkPlane(data, dataSize, chromaAt, cw, ch, work, oldColours, out.types[1], out.scaledAs, &corrupt);
      WalkPlane(data, dataSize, next, cw, ch, work, oldColours, out.types[1], out.scaledAs, &corrupt);
    }
    if (corrupt) ++out.corruptPlanes;
  }
  return true;
}

}  // namespace tarn::encoder
