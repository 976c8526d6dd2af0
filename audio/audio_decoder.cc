// The per-track audio packet decoder: one block of quantised coefficients per
// call, inverse transform, 16-bit conversion and the cross-fade with the tail
// held back from the previous block. Reads only [input, end) of the packet;
// writes only the decoder's own areas.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "audio/audio_decoder_internal.h"
#include "audio/audio_tables.h"
#include "audio/audio_transform.h"
#include "common/allocator.h"
#include "common/little_endian.h"
#include "common/checked_size.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarn {

namespace {

constexpr uint32_t kMaxTransformLength = 4096;  // 2048-sample frames x 2 channels
constexpr uint32_t kAreaAlign = 32;

// Fields of a block, least significant bit first, from 32-bit little-endian
// words. Bytes at or past the end of the packet read as 0, so a runaway block
// stays finite and deterministic.
class BlockBitReader {
 public:
  BlockBitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // 1 <= n <= 32.
  uint32_t Get(int n) {
    if (count < n) Refill(cache, count);
    const uint32_t v = uint32_t(cache & ((uint64_t(1) << n) - 1));
    cache >>= n;
    count -= n;
    return v;
  }

  // Appends the next word to a cache with fewer than 32 bits. Hot loops keep
  // cache and count in locals and hand them in.
  void Refill(uint64_t& c, int& n) {
    const size_t offset = 4 * words_;
    uint32_t word = 0;
    if (offset < size_ && size_ - offset >= 4) {
      word = LoadLe32(data_ + offset);
    } else {
      for (size_t i = 0; offset < size_ && i < size_ - offset; ++i) word |= uint32_t(data_[offset + i]) << (8 * i);
    }
    c |= uint64_t(word) << n;
    n += 32;
    ++words_;
  }

  // Whole 32-bit words from which at least one bit was taken, in bytes.
  size_t ConsumedBytes() const {
    const uint64_t bits = 32 * uint64_t(words_) - uint64_t(count);
    return size_t((bits + 31) / 32 * 4);
  }

  uint64_t cache = 0;  // unread bits, next one in bit 0
  int count = 0;       // valid bits in cache, 0..63

 private:
  const uint8_t* data_;
  size_t size_;
  size_t words_ = 0;  // words loaded into the cache so far
};

// x * scale rounded to the nearest integer, ties to even, clamped to int16.
inline int16_t ToSample(float x, double scale) {
  const double y = double(x) * scale;
  if (y >= 32767.0) return 32767;
  if (!(y > -32768.0)) return -32768;  // NaN cannot arise, but lands here too
#if defined(__SSE2__)
  return int16_t(_mm_cvtsd_si32(_mm_set_sd(y)));  // rounding mode: nearest, ties to even
#else
  return int16_t(std::lrint(y));
#endif
}

// floor(a / b) for b > 0.
inline int32_t FloorDiv(int32_t a, int32_t b) {
  const int32_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// 29-bit field: exponent in bits 0-4, mantissa in 5-27, sign in 28.
inline float ReadScalar(BlockBitReader& bits) {
  const uint32_t field = bits.Get(29);
  const float v = float(field >> 5 & 0x7FFFFF) * AudioExponentTable[field & 31];
  return (field >> 28) ? -v : v;
}

// Reads one channel's coefficients 0..n-1 into coef.
void ReadChannel(const AudioDecoder& d, BlockBitReader& bits, float* coef) {
  const uint32_t n = d.transformLength;
  const uint32_t* edges = d.bandEdges;
  coef[0] = ReadScalar(bits);
  coef[1] = ReadScalar(bits);

  float q[kAudioMaxBands];
  for (uint32_t b = 0; b < d.bandCount; ++b) {
    q[b] = AudioQuantTable[std::min<uint32_t>(bits.Get(8), kAudioQuantCount - 1)];
  }

  // Invariant: k <= bandCount, and 2 * edges[bandCount] = n, so the cursor
  // never passes the last edge while j < n.
  uint32_t j = 2, k = 0;
  float factor = 0.0f;
  while (k < d.bandCount && edges[k] == 0) factor = q[k++];
  while (j < n) {
    uint32_t end = j + 8;
    if (bits.Get(1)) end = j + 8 * uint32_t(AudioRunLengths[bits.Get(4)]);
    end = std::min(end, n);
    const int width = int(bits.Get(4));
    if (width == 0) {
      std::fill(coef + j, coef + end, 0.0f);
      j = end;
      while (2 * edges[k] < j) factor = q[k++];
      continue;
    }
    // Branch-free per value: v in width bits, then a sign bit only when v != 0.
    const uint32_t mask = (1u << width) - 1;
    uint32_t nextEdge = 2 * edges[k];
    uint64_t cache = bits.cache;
    int count = bits.count;
    for (; j < end; ++j) {
      if (j == nextEdge) {
        factor = q[k++];
        nextEdge = 2 * edges[k];
      }
      if (count < 16) bits.Refill(cache, count);  // width + sign <= 16 bits
      const uint32_t v = uint32_t(cache) & mask;
      const uint32_t nonZero = v != 0;
      const uint32_t sign = uint32_t(cache >> width) & nonZero;
      const float value = float(int32_t(v)) * factor;
      coef[j] = std::bit_cast<float>(std::bit_cast<uint32_t>(value) ^ (sign << 31));
      const int used = width + int(nonZero);
      cache >>= used;
      count -= used;
    }
    bits.cache = cache;
    bits.count = count;
  }
}

}  // namespace

AudioDecoder* AudioDecoderOpen(uint32_t sampleRate, uint32_t channels, bool useDct) {
  if (channels != 1 && channels != 2) return nullptr;
  const uint32_t frame = sampleRate >= 44100 ? 2048 : sampleRate >= 22050 ? 1024 : 512;
  const uint32_t n = useDct ? frame : frame * channels;
  const uint64_t effectiveRate = useDct ? uint64_t(sampleRate) : uint64_t(sampleRate) * channels;
  const uint64_t halfRate = (effectiveRate + 1) / 2;
  uint32_t bandCount = kAudioMaxBands;
  for (uint32_t i = 0; i < uint32_t(kAudioMaxBands); ++i) {
    if (AudioBandEdgeHz[i] >= halfRate) {
      bandCount = i;
      break;
    }
  }
  const uint32_t blockBytes = 2 * frame * channels;

  // Layout: record, output, overlap tail, band edges, index area, table.
  size_t offset = RoundUp(sizeof(AudioDecoder), kAreaAlign);
  const size_t outputAt = offset;
  offset += RoundUp(blockBytes, kAreaAlign);
  const size_t tailAt = offset;
  offset += RoundUp(blockBytes / 16, kAreaAlign);
  const size_t edgesAt = offset;
  offset += RoundUp(4 * (bandCount + 1), kAreaAlign);
  const size_t indexAt = offset;
  offset += RoundUp(4 * AudioTransformIndexAreaSize(n), kAreaAlign);
  const size_t tableAt = offset;
  offset += RoundUp(4 * AudioTransformTableSize(n, useDct), kAreaAlign);

  auto* base = static_cast<uint8_t*>(LibraryAllocate(offset));
  if (!base) return nullptr;
  std::memset(base, 0, offset);
  auto* d = reinterpret_cast<AudioDecoder*>(base);
  d->transformLength = n;
  d->outputScale = float(2.0 / std::sqrt(double(n)));
  d->blockBytes = blockBytes;
  d->overlapBytes = blockBytes / 16;
  d->transformChannels = useDct ? channels : 1;
  d->output = reinterpret_cast<int16_t*>(base + outputAt);
  d->firstBlock = 1;
  d->bandCount = bandCount;
  d->bandEdges = reinterpret_cast<uint32_t*>(base + edgesAt);
  d->transformIndexArea = reinterpret_cast<int32_t*>(base + indexAt);
  d->transformTable = reinterpret_cast<float*>(base + tableAt);
  d->overlapTail = reinterpret_cast<int16_t*>(base + tailAt);
  d->variantFlags = useDct ? AUDIO_VARIANT_DCT : 0;
  for (uint32_t i = 0; i < bandCount; ++i) {
    // bandCount > i means AudioBandEdgeHz[i] < halfRate, so halfRate >= 1 and
    // the edge stays below n / 2.
    const uint32_t edge = uint32_t(uint64_t(AudioBandEdgeHz[i]) * (n / 2) / halfRate);
    d->bandEdges[i] = edge == 0 ? 1 : edge;
  }
  d->bandEdges[bandCount] = n / 2;
  d->transformIndexArea[0] = 0;
  return d;
}

void AudioDecoderClose(AudioDecoder* decoder) { LibraryRelease(decoder); }

uint32_t AudioDecoderBlockBytes(const AudioDecoder* decoder) { return decoder ? decoder->blockBytes : 0; }
uint32_t AudioDecoderOverlapBytes(const AudioDecoder* decoder) { return decoder ? decoder->overlapBytes : 0; }

void AudioDecodeBlock(AudioDecoder* decoder, const uint8_t* input, const uint8_t* end,
                      const int16_t** samplesOut, uint32_t* bytesOut, const uint8_t** nextOut) {
  if (!decoder) {
    if (samplesOut) *samplesOut = nullptr;
    if (bytesOut) *bytesOut = 0;
    if (nextOut) *nextOut = input;
    return;
  }
  AudioDecoder& d = *decoder;
  const size_t avail = (input && end && input < end) ? size_t(end - input) : 0;
  BlockBitReader bits(input, avail);
  const bool dct = (d.variantFlags & AUDIO_VARIANT_DCT) != 0;
  const uint32_t n = d.transformLength;

  alignas(32) float coef[kMaxTransformLength];
  if (dct) bits.Get(2);
  for (uint32_t c = 0; c < d.transformChannels; ++c) {
    float* channel = coef + c * n;
    ReadChannel(d, bits, channel);
    if (dct) {
      InverseDct(n, channel, d.transformIndexArea, d.transformTable);
    } else {
      InverseRealDft(n, channel, d.transformIndexArea, d.transformTable);
    }
  }

  const double scale = d.outputScale;
  int16_t* out = d.output;
  if (d.transformChannels == 1) {
    for (uint32_t i = 0; i < n; ++i) out[i] = ToSample(coef[i], scale);
  } else {
    for (uint32_t i = 0; i < n; ++i) {
      out[2 * i] = ToSample(coef[i], scale);
      out[2 * i + 1] = ToSample(coef[n + i], scale);
    }
  }

  const int32_t overlap = int32_t(d.overlapBytes / 2);
  if (d.firstBlock) {
    d.firstBlock = 0;
  } else {
    const int16_t* tail = d.overlapTail;
    for (int32_t i = 0; i < overlap; ++i) {
      out[i] = int16_t(FloorDiv(int32_t(tail[i]) * (overlap - i) + int32_t(out[i]) * i, overlap));
    }
  }
  std::memcpy(d.overlapTail, out + (d.blockBytes / 2 - uint32_t(overlap)), d.overlapBytes);

  if (samplesOut) *samplesOut = out;
  if (bytesOut) *bytesOut = d.blockBytes - d.overlapBytes;
  if (nextOut) {
    const size_t used = bits.ConsumedBytes();
    *nextOut = used <= avail ? input + used : (avail > 0 ? end : input);
  }
}


uint32_t AudioDecodePacket(AudioDecoder* decoder, const uint8_t* packet, const uint8_t* end, AudioEmitFn emit,
                           void* context) {
  if (decoder == nullptr || end - packet < 4) return 0;
  uint32_t owed = LoadLe32(packet);
  const uint32_t total = owed;
  const uint8_t* in = packet + 4;
  while (owed > 0 && in < end) {
    const int16_t* samples = nullptr;
    uint32_t bytes = 0;
    const uint8_t* next = in;
    AudioDecodeBlock(decoder, in, end, &samples, &bytes, &next);
    if (bytes == 0 || samples == nullptr || next <= in) break;  // no progress
    const uint32_t b = std::min(bytes, owed);
    emit(context, reinterpret_cast<const uint8_t*>(samples), b);
    owed -= b;
    in = next;
  }
  return total - owed;
}

}  // namespace tarn
