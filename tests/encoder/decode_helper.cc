// Test-side decoding of encoder output through the video and audio decoders.
#include "tests/encoder/decode_helper.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <random>

#include "audio/audio_decoder.h"
#include "common/little_endian.h"
#include "movie/movie.h"

namespace tarn::test {

std::vector<encoder::Picture> SyntheticClip(uint32_t w, uint32_t h, int frames, bool alpha, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<encoder::Picture> clip;
  for (int t = 0; t < frames; ++t) {
    encoder::Picture p;
    p.Resize(w, h, alpha);
    const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        int v = int(40 + (x + 2 * t) * 150 / w + y * 40 / h);
        const int sx = int(x) - (8 + 3 * t), sy = int(y) - (h / 3 + t);
        if (sx >= 0 && sx < 20 && sy >= 0 && sy < 16) v = 220;
        if (y >= h - 14 && y < h - 4) {  // text-like strip scrolling left
          const uint32_t gx = (x + 2 * t) % 12;
          v = (gx < 2 || ((y + gx) % 5 == 0)) ? 16 : 235;
        }
        if (x < 16 && y < 16) v = int(rng() % 256);
        p.y[size_t(y) * w + x] = uint8_t(std::clamp(v, 0, 255));
        if (alpha) p.a[size_t(y) * w + x] = uint8_t(x < w / 2 ? 255 : (x * 7 + y * 3 + t) & 255);
      }
    }
    for (uint32_t y = 0; y < ch; ++y)
      for (uint32_t x = 0; x < cw; ++x) {
        p.cb[size_t(y) * cw + x] = uint8_t(100 + (x * 60) / cw + t);
        p.cr[size_t(y) * cw + x] = uint8_t(160 - (y * 50) / ch);
      }
    clip.push_back(std::move(p));
  }
  return clip;
}

DecoderPlanes::DecoderPlanes(uint32_t width, uint32_t height, bool alpha) {
  set.setCount = 2;
  set.lumaWidth = (width + 7) & ~7u;
  set.lumaHeight = (height + 7) & ~7u;
  set.chromaWidth = (((width + 1) / 2) + 7) & ~7u;
  set.chromaHeight = (((height + 1) / 2) + 7) & ~7u;
  set.alphaPresent = alpha;
  const uint32_t cstride = (set.chromaWidth + 15) & ~15u;
  for (int s = 0; s < 2; ++s) {
    for (int p = 0; p < 4; ++p) {
      const bool chroma = p == 1 || p == 2;
      const uint32_t stride = chroma ? cstride : set.lumaWidth;
      const uint32_t rows = chroma ? set.chromaHeight : set.lumaHeight;
      storage_.emplace_back(size_t(stride) * rows, 0);
      set.planes[s][p] = {1, storage_.back().data(), stride};
    }
  }
  VideoWorkSizes((width + 15) & ~15u, work.sizes);
  for (int k = 0; k < kVideoBundleCount; ++k) {
    storage_.emplace_back(work.sizes[k]);
    work.buffers[k] = storage_.back().data();
  }
  blocksAcross = (width + 15) / 16;
  changeMap.assign(size_t(blocksAcross) * ((height + 15) / 16), 0);
}

bool DecodeMovieImage(const std::vector<uint8_t>& m, DecodedMovie& out, std::string* why) {
  auto fail = [why](const char* w) {
    *why = w;
    return false;
  };
  if (m.size() < 44 || std::memcmp(m.data(), "TRN", 3) != 0) return fail("bad magic");
  out.revision = char(m[3]);
  if (LoadLe32(&m[4]) + 8ull != m.size()) return fail("size field");
  out.frames = LoadLe32(&m[8]);
  if (LoadLe32(&m[16]) != out.frames) return fail("index count");
  out.width = LoadLe32(&m[20]);
  out.height = LoadLe32(&m[24]);
  out.headerFlags = LoadLe32(&m[36]);
  const uint32_t tracks = LoadLe32(&m[40]);
  const size_t indexAt = 44 + 12 * size_t(tracks);
  if (indexAt + 4 * (size_t(out.frames) + 1) > m.size()) return fail("index");
  out.tracks.resize(tracks);
  std::vector<AudioDecoder*> decoders;
  for (uint32_t t = 0; t < tracks; ++t) {
    DecodedTrack& tr = out.tracks[t];
    tr.largestPacket = LoadLe32(&m[44 + 4 * t]);
    tr.rateWord = LoadLe32(&m[44 + 4 * (tracks + t)]);
    tr.id = LoadLe32(&m[44 + 4 * (2 * tracks + t)]);
    const bool useDct = (tr.rateWord & TRACK_CODEC_B) && !(tr.rateWord & TRACK_CODEC_A);
    decoders.push_back(AudioDecoderOpen(tr.rateWord & 0xFFFF, (tr.rateWord & TRACK_STEREO) ? 2 : 1, useDct));
  }
  uint32_t flags = 0;
  if (out.revision != 'i') flags |= OPEN_BEFORE_REV_I;
  if (out.revision == 'f' || out.revision == 'g') flags |= OPEN_BEFORE_REV_H;
  if (out.headerFlags & HDR_GRAYSCALE) flags |= OPEN_GREY;
  if (out.headerFlags & HDR_ALPHA) flags |= OPEN_ALPHA;
  DecoderPlanes planes(out.width, out.height, (out.headerFlags & HDR_ALPHA) != 0);
  uint32_t largestFrame = 0;
  const uint32_t cw = (out.width + 1) / 2, ch = (out.height + 1) / 2;
  for (uint32_t f = 0; f < out.frames; ++f) {
    const uint32_t e0 = LoadLe32(&m[indexAt + 4 * f]), e1 = LoadLe32(&m[indexAt + 4 * (f + 1)]);
    const size_t start = e0 & ~1u, end = e1 & ~1u;
    if (start > end || end > m.size()) return fail("frame offsets");
    largestFrame = std::max<uint32_t>(largestFrame, uint32_t(end - start));
    out.key.push_back(e0 & 1);
    size_t pos = start;
    for (uint32_t t = 0; t < tracks; ++t) {
      if (end - pos < 4) return fail("packet length");
      const uint32_t len = LoadLe32(&m[pos]);
      pos += 4;
      if (len > end - pos) return fail("packet overruns frame");
      if (len == 0) continue;
      const uint8_t* packetEnd = &m[pos] + len;
      uint32_t remaining = LoadLe32(&m[pos]);
      out.tracks[t].largestPacket = std::max(out.tracks[t].largestPacket, 0u);
      const uint8_t* p = &m[pos] + 4;
      while (remaining > 0 && p < packetEnd) {
        const int16_t* samples = nullptr;
        uint32_t bytes = 0;
        const uint8_t* next = nullptr;
        AudioDecodeBlock(decoders[t], p, packetEnd, &samples, &bytes, &next);
        const uint32_t take = std::min(bytes, remaining);
        out.tracks[t].samples.insert(out.tracks[t].samples.end(), samples, samples + take / 2);
        remaining -= take;
        p = next;
      }
      if (p != packetEnd || remaining != 0) ++out.packetMismatches;
      pos += len;
    }
    const VideoFrameResult r = VideoDecodeFrame(&planes.set, &m[pos], &m[0] + end, out.headerFlags,
                                                flags, planes.changeMap.data(), planes.blocksAcross,
                                                planes.work);
    if (r.corrupt) ++out.corruptFrames;
    auto crop = [&](int p, uint32_t w, uint32_t h) {
      std::vector<uint8_t> v(size_t(w) * h);
      for (uint32_t y = 0; y < h; ++y) std::memcpy(&v[size_t(y) * w], planes.Plane(p) + size_t(y) * planes.Stride(p), w);
      return v;
    };
    out.y.push_back(crop(0, out.width, out.height));
    const bool grey = out.headerFlags & HDR_GRAYSCALE;
    out.c1.push_back(grey ? std::vector<uint8_t>() : crop(1, cw, ch));
    out.c2.push_back(grey ? std::vector<uint8_t>() : crop(2, cw, ch));
    out.a.push_back((out.headerFlags & HDR_ALPHA) ? crop(3, out.width, out.height) : std::vector<uint8_t>());
  }
  for (AudioDecoder* d : decoders) AudioDecoderClose(d);
  if (LoadLe32(&m[12]) != largestFrame) return fail("largest frame");
  return true;
}

double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double sse = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = double(a[i]) - b[i];
    sse += d * d;
  }
  if (sse == 0) return 99.0;
  return 10 * std::log10(255.0 * 255.0 * double(n) / sse);
}

}  // namespace tarn::test
