// tarndec. Each input buffer is one frame's video data; it is decoded into a
// plane set laid out as the movie's own (one set when every frame is a key
// frame, else two used alternately, zero-filled at the start and after a
// flush), then copied into the output picture: plane by plane at the picture
// size, or through CopyPlanes when the header's display mode is applied.
// Frames the decoder finds corrupt, or whose record was malformed, leave with
// GST_BUFFER_FLAG_CORRUPTED.
#include "gst/tarn_dec.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/checked_size.h"
#include "common/cpu_features.h"
#include "common/input_limits.h"
#include "convert/copy.h"
#include "gst/tarn_stream.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "video/video.h"

GST_DEBUG_CATEGORY_STATIC(tarn_dec_debug);
#define GST_CAT_DEFAULT tarn_dec_debug

namespace tarn::gst {
namespace {

enum { PROP_0, PROP_APPLY_DISPLAY_MODE };

// 32-byte aligned pieces of one allocation.
class AlignedBlock {
 public:
  void Resize(size_t bytes) {
    memory_.assign(bytes + 32, 0);
    const auto address = reinterpret_cast<uintptr_t>(memory_.data());
    base_ = memory_.data() + ((32 - (address & 31)) & 31);
  }
  uint8_t* At(size_t offset) { return base_ + offset; }
  void Zero() { std::fill(memory_.begin(), memory_.end(), uint8_t(0)); }

 private:
  std::vector<uint8_t> memory_;
  uint8_t* base_ = nullptr;
};

constexpr size_t Align32(size_t n) { return (n + 31) & ~size_t(31); }

struct DecState {
  bool applyDisplayMode = false;  // property; guarded by the object lock

  // Fixed by set_format.
  uint32_t width = 0, height = 0;
  uint32_t headerFlags = 0, movieFlags = 0;
  uint32_t display = DISPLAY_NONE;  // applied display option
  GstVideoFormat format = GST_VIDEO_FORMAT_I420;
  PlaneSet planes{};
  AlignedBlock planeMemory;
  AlignedBlock workMemory;
  VideoWork work{};
  std::vector<uint8_t> changeMap;
  uint32_t blocksAcross = 0, mapRows = 0;
  // The display path's destinations: the luma plane, then V, then U (CopyPlanes' planar layout).
  std::vector<uint8_t> scratch, alphaScratch;
  uint32_t scratchPitch = 0;
};

}  // namespace
}  // namespace tarn::gst

struct _TarnDec {
  GstVideoDecoder parent;
  tarn::gst::DecState* s;
};

G_DEFINE_TYPE(TarnDec, tarn_dec, GST_TYPE_VIDEO_DECODER)

namespace tarn::gst {
namespace {

GstStaticPadTemplate kSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-tarn-video"));
GstStaticPadTemplate kSrcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("{ I420, A420, GRAY8 }")));

bool Grey(const DecState& s) { return s.movieFlags & OPEN_GREY; }
bool Alpha(const DecState& s) { return s.planes.alphaPresent; }
bool ChromaSwapped(const DecState& s) { return s.movieFlags & OPEN_BEFORE_REV_H; }

// The plane set and work buffers for a picture of width x height, as the
// movie's open builds them.
void BuildPlanes(DecState& s, bool allKeyFrames) {
  PlaneSet& ps = s.planes;
  ps = PlaneSet{};
  ps.setCount = allKeyFrames ? 1 : 2;
  ps.lumaWidth = RoundUp(s.width, 8);
  ps.lumaHeight = RoundUp(s.height, 8);
  ps.chromaWidth = RoundUp((s.width + 1) / 2, 8);
  ps.chromaHeight = RoundUp((s.height + 1) / 2, 8);
  ps.alphaPresent = (s.movieFlags & OPEN_ALPHA) ? 1 : 0;
  const uint32_t chromaStride = RoundUp(ps.chromaWidth, 16);
  const size_t lumaBytes = Align32(size_t(ps.lumaWidth) * ps.lumaHeight);
  const size_t chromaBytes = Align32(size_t(chromaStride) * ps.chromaHeight);
  const size_t setBytes = lumaBytes * (ps.alphaPresent ? 2 : 1) + 2 * chromaBytes;
  s.planeMemory.Resize(setBytes * ps.setCount);
  for (uint32_t set = 0; set < ps.setCount; ++set) {
    size_t at = set * setBytes;
    for (uint32_t p = 0; p < kPlaneCount; ++p) {
      if (p == PLANE_ALPHA && !ps.alphaPresent) continue;
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      ps.planes[set][p] = {1, s.planeMemory.At(at), chroma ? chromaStride : ps.lumaWidth};
      at += chroma ? chromaBytes : lumaBytes;
    }
  }
  uint32_t sizes[kVideoBundleCount];
  VideoWorkSizes(RoundUp(s.width, 16), sizes);
  size_t total = 0;
  for (uint32_t size : sizes) total += Align32(size);
  s.workMemory.Resize(total);
  size_t at = 0;
  for (int i = 0; i < kVideoBundleCount; ++i) {
    s.work.sizes[i] = sizes[i];
    s.work.buffers[i] = s.workMemory.At(at);
    at += Align32(sizes[i]);
  }
  s.blocksAcross = (s.width + 15) / 16;
  s.mapRows = (s.height + 15) / 16;
  s.changeMap.assign(size_t(s.blocksAcross) * s.mapRows + 16, 0);
}

// The display option's output size, and the scratch destination CopyPlanes
// writes into (pitch even, so that the chroma pitch is half of it).
void PlanDisplay(DecState& s, uint32_t& outWidth, uint32_t& outHeight) {
  outWidth = s.width * (DisplayDoublesWidth(s.display) ? 2 : 1);
  outHeight = s.height * (DisplayDoublesHeight(s.display) ? 2 : 1);
  if (s.display == DISPLAY_NONE) {
    s.scratch.clear();
    s.alphaScratch.clear();
    return;
  }
  s.scratchPitch = RoundUp(outWidth, 2);
  const size_t luma = size_t(s.scratchPitch) * outHeight;
  const size_t chroma = size_t(s.scratchPitch / 2) * ((outHeight + 1) / 2);
  // Lines an interlaced option leaves out stay black (and transparent).
  s.scratch.assign(luma + 2 * chroma, 128);
  std::fill_n(s.scratch.begin(), luma, uint8_t(0));
  if (Alpha(s)) s.alphaScratch.assign(luma + 2 * chroma, 0);
}

gboolean SetFormat(GstVideoDecoder* decoder, GstVideoCodecState* state) {
  TarnDec* self = TARN_DEC(decoder);
  DecState& s = *self->s;
  const GstStructure* st = gst_caps_get_structure(state->caps, 0);
  gint width = 0, height = 0;
  guint headerFlags = 0;
  gboolean allKeys = FALSE;
  const gchar* revision = gst_structure_get_string(st, kFieldRevision);
  if (!gst_structure_get_int(st, "width", &width) || !gst_structure_get_int(st, "height", &height) ||
      !gst_structure_get_uint(st, kFieldHeaderFlags, &headerFlags) || !revision || std::strlen(revision) != 1 ||
      revision[0] < 'f' || revision[0] > 'i') {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("the video caps do not describe a Tarn video stream"), (nullptr));
    return FALSE;
  }
  if (width < 1 || height < 1 || uint32_t(width) > kMaxPictureSide || uint32_t(height) > kMaxPictureSide) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("the picture size %dx%d is outside 1..%u pixels", width, height,
                                             kMaxPictureSide), (nullptr));
    return FALSE;
  }
  gst_structure_get_boolean(st, kFieldAllKeyFrames, &allKeys);
  s.width = uint32_t(width);
  s.height = uint32_t(height);
  s.headerFlags = headerFlags;
  const uint32_t magic = kMagicRevF + (uint32_t(revision[0] - 'f') << 24);
  s.movieFlags = MovieRevisionFlags(magic) | (headerFlags & HDR_GRAYSCALE) | ((headerFlags & HDR_ALPHA) ? OPEN_ALPHA : 0);
  GST_OBJECT_LOCK(self);
  const bool apply = s.applyDisplayMode;
  GST_OBJECT_UNLOCK(self);
  s.display = apply ? (headerFlags & HDR_DISPLAY_MODE) >> DISPLAY_OPTION_SHIFT : DISPLAY_NONE;
  if (s.display == DISPLAY_FORCE_NONE) s.display = DISPLAY_NONE;
  BuildPlanes(s, allKeys);
  s.format = Alpha(s) ? GST_VIDEO_FORMAT_A420 : Grey(s) ? GST_VIDEO_FORMAT_GRAY8 : GST_VIDEO_FORMAT_I420;
  uint32_t outWidth = 0, outHeight = 0;
  PlanDisplay(s, outWidth, outHeight);
  GstVideoCodecState* out = gst_video_decoder_set_output_state(decoder, s.format, outWidth, outHeight, state);
  gst_video_codec_state_unref(out);
  return gst_video_decoder_negotiate(decoder);
}

void CopyRows(const uint8_t* from, size_t fromStride, uint8_t* to, size_t toStride, uint32_t width, uint32_t rows) {
  for (uint32_t y = 0; y < rows; ++y) std::memcpy(to + y * toStride, from + y * fromStride, width);
}

void FillRows(uint8_t value, uint8_t* to, size_t toStride, uint32_t width, uint32_t rows) {
  for (uint32_t y = 0; y < rows; ++y) std::memset(to + y * toStride, value, width);
}

// The current planes at the picture size: Y, U (Cb), V (Cr) and alpha.
void CopyPictureSize(const DecState& s, GstVideoFrame& frame) {
  const PlaneEntry* set = s.planes.planes[s.planes.current & 1];
  const uint32_t cw = (s.width + 1) / 2, ch = (s.height + 1) / 2;
  auto plane = [&](int i) { return static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i)); };
  auto stride = [&](int i) { return size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i)); };
  CopyRows(set[PLANE_LUMA].data, set[PLANE_LUMA].stride, plane(0), stride(0), s.width, s.height);
  if (s.format == GST_VIDEO_FORMAT_GRAY8) return;
  if (Grey(s)) {
    FillRows(128, plane(1), stride(1), cw, ch);
    FillRows(128, plane(2), stride(2), cw, ch);
  } else {
    const PlaneEntry& u = set[ChromaSwapped(s) ? PLANE_CHROMA1 : PLANE_CHROMA2];
    const PlaneEntry& v = set[ChromaSwapped(s) ? PLANE_CHROMA2 : PLANE_CHROMA1];
    CopyRows(u.data, u.stride, plane(1), stride(1), cw, ch);
    CopyRows(v.data, v.stride, plane(2), stride(2), cw, ch);
  }
  if (s.format == GST_VIDEO_FORMAT_A420) {
    CopyRows(set[PLANE_ALPHA].data, set[PLANE_ALPHA].stride, plane(3), stride(3), s.width, s.height);
  }
}

// The current planes through CopyPlanes with the display option: the same
// doubling and interlacing the player's copy makes.
void CopyDisplayed(DecState& s, GstVideoFrame& frame) {
  const PlaneEntry* set = s.planes.planes[s.planes.current & 1];
  CopySource source{};
  for (int p = 0; p < kPlaneCount; ++p) {
    source.plane[p] = set[p].data;
    source.stride[p] = set[p].stride;
  }
  source.width = s.width;
  source.height = s.height;
  source.changeMap = s.changeMap.data();
  source.mapStride = s.blocksAcross;
  source.mapRows = s.mapRows;
  const uint32_t outWidth = GST_VIDEO_FRAME_WIDTH(&frame), outHeight = GST_VIDEO_FRAME_HEIGHT(&frame);
  const uint32_t flags = COPY_FORMAT_YV12 | (s.display << COPY_DISPLAY_SHIFT) | (ChromaSwapped(s) ? COPY_SWAP_CHROMA : 0) |
                         (Grey(s) ? COPY_GREY : 0);
  const CopyRect rect{0, 0, s.width, s.height};
  const CpuFlags cpu = CpuFeatures();
  const size_t pitch = s.scratchPitch, chromaPitch = pitch / 2;
  const uint32_t cw = (outWidth + 1) / 2, ch = (outHeight + 1) / 2;
  CopyPlanes(source, {s.scratch.data(), int32_t(pitch), outHeight, 0, 0}, rect, flags, false, cpu);
  auto plane = [&](int i) { return static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i)); };
  auto stride = [&](int i) { return size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i)); };
  const uint8_t* v = s.scratch.data() + pitch * outHeight;
  const uint8_t* u = v + chromaPitch * ch;
  CopyRows(s.scratch.data(), pitch, plane(0), stride(0), outWidth, outHeight);
  if (s.format == GST_VIDEO_FORMAT_GRAY8) return;
  CopyRows(u, chromaPitch, plane(1), stride(1), cw, ch);
  CopyRows(v, chromaPitch, plane(2), stride(2), cw, ch);
  if (s.format == GST_VIDEO_FORMAT_A420) {
    CopyPlanes(source, {s.alphaScratch.data(), int32_t(pitch), outHeight, 0, 0}, rect, flags | COPY_SHOW_ALPHA, false,
               cpu);
    CopyRows(s.alphaScratch.data(), pitch, plane(3), stride(3), outWidth, outHeight);
  }
}

GstFlowReturn HandleFrame(GstVideoDecoder* decoder, GstVideoCodecFrame* frame) {
  TarnDec* self = TARN_DEC(decoder);
  DecState& s = *self->s;
  if (s.width == 0) {
    gst_video_decoder_drop_frame(decoder, frame);
    return GST_FLOW_NOT_NEGOTIATED;
  }
  GstMapInfo in;
  if (!gst_buffer_map(frame->input_buffer, &in, GST_MAP_READ)) {
    gst_video_decoder_drop_frame(decoder, frame);
    return GST_FLOW_ERROR;
  }
  static const uint8_t kNoData[1] = {0};
  const uint8_t* data = in.size ? in.data : kNoData;
  std::fill(s.changeMap.begin(), s.changeMap.end(), uint8_t(0));
  const VideoFrameResult result =
      VideoDecodeFrame(&s.planes, data, data + in.size, s.headerFlags, s.movieFlags, s.changeMap.data(), s.blocksAcross, s.work);
  const bool corrupt = result.corrupt || GST_BUFFER_FLAG_IS_SET(frame->input_buffer, GST_BUFFER_FLAG_CORRUPTED);
  gst_buffer_unmap(frame->input_buffer, &in);

  const GstFlowReturn ret = gst_video_decoder_allocate_output_frame(decoder, frame);
  if (ret != GST_FLOW_OK) {
    gst_video_decoder_drop_frame(decoder, frame);
    return ret;
  }
  GstVideoCodecState* state = gst_video_decoder_get_output_state(decoder);
  GstVideoFrame out;
  const bool mapped = gst_video_frame_map(&out, &state->info, frame->output_buffer, GST_MAP_WRITE);
  gst_video_codec_state_unref(state);
  if (!mapped) {
    gst_video_decoder_drop_frame(decoder, frame);
    return GST_FLOW_ERROR;
  }
  if (s.display == DISPLAY_NONE) {
    CopyPictureSize(s, out);
  } else {
    CopyDisplayed(s, out);
  }
  gst_video_frame_unmap(&out);
  if (corrupt) {
    GST_DEBUG_OBJECT(self, "frame %" G_GUINT64_FORMAT " is corrupt", GST_BUFFER_OFFSET(frame->input_buffer));
    GST_BUFFER_FLAG_SET(frame->output_buffer, GST_BUFFER_FLAG_CORRUPTED);
  }
  return gst_video_decoder_finish_frame(decoder, frame);
}

// After a flush the stream restarts at a key frame; the planes start as a
// fresh movie's do.
gboolean Flush(GstVideoDecoder* decoder) {
  DecState& s = *TARN_DEC(decoder)->s;
  s.planeMemory.Zero();
  s.planes.current = 0;
  return TRUE;
}

gboolean Stop(GstVideoDecoder* decoder) {
  TarnDec* self = TARN_DEC(decoder);
  GST_OBJECT_LOCK(self);
  const bool apply = self->s->applyDisplayMode;
  *self->s = DecState{};
  self->s->applyDisplayMode = apply;
  GST_OBJECT_UNLOCK(self);
  return TRUE;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
  TarnDec* self = TARN_DEC(object);
  if (id != PROP_APPLY_DISPLAY_MODE) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    return;
  }
  GST_OBJECT_LOCK(self);
  self->s->applyDisplayMode = g_value_get_boolean(value);
  GST_OBJECT_UNLOCK(self);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* spec) {
  TarnDec* self = TARN_DEC(object);
  if (id != PROP_APPLY_DISPLAY_MODE) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    return;
  }
  GST_OBJECT_LOCK(self);
  g_value_set_boolean(value, self->s->applyDisplayMode);
  GST_OBJECT_UNLOCK(self);
}

void Finalize(GObject* object) {
  delete TARN_DEC(object)->s;
  G_OBJECT_CLASS(tarn_dec_parent_class)->finalize(object);
}

}  // namespace
}  // namespace tarn::gst

static void tarn_dec_class_init(TarnDecClass* klass) {
  using namespace tarn::gst;
  GST_DEBUG_CATEGORY_INIT(tarn_dec_debug, "tarndec", 0, "Tarn video decoder");
  GObjectClass* object = G_OBJECT_CLASS(klass);
  object->finalize = Finalize;
  object->set_property = SetProperty;
  object->get_property = GetProperty;
  g_object_class_install_property(
      object, PROP_APPLY_DISPLAY_MODE,
      g_param_spec_boolean("apply-display-mode", "Apply display mode",
                           "Lay the picture out as the movie header's display mode says (line or pixel "
                           "doubling, interlacing); off: the picture at its own size",
                           FALSE, GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element, &kSinkTemplate);
  gst_element_class_add_static_pad_template(element, &kSrcTemplate);
  gst_element_class_set_static_metadata(element, "Tarn video decoder", "Codec/Decoder/Video",
                                        "Decodes Tarn video to I420, A420 or GRAY8", "The Tarn developers");
  GstVideoDecoderClass* video = GST_VIDEO_DECODER_CLASS(klass);
  video->set_format = SetFormat;
  video->handle_frame = HandleFrame;
  video->flush = Flush;
  video->stop = Stop;
}

static void tarn_dec_init(TarnDec* self) {
  self->s = new tarn::gst::DecState;
  gst_video_decoder_set_packetized(GST_VIDEO_DECODER(self), TRUE);
  gst_video_decoder_set_needs_format(GST_VIDEO_DECODER(self), TRUE);
}
