// tarnaudiodec. Each input buffer is one packet: its decoded byte count, then
// the compressed blocks. Blocks are decoded until the count is produced (the
// last one cut to what is still owed) or the packet's bytes are used up, and
// the bytes go out in order; a packet whose count ends inside a sample frame
// leaves the rest of that frame for the next one, so the output is the same
// byte stream the movie's track ring receives.
#include "gst/tarn_audio_dec.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/audio_decoder.h"
#include "common/little_endian.h"
#include "gst/tarn_stream.h"

GST_DEBUG_CATEGORY_STATIC(tarn_audio_dec_debug);
#define GST_CAT_DEFAULT tarn_audio_dec_debug

namespace tarn::gst {
namespace {

struct AudioDecState {
  AudioDecoder* decoder = nullptr;
  uint32_t rate = 0, channels = 0;
  bool dct = true;
  std::vector<uint8_t> pending;  // decoded bytes not yet sent: less than one sample frame between packets

  void Close() {
    AudioDecoderClose(decoder);
    decoder = nullptr;
    pending.clear();
  }
  bool Open() {
    Close();
    decoder = AudioDecoderOpen(rate, channels, dct);
    return decoder != nullptr;
  }
};

}  // namespace
}  // namespace tarn::gst

struct _TarnAudioDec {
  GstAudioDecoder parent;
  tarn::gst::AudioDecState* s;
};

G_DEFINE_TYPE(TarnAudioDec, tarn_audio_dec, GST_TYPE_AUDIO_DECODER)

namespace tarn::gst {
namespace {

GstStaticPadTemplate kSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("audio/x-tarn, rate = (int) [ 1, 65535 ], channels = (int) [ 1, 2 ]"));
GstStaticPadTemplate kSrcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) [ 1, 65535 ], channels = (int) [ 1, 2 ]"));

gboolean SetFormat(GstAudioDecoder* decoder, GstCaps* caps) {
  TarnAudioDec* self = TARN_AUDIO_DEC(decoder);
  AudioDecState& s = *self->s;
  const GstStructure* st = gst_caps_get_structure(caps, 0);
  gint rate = 0, channels = 0;
  const gchar* variant = gst_structure_get_string(st, kFieldVariant);
  if (!gst_structure_get_int(st, "rate", &rate) || !gst_structure_get_int(st, "channels", &channels) || !variant ||
      rate < 1 || rate > 65535 || channels < 1 || channels > 2) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("the audio caps do not describe a Tarn audio track"), (nullptr));
    return FALSE;
  }
  s.rate = uint32_t(rate);
  s.channels = uint32_t(channels);
  s.dct = std::strcmp(variant, "rdft") != 0;
  if (!s.Open()) {
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("cannot create the audio decoder"), (nullptr));
    return FALSE;
  }
  GstAudioInfo info;
  gst_audio_info_init(&info);
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16LE, rate, channels, nullptr);
  return gst_audio_decoder_set_output_format(decoder, &info);
}

GstFlowReturn HandleFrame(GstAudioDecoder* decoder, GstBuffer* buffer) {
  TarnAudioDec* self = TARN_AUDIO_DEC(decoder);
  AudioDecState& s = *self->s;
  if (!buffer) return GST_FLOW_OK;  // draining: nothing is held back but a partial sample frame
  if (!s.decoder) return GST_FLOW_NOT_NEGOTIATED;
  GstMapInfo in;
  if (!gst_buffer_map(buffer, &in, GST_MAP_READ)) return GST_FLOW_ERROR;
  std::vector<uint8_t>& out = s.pending;
  if (in.size >= 4) {
    uint32_t remaining = LoadLe32(in.data);
    const uint8_t* p = in.data + 4;
    const uint8_t* const end = in.data + in.size;
    while (remaining > 0 && p < end) {
      const int16_t* samples = nullptr;
      uint32_t bytes = 0;
      AudioDecodeBlock(s.decoder, p, end, &samples, &bytes, &p);
      const uint32_t take = std::min(bytes, remaining);
      // Little-endian 16-bit values, byte for byte like the track ring.
      for (uint32_t i = 0; i < take; ++i) {
        const uint16_t v = uint16_t(samples[i / 2]);
        out.push_back(uint8_t(i % 2 ? v >> 8 : v));
      }
      remaining -= take;
    }
  }
  gst_buffer_unmap(buffer, &in);
  const size_t frameBytes = 2 * size_t(s.channels);
  const size_t whole = out.size() / frameBytes * frameBytes;
  if (whole == 0) return gst_audio_decoder_finish_frame(decoder, nullptr, 1);
  GstBuffer* pcm = gst_buffer_new_allocate(nullptr, whole, nullptr);
  gst_buffer_fill(pcm, 0, out.data(), whole);
  out.erase(out.begin(), out.begin() + std::ptrdiff_t(whole));
  return gst_audio_decoder_finish_frame(decoder, pcm, 1);
}

// A flush (a seek) restarts the block overlap as a fresh track does.
void Flush(GstAudioDecoder* decoder, gboolean) {
  AudioDecState& s = *TARN_AUDIO_DEC(decoder)->s;
  if (s.decoder) s.Open();
}

gboolean Stop(GstAudioDecoder* decoder) {
  TARN_AUDIO_DEC(decoder)->s->Close();
  return TRUE;
}

void Finalize(GObject* object) {
  TarnAudioDec* self = TARN_AUDIO_DEC(object);
  self->s->Close();
  delete self->s;
  G_OBJECT_CLASS(tarn_audio_dec_parent_class)->finalize(object);
}

}  // namespace
}  // namespace tarn::gst

static void tarn_audio_dec_class_init(TarnAudioDecClass* klass) {
  using namespace tarn::gst;
  GST_DEBUG_CATEGORY_INIT(tarn_audio_dec_debug, "tarnaudiodec", 0, "Tarn audio decoder");
  G_OBJECT_CLASS(klass)->finalize = Finalize;
  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element, &kSinkTemplate);
  gst_element_class_add_static_pad_template(element, &kSrcTemplate);
  gst_element_class_set_static_metadata(element, "Tarn audio decoder", "Codec/Decoder/Audio",
                                        "Decodes a Tarn audio track to interleaved S16LE", "The Tarn developers");
  GstAudioDecoderClass* audio = GST_AUDIO_DECODER_CLASS(klass);
  audio->set_format = SetFormat;
  audio->handle_frame = HandleFrame;
  audio->flush = Flush;
  audio->stop = Stop;
}

static void tarn_audio_dec_init(TarnAudioDec* self) {
  self->s = new tarn::gst::AudioDecState;
  gst_audio_decoder_set_drainable(GST_AUDIO_DECODER(self), TRUE);
  gst_audio_decoder_set_needs_format(GST_AUDIO_DECODER(self), TRUE);
}
