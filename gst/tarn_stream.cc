// The stream vocabulary shared by the demuxer and the decoders.
#include "gst/tarn_stream.h"

#include "common/little_endian.h"
#include "movie/movie.h"

namespace tarn::gst {

StreamRate StreamRateOf(const MovieHeader& h) {
  if (h.rateNumerator == 0 || h.rateDenominator == 0) return {kUntimedRate, 1};
  return {h.rateNumerator, h.rateDenominator};
}

// GST_SECOND * denominator stays below 2^63 for any 32-bit denominator, and
// the scale keeps a 128-bit intermediate.
GstClockTime FrameTime(const StreamRate& rate, uint64_t frame) {
  return gst_util_uint64_scale(frame, GST_SECOND * uint64_t(rate.denominator), rate.numerator);
}

uint64_t FrameAtTime(const StreamRate& rate, GstClockTime t) {
  return gst_util_uint64_scale(t, rate.numerator, GST_SECOND * uint64_t(rate.denominator));
}

void SplitRecord(const uint8_t* record, size_t size, uint32_t trackCount, RecordParts& out) {
  out.packets.assign(trackCount, RecordPacket{});
  out.malformed = false;
  size_t pos = 0;
  for (uint32_t t = 0; t < trackCount; ++t) {
    if (size - pos < 4) {
      out.malformed = true;
      pos = size;
      break;
    }
    const uint32_t length = LoadLe32(record + pos);
    pos += 4;
    if (length > size - pos) {
      out.malformed = true;
      pos = size;
      break;
    }
    out.packets[t] = {uint32_t(pos), length};
    pos += length;
  }
  out.videoOffset = uint32_t(pos);
}

bool TrackIsCompressed(uint32_t rateWord) { return (rateWord & (TRACK_CODEC_A | TRACK_CODEC_B)) != 0; }
uint32_t TrackChannels(uint32_t rateWord) { return (rateWord & TRACK_STEREO) ? 2 : 1; }

}  // namespace tarn::gst
