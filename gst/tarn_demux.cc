// tarndemux. In pull mode a task on the sink pad reads the header, the track
// table and the index, then one frame record per step; seeks (time or frames,
// key-frame or accurate) restart it at the key frame at or before the target.
// In push mode the records are taken in file order from an adapter and the
// movie plays from the start. Every buffer pushed shares the memory of the
// record it came from; nothing outside a record is read into one.
#include "gst/tarn_demux.h"

#include <gst/base/base.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/input_limits.h"
#include "common/little_endian.h"
#include "gst/tarn_stream.h"
#include "movie/container.h"
#include "movie/movie.h"

GST_DEBUG_CATEGORY_STATIC(tarn_demux_debug);
#define GST_CAT_DEFAULT tarn_demux_debug

namespace tarn::gst {
namespace {

struct AudioStream {
  GstPad* pad = nullptr;
  uint32_t table = 0;  // the track's place in the track table
  uint32_t rate = 0, channels = 1;
};

// Touched by the streaming thread, and by a seek while it holds the sink pad's
// stream lock; segment is also read by queries under the object lock.
struct DemuxState {
  GstPad* sink = nullptr;
  GstPad* video = nullptr;
  std::vector<AudioStream> audio;
  GstFlowCombiner* flows = nullptr;
  GstAdapter* adapter = nullptr;  // push mode
  bool pullMode = false;
  bool haveHead = false;
  MovieContainer container;
  StreamRate rate;
  uint64_t upstreamBytes = UINT64_MAX;  // what the source held when pull mode started

  uint32_t next = 0;  // 0-based frame to push next
  uint32_t stop = 0;  // one past the last frame to push
  GstSegment segment{};
  bool sendSegment = true;
  guint32 seekSeqnum = GST_SEQNUM_INVALID;
  uint64_t consumed = 0;  // push mode: stream bytes already taken from the adapter

  // Decoded bytes of each audio stream before frame f: audioBytes[f * audio.size() + k],
  // known for frames 0 .. walked.
  std::vector<uint64_t> audioBytes;
  uint32_t walked = 0;
};

}  // namespace
}  // namespace tarn::gst

struct _TarnDemux {
  GstElement parent;
  tarn::gst::DemuxState* s;
};

G_DEFINE_TYPE(TarnDemux, tarn_demux, GST_TYPE_ELEMENT)

namespace tarn::gst {
namespace {

GstStaticPadTemplate kSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-tarn"));
GstStaticPadTemplate kVideoTemplate =
    GST_STATIC_PAD_TEMPLATE("video_%u", GST_PAD_SRC, GST_PAD_SOMETIMES, GST_STATIC_CAPS("video/x-tarn-video"));
GstStaticPadTemplate kAudioTemplate =
    GST_STATIC_PAD_TEMPLATE("audio_%u", GST_PAD_SRC, GST_PAD_SOMETIMES, GST_STATIC_CAPS("audio/x-tarn"));

const MovieHeader& Header(const DemuxState& s) { return s.container.header; }

std::vector<GstPad*> SourcePads(const DemuxState& s) {
  std::vector<GstPad*> pads;
  if (s.video) pads.push_back(s.video);
  for (const AudioStream& a : s.audio) pads.push_back(a.pad);
  return pads;
}

void PushToAll(DemuxState& s, GstEvent* event) {
  for (GstPad* pad : SourcePads(s)) gst_pad_push_event(pad, gst_event_ref(event));
  gst_event_unref(event);
}

// Ends the stream with an error naming the problem; downstream gets EOS so that
// sinks waiting for data let the pipeline stop.
void Fail(TarnDemux* self, const std::string& text) {
  GST_ELEMENT_ERROR(self, STREAM, DEMUX, ("%s", text.c_str()), (nullptr));
  PushToAll(*self->s, gst_event_new_eos());
}

std::string FrameText(uint32_t frame, const char* what) { return "frame " + std::to_string(frame + 1) + ": " + what; }

// The checks the movie's open makes before it plans anything: after them the
// track table and index can be read, and the picture planned.
std::string HeadProblem(const MovieHeader& h, uint64_t available) {
  if (const ContainerStatus st = CheckMovieHeader(h); st != ContainerStatus::Ok) return ContainerStatusText(st);
  const uint64_t headEnd = FrameIndexOffset(h) + FrameIndexBytes(h);
  if (!IndexCoversFrames(h) || headEnd > MovieLength(h) || headEnd > available || headEnd > G_MAXUINT32) {
    return ContainerStatusText(ContainerStatus::HeaderReadError);
  }
  if (h.width == 0 || h.height == 0 || h.width > kMaxPictureSide || h.height > kMaxPictureSide) {
    return "the picture size " + std::to_string(h.width) + "x" + std::to_string(h.height) +
           " is outside 1.." + std::to_string(kMaxPictureSide) + " pixels";
  }
  return {};
}

// Frame i's record must lie inside the movie and the source, and fit the
// header's largest frame, as the movie's frame read requires.
std::string RecordProblem(const DemuxState& s, uint32_t i) {
  const FrameIndexView index = s.container.Index();
  const uint64_t start = index.Offset(i), end = index.Offset(i + 1);
  if (start > end || end > MovieLength(Header(s)) || end - start > Header(s).largestFrame) {
    return FrameText(i, "its record lies outside the movie");
  }
  if (end > s.upstreamBytes) return FrameText(i, "the file ends inside its record");
  return {};
}

GstCaps* VideoCaps(const DemuxState& s) {
  const MovieHeader& h = Header(s);
  const char revision[2] = {MovieRevisionLetter(h.magic), 0};
  return gst_caps_new_simple(kVideoCaps, "width", G_TYPE_INT, int(h.width), "height", G_TYPE_INT, int(h.height),
                             "framerate", GST_TYPE_FRACTION, int(std::min<uint32_t>(s.rate.numerator, G_MAXINT)),
                             int(std::min<uint32_t>(s.rate.denominator, G_MAXINT)), kFieldRevision, G_TYPE_STRING,
                             revision, kFieldHeaderFlags, G_TYPE_UINT, h.flags, kFieldAllKeyFrames, G_TYPE_BOOLEAN,
                             gboolean(s.container.facts.allKeyFrames), nullptr);
}

GstCaps* AudioCaps(const DemuxState& s, uint32_t table) {
  const uint32_t word = s.container.rateWord[table];
  return gst_caps_new_simple(kAudioCaps, "rate", G_TYPE_INT, int(TrackRate(word)), "channels", G_TYPE_INT,
                             int(TrackChannels(word)), kFieldVariant, G_TYPE_STRING,
                             TrackUsesDct(word) ? "dct" : "rdft", kFieldTrackId, G_TYPE_UINT,
                             s.container.trackId[table], nullptr);
}

gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event);
gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query);

GstPad* AddSourcePad(TarnDemux* self, GstStaticPadTemplate* templ, const std::string& name, GstCaps* caps,
                     GstTagList* tags) {
  DemuxState& s = *self->s;
  GstPad* pad = gst_pad_new_from_static_template(templ, name.c_str());
  gst_pad_set_event_function(pad, SrcEvent);
  gst_pad_set_query_function(pad, SrcQuery);
  gst_pad_use_fixed_caps(pad);
  gst_pad_set_active(pad, TRUE);
  gchar* id = gst_pad_create_stream_id(pad, GST_ELEMENT(self), name.c_str());
  gst_pad_push_event(pad, gst_event_new_stream_start(id));
  g_free(id);
  gst_pad_push_event(pad, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  gst_pad_push_event(pad, gst_event_new_tag(tags));
  gst_element_add_pad(GST_ELEMENT(self), pad);
  gst_flow_combiner_add_pad(s.flows, pad);
  return pad;
}

// The head is in the container: make the pads and the first segment.
void StartStreams(TarnDemux* self) {
  DemuxState& s = *self->s;
  const MovieHeader& h = Header(s);
  s.rate = StreamRateOf(h);
  s.haveHead = true;
  s.next = 0;
  s.stop = h.frameCount;
  gst_segment_init(&s.segment, GST_FORMAT_TIME);
  s.segment.duration = FrameTime(s.rate, h.frameCount);
  s.sendSegment = true;

  GstTagList* videoTags = gst_tag_list_new(GST_TAG_CONTAINER_FORMAT, "Tarn", GST_TAG_VIDEO_CODEC, "Tarn video",
                                           nullptr);
  s.video = AddSourcePad(self, &kVideoTemplate, "video_0", VideoCaps(s), videoTags);
  for (uint32_t t = 0; t < h.trackCount; ++t) {
    const uint32_t word = s.container.rateWord[t];
    if (!TrackIsCompressed(word) || TrackRate(word) == 0) {
      GST_WARNING_OBJECT(self, "track %u (id %u) carries no compressed audio; not exposed", t, s.container.trackId[t]);
      continue;
    }
    GstTagList* tags = gst_tag_list_new(GST_TAG_AUDIO_CODEC, "Tarn audio", nullptr);
    GstPad* pad = AddSourcePad(self, &kAudioTemplate, "audio_" + std::to_string(t), AudioCaps(s, t), tags);
    s.audio.push_back({pad, t, TrackRate(word), TrackChannels(word)});
  }
  s.audioBytes.assign(s.audio.size(), 0);
  s.walked = 0;
  gst_element_no_more_pads(GST_ELEMENT(self));
}

GstClockTime AudioTime(const AudioStream& a, uint64_t bytes) {
  return gst_util_uint64_scale(bytes / (2 * a.channels), GST_SECOND, a.rate);
}

// Books the decoded byte counts of frame i (walked == i) so that frame i + 1's
// audio times are known.
void NoteWalked(DemuxState& s, uint32_t i, const std::vector<uint32_t>& decoded) {
  if (s.walked != i) return;
  const size_t n = s.audio.size();
  for (size_t k = 0; k < n; ++k) s.audioBytes.push_back(s.audioBytes[size_t(i) * n + k] + decoded[k]);
  ++s.walked;
}

// Splits frame i's record and pushes its packets, then its video data.
GstFlowReturn PushFrame(TarnDemux* self, uint32_t i, GstBuffer* record) {
  DemuxState& s = *self->s;
  if (s.sendSegment) {
    GstEvent* segment = gst_event_new_segment(&s.segment);
    if (s.seekSeqnum != GST_SEQNUM_INVALID) gst_event_set_seqnum(segment, s.seekSeqnum);
    PushToAll(s, segment);
    s.sendSegment = false;
  }
  GstMapInfo map;
  if (!gst_buffer_map(record, &map, GST_MAP_READ)) {
    gst_buffer_unref(record);
    return GST_FLOW_ERROR;
  }
  RecordParts parts;
  SplitRecord(map.data, map.size, Header(s).trackCount, parts);
  std::vector<uint32_t> decoded(s.audio.size(), 0);
  std::vector<GstBuffer*> packets(s.audio.size(), nullptr);
  for (size_t k = 0; k < s.audio.size(); ++k) {
    const RecordPacket& p = parts.packets[s.audio[k].table];
    if (p.length < 4) continue;  // empty, or too short to hold its decoded byte count
    decoded[k] = LoadLe32(map.data + p.offset);
    packets[k] = gst_buffer_copy_region(record, GST_BUFFER_COPY_ALL, p.offset, p.length);
  }
  const bool haveBytes = s.walked >= i;
  gst_buffer_unmap(record, &map);

  GstFlowReturn ret = GST_FLOW_OK;
  for (size_t k = 0; k < s.audio.size(); ++k) {
    if (!packets[k]) continue;
    const AudioStream& a = s.audio[k];
    if (haveBytes) {
      const uint64_t before = s.audioBytes[size_t(i) * s.audio.size() + k];
      GST_BUFFER_PTS(packets[k]) = AudioTime(a, before);
      GST_BUFFER_DURATION(packets[k]) = AudioTime(a, before + decoded[k]) - GST_BUFFER_PTS(packets[k]);
    }
    ret = gst_flow_combiner_update_pad_flow(s.flows, a.pad, gst_pad_push(a.pad, packets[k]));
    if (ret != GST_FLOW_OK) {
      for (size_t j = k + 1; j < packets.size(); ++j) {
        if (packets[j]) gst_buffer_unref(packets[j]);
      }
      gst_buffer_unref(record);
      return ret;
    }
  }
  NoteWalked(s, i, decoded);

  const size_t size = gst_buffer_get_size(record);
  GstBuffer* video = parts.videoOffset < size
                         ? gst_buffer_copy_region(record, GST_BUFFER_COPY_ALL, parts.videoOffset, size - parts.videoOffset)
                         : gst_buffer_new();
  gst_buffer_unref(record);
  GST_BUFFER_PTS(video) = GST_BUFFER_DTS(video) = FrameTime(s.rate, i);
  GST_BUFFER_DURATION(video) = FrameTime(s.rate, uint64_t(i) + 1) - FrameTime(s.rate, i);
  GST_BUFFER_OFFSET(video) = i;
  GST_BUFFER_OFFSET_END(video) = uint64_t(i) + 1;
  if (!s.container.Index().IsKey(i)) GST_BUFFER_FLAG_SET(video, GST_BUFFER_FLAG_DELTA_UNIT);
  if (parts.malformed) GST_BUFFER_FLAG_SET(video, GST_BUFFER_FLAG_CORRUPTED);
  GST_OBJECT_LOCK(self);
  s.segment.position = FrameTime(s.rate, i);
  GST_OBJECT_UNLOCK(self);
  return gst_flow_combiner_update_pad_flow(s.flows, s.video, gst_pad_push(s.video, video));
}

// --- Pull mode ---------------------------------------------------------------

// Reads exactly size bytes at offset; false when the source gives fewer.
bool PullExact(DemuxState& s, uint64_t offset, uint32_t size, GstBuffer** out) {
  *out = nullptr;
  if (gst_pad_pull_range(s.sink, offset, size, out) != GST_FLOW_OK) return false;
  if (gst_buffer_get_size(*out) == size) return true;
  gst_buffer_unref(*out);
  *out = nullptr;
  return false;
}

std::string ReadHeadPull(DemuxState& s) {
  GstBuffer* buffer = nullptr;
  if (!PullExact(s, 0, kMovieHeaderSize, &buffer)) return ContainerStatusText(ContainerStatus::NotTarn);
  uint8_t head[kMovieHeaderSize];
  gst_buffer_extract(buffer, 0, head, kMovieHeaderSize);
  gst_buffer_unref(buffer);
  const MovieHeader h = DecodeMovieHeader(head);
  if (std::string problem = HeadProblem(h, s.upstreamBytes); !problem.empty()) return problem;
  const uint32_t headBytes = uint32_t(FrameIndexOffset(h) + FrameIndexBytes(h));
  if (!PullExact(s, 0, headBytes, &buffer)) return ContainerStatusText(ContainerStatus::HeaderReadError);
  GstMapInfo map;
  ContainerStatus status = ContainerStatus::HeaderReadError;
  if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    status = ReadContainer(map.data, map.size, s.container);
    gst_buffer_unmap(buffer, &map);
  }
  gst_buffer_unref(buffer);
  return status == ContainerStatus::Ok ? std::string() : ContainerStatusText(status);
}

// Walks the packet length fields of the frames before target, so that audio
// pushed from target on carries the times sequential play gives it. Reads
// eight bytes per packet, never a whole record.
std::string WalkTo(DemuxState& s, uint32_t target) {
  const uint32_t tracks = Header(s).trackCount;
  std::vector<uint32_t> decoded(s.audio.size());
  while (s.walked < target) {
    const uint32_t f = s.walked;
    if (std::string problem = RecordProblem(s, f); !problem.empty()) return problem;
    const FrameIndexView index = s.container.Index();
    const uint64_t end = index.Offset(f + 1);
    uint64_t pos = index.Offset(f);
    std::fill(decoded.begin(), decoded.end(), 0);
    size_t k = 0;
    for (uint32_t t = 0; t < tracks && end - pos >= 4; ++t) {
      const uint32_t want = uint32_t(std::min<uint64_t>(8, end - pos));
      GstBuffer* b = nullptr;
      if (!PullExact(s, pos, want, &b)) return FrameText(f, "its record could not be read");
      uint8_t field[8] = {};
      gst_buffer_extract(b, 0, field, want);
      gst_buffer_unref(b);
      const uint32_t length = LoadLe32(field);
      pos += 4;
      if (length > end - pos) break;
      if (k < s.audio.size() && s.audio[k].table == t) {
        if (length >= 4 && want == 8) decoded[k] = LoadLe32(field + 4);
        ++k;
      }
      pos += length;
    }
    NoteWalked(s, f, decoded);
  }
  return {};
}

void PauseWith(TarnDemux* self, GstFlowReturn ret) {
  DemuxState& s = *self->s;
  GST_DEBUG_OBJECT(self, "pausing: %s", gst_flow_get_name(ret));
  gst_pad_pause_task(s.sink);
  if (ret == GST_FLOW_EOS) {
    if (s.segment.flags & GST_SEGMENT_FLAG_SEGMENT) {
      const GstClockTime stop = GST_CLOCK_TIME_IS_VALID(s.segment.stop) ? s.segment.stop : s.segment.duration;
      gst_element_post_message(GST_ELEMENT(self),
                               gst_message_new_segment_done(GST_OBJECT(self), GST_FORMAT_TIME, gint64(stop)));
      PushToAll(s, gst_event_new_segment_done(GST_FORMAT_TIME, gint64(stop)));
    } else {
      GstEvent* eos = gst_event_new_eos();
      if (s.seekSeqnum != GST_SEQNUM_INVALID) gst_event_set_seqnum(eos, s.seekSeqnum);
      PushToAll(s, eos);
    }
  } else if (ret == GST_FLOW_NOT_LINKED || ret < GST_FLOW_EOS) {
    GST_ELEMENT_FLOW_ERROR(self, ret);
    PushToAll(s, gst_event_new_eos());
  }
}

void PullLoop(gpointer data) {
  TarnDemux* self = TARN_DEMUX(data);
  DemuxState& s = *self->s;
  if (!s.haveHead) {
    if (std::string problem = ReadHeadPull(s); !problem.empty()) {
      GST_ELEMENT_ERROR(self, STREAM, DEMUX, ("%s", problem.c_str()), (nullptr));
      gst_pad_pause_task(s.sink);
      return;
    }
    StartStreams(self);
  }
  if (s.next >= s.stop) return PauseWith(self, GST_FLOW_EOS);
  const uint32_t i = s.next;
  std::string problem = RecordProblem(s, i);
  GstBuffer* record = nullptr;
  const FrameIndexView index = s.container.Index();
  if (problem.empty() && !PullExact(s, index.Offset(i), index.Offset(i + 1) - index.Offset(i), &record)) {
    problem = FrameText(i, "its record could not be read (the file is shorter than when it was opened)");
  }
  if (!problem.empty()) {
    Fail(self, problem);
    gst_pad_pause_task(s.sink);
    return;
  }
  ++s.next;
  const GstFlowReturn ret = PushFrame(self, i, record);
  if (ret != GST_FLOW_OK) PauseWith(self, ret);
}

// A seek in time or frames; converted to time, then done on the segment.
gboolean DoSeek(TarnDemux* self, GstEvent* event) {
  DemuxState& s = *self->s;
  gdouble rate;
  GstFormat format;
  GstSeekFlags flags;
  GstSeekType startType, stopType;
  gint64 start, stop;
  gst_event_parse_seek(event, &rate, &format, &flags, &startType, &start, &stopType, &stop);
  if (!s.pullMode || !s.haveHead || rate <= 0.0) return FALSE;
  if (format == GST_FORMAT_DEFAULT) {
    if (startType != GST_SEEK_TYPE_NONE && start >= 0) start = gint64(FrameTime(s.rate, uint64_t(start)));
    if (stopType != GST_SEEK_TYPE_NONE && stop >= 0) stop = gint64(FrameTime(s.rate, uint64_t(stop)));
  } else if (format != GST_FORMAT_TIME) {
    return FALSE;
  }
  const guint32 seqnum = gst_event_get_seqnum(event);
  const bool flush = flags & GST_SEEK_FLAG_FLUSH;
  if (flush) {
    GstEvent* e = gst_event_new_flush_start();
    gst_event_set_seqnum(e, seqnum);
    PushToAll(s, e);
  } else {
    gst_pad_pause_task(s.sink);
  }
  GST_PAD_STREAM_LOCK(s.sink);
  if (flush) {
    GstEvent* e = gst_event_new_flush_stop(TRUE);
    gst_event_set_seqnum(e, seqnum);
    PushToAll(s, e);
    gst_flow_combiner_reset(s.flows);
  }
  GstSegment segment = s.segment;
  gboolean update = FALSE;
  gst_segment_do_seek(&segment, rate, GST_FORMAT_TIME, flags, startType, start, stopType, stop, &update);
  const uint32_t frames = Header(s).frameCount;
  const uint32_t target = uint32_t(std::min<uint64_t>(FrameAtTime(s.rate, segment.start), frames - 1));
  uint32_t key = target;
  const FrameIndexView index = s.container.Index();
  while (key > 0 && !index.IsKey(key)) --key;
  if (flags & GST_SEEK_FLAG_KEY_UNIT) {
    segment.start = segment.position = segment.time = FrameTime(s.rate, key);
  } else {
    segment.position = segment.start;
  }
  std::string problem = WalkTo(s, key);
  GST_OBJECT_LOCK(self);
  s.segment = segment;
  GST_OBJECT_UNLOCK(self);
  s.next = key;
  s.stop = frames;
  if (GST_CLOCK_TIME_IS_VALID(segment.stop)) {
    const uint64_t end = gst_util_uint64_scale_ceil(segment.stop, s.rate.numerator, GST_SECOND * uint64_t(s.rate.denominator));
    s.stop = uint32_t(std::min<uint64_t>(end, frames));
  }
  s.sendSegment = true;
  s.seekSeqnum = seqnum;
  if (segment.flags & GST_SEGMENT_FLAG_SEGMENT) {
    GstMessage* m = gst_message_new_segment_start(GST_OBJECT(self), GST_FORMAT_TIME, gint64(segment.start));
    gst_message_set_seqnum(m, seqnum);
    gst_element_post_message(GST_ELEMENT(self), m);
  }
  if (problem.empty()) {
    gst_pad_start_task(s.sink, PullLoop, self, nullptr);
  } else {
    Fail(self, problem);
  }
  GST_PAD_STREAM_UNLOCK(s.sink);
  return TRUE;
}

gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
  TarnDemux* self = TARN_DEMUX(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
    const gboolean done = DoSeek(self, event);
    gst_event_unref(event);
    return done;
  }
  return gst_pad_event_default(pad, parent, event);
}

gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query) {
  TarnDemux* self = TARN_DEMUX(parent);
  DemuxState& s = *self->s;
  GstFormat format;
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION:
      gst_query_parse_duration(query, &format, nullptr);
      if (!s.haveHead) return FALSE;
      if (format == GST_FORMAT_TIME) {
        gst_query_set_duration(query, format, gint64(FrameTime(s.rate, Header(s).frameCount)));
      } else if (format == GST_FORMAT_DEFAULT) {
        gst_query_set_duration(query, format, Header(s).frameCount);
      } else {
        return FALSE;
      }
      return TRUE;
    case GST_QUERY_POSITION: {
      gst_query_parse_position(query, &format, nullptr);
      if (!s.haveHead) return FALSE;
      GST_OBJECT_LOCK(self);
      const GstClockTime position = s.segment.position;
      GST_OBJECT_UNLOCK(self);
      if (format == GST_FORMAT_TIME) {
        gst_query_set_position(query, format, gint64(position));
      } else if (format == GST_FORMAT_DEFAULT) {
        gst_query_set_position(query, format, gint64(FrameAtTime(s.rate, position)));
      } else {
        return FALSE;
      }
      return TRUE;
    }
    case GST_QUERY_SEEKING:
      gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
      if (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT) return FALSE;
      if (!s.haveHead || !s.pullMode) {
        gst_query_set_seeking(query, format, FALSE, -1, -1);
      } else {
        const gint64 end = format == GST_FORMAT_TIME ? gint64(FrameTime(s.rate, Header(s).frameCount))
                                                     : gint64(Header(s).frameCount);
        gst_query_set_seeking(query, format, TRUE, 0, end);
      }
      return TRUE;
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

// --- Push mode ---------------------------------------------------------------

GstFlowReturn PushChainStep(TarnDemux* self) {
  DemuxState& s = *self->s;
  if (!s.haveHead) {
    const size_t available = gst_adapter_available(s.adapter);
    if (available < kMovieHeaderSize) return GST_FLOW_OK;
    const MovieHeader h = DecodeMovieHeader(static_cast<const uint8_t*>(gst_adapter_map(s.adapter, kMovieHeaderSize)));
    gst_adapter_unmap(s.adapter);
    if (std::string problem = HeadProblem(h, UINT64_MAX); !problem.empty()) {
      GST_ELEMENT_ERROR(self, STREAM, DEMUX, ("%s", problem.c_str()), (nullptr));
      return GST_FLOW_ERROR;
    }
    const size_t headBytes = size_t(FrameIndexOffset(h) + FrameIndexBytes(h));
    if (available < headBytes) return GST_FLOW_OK;
    const auto* data = static_cast<const uint8_t*>(gst_adapter_map(s.adapter, headBytes));
    const ContainerStatus status = ReadContainer(data, headBytes, s.container);
    gst_adapter_unmap(s.adapter);
    gst_adapter_flush(s.adapter, headBytes);
    if (status != ContainerStatus::Ok) {
      GST_ELEMENT_ERROR(self, STREAM, DEMUX, ("%s", ContainerStatusText(status)), (nullptr));
      return GST_FLOW_ERROR;
    }
    s.consumed = headBytes;
    StartStreams(self);
  }
  while (s.next < s.stop) {
    const uint32_t i = s.next;
    const FrameIndexView index = s.container.Index();
    std::string problem = RecordProblem(s, i);
    if (problem.empty() && index.Offset(i) < s.consumed) {
      problem = FrameText(i, "its record lies before data already passed; play this movie from a seekable source");
    }
    if (!problem.empty()) {
      Fail(self, problem);
      return GST_FLOW_ERROR;
    }
    const uint64_t skip = index.Offset(i) - s.consumed;
    const uint64_t size = index.Offset(i + 1) - index.Offset(i);
    if (gst_adapter_available(s.adapter) < skip + size) return GST_FLOW_OK;
    gst_adapter_flush(s.adapter, size_t(skip));
    GstBuffer* record = size ? gst_adapter_take_buffer(s.adapter, size_t(size)) : gst_buffer_new();
    s.consumed += skip + size;
    ++s.next;
    const GstFlowReturn ret = PushFrame(self, i, record);
    if (ret != GST_FLOW_OK) return ret;
  }
  // Every frame is out; what follows the last record is not part of the movie.
  PushToAll(s, gst_event_new_eos());
  return GST_FLOW_EOS;
}

GstFlowReturn SinkChain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  TarnDemux* self = TARN_DEMUX(parent);
  DemuxState& s = *self->s;
  if (s.haveHead && s.next >= s.stop) {
    gst_buffer_unref(buffer);
    return GST_FLOW_EOS;
  }
  gst_adapter_push(s.adapter, buffer);
  return PushChainStep(self);
}

gboolean SinkEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
  TarnDemux* self = TARN_DEMUX(parent);
  DemuxState& s = *self->s;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEGMENT:
    case GST_EVENT_CAPS:
    case GST_EVENT_STREAM_START:
      // The streams out are the movie's own, timed from its index.
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_FLUSH_STOP:
      gst_adapter_clear(s.adapter);
      gst_flow_combiner_reset(s.flows);
      return gst_pad_event_default(pad, parent, event);
    case GST_EVENT_EOS:
      gst_event_unref(event);
      if (!s.haveHead) {
        // A whole header has passed its checks by now: the table or index is cut.
        const bool header = gst_adapter_available(s.adapter) >= kMovieHeaderSize;
        GST_ELEMENT_ERROR(self, STREAM, DEMUX,
                          ("%s", ContainerStatusText(header ? ContainerStatus::HeaderReadError : ContainerStatus::NotTarn)),
                          ("the stream ended before the movie's header and index"));
      } else if (s.next < s.stop) {
        Fail(self, FrameText(s.next, "the stream ends inside its record"));
      }
      return TRUE;
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

// --- Activation and state ---------------------------------------------------

gboolean SinkActivate(GstPad* sink, GstObject*) {
  GstQuery* query = gst_query_new_scheduling();
  bool pull = false;
  if (gst_pad_peer_query(sink, query)) {
    pull = gst_query_has_scheduling_mode_with_flags(query, GST_PAD_MODE_PULL, GST_SCHEDULING_FLAG_SEEKABLE);
  }
  gst_query_unref(query);
  return gst_pad_activate_mode(sink, pull ? GST_PAD_MODE_PULL : GST_PAD_MODE_PUSH, TRUE);
}

gboolean SinkActivateMode(GstPad* sink, GstObject* parent, GstPadMode mode, gboolean active) {
  TarnDemux* self = TARN_DEMUX(parent);
  DemuxState& s = *self->s;
  if (mode == GST_PAD_MODE_PUSH) {
    s.pullMode = false;
    s.upstreamBytes = UINT64_MAX;
    return TRUE;
  }
  if (mode != GST_PAD_MODE_PULL) return FALSE;
  if (!active) return gst_pad_stop_task(sink);
  s.pullMode = true;
  gint64 bytes = -1;
  s.upstreamBytes = gst_pad_peer_query_duration(sink, GST_FORMAT_BYTES, &bytes) && bytes >= 0 ? uint64_t(bytes)
                                                                                               : UINT64_MAX;
  return gst_pad_start_task(sink, PullLoop, self, nullptr);
}

void Reset(TarnDemux* self) {
  DemuxState& s = *self->s;
  for (GstPad* pad : SourcePads(s)) {
    gst_flow_combiner_remove_pad(s.flows, pad);
    gst_element_remove_pad(GST_ELEMENT(self), pad);
  }
  s.video = nullptr;
  s.audio.clear();
  s.haveHead = false;
  s.container = MovieContainer{};
  s.next = s.stop = 0;
  s.consumed = 0;
  s.audioBytes.clear();
  s.walked = 0;
  s.seekSeqnum = GST_SEQNUM_INVALID;
  gst_adapter_clear(s.adapter);
  gst_segment_init(&s.segment, GST_FORMAT_TIME);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
  TarnDemux* self = TARN_DEMUX(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) Reset(self);
  const GstStateChangeReturn ret = GST_ELEMENT_CLASS(tarn_demux_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) Reset(self);
  return ret;
}

void Finalize(GObject* object) {
  TarnDemux* self = TARN_DEMUX(object);
  gst_flow_combiner_free(self->s->flows);
  g_object_unref(self->s->adapter);
  delete self->s;
  G_OBJECT_CLASS(tarn_demux_parent_class)->finalize(object);
}

}  // namespace
}  // namespace tarn::gst

static void tarn_demux_class_init(TarnDemuxClass* klass) {
  using namespace tarn::gst;
  GST_DEBUG_CATEGORY_INIT(tarn_demux_debug, "tarndemux", 0, "Tarn movie demuxer");
  G_OBJECT_CLASS(klass)->finalize = Finalize;
  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  element->change_state = ChangeState;
  gst_element_class_add_static_pad_template(element, &kSinkTemplate);
  gst_element_class_add_static_pad_template(element, &kVideoTemplate);
  gst_element_class_add_static_pad_template(element, &kAudioTemplate);
  gst_element_class_set_static_metadata(element, "Tarn demuxer", "Codec/Demuxer",
                                        "Splits a Tarn movie into its video stream and audio tracks",
                                        "The Tarn developers");
}

static void tarn_demux_init(TarnDemux* self) {
  using namespace tarn::gst;
  self->s = new DemuxState;
  DemuxState& s = *self->s;
  s.flows = gst_flow_combiner_new();
  s.adapter = gst_adapter_new();
  gst_segment_init(&s.segment, GST_FORMAT_TIME);
  s.sink = gst_pad_new_from_static_template(&kSinkTemplate, "sink");
  gst_pad_set_activate_function(s.sink, SinkActivate);
  gst_pad_set_activatemode_function(s.sink, SinkActivateMode);
  gst_pad_set_chain_function(s.sink, SinkChain);
  gst_pad_set_event_function(s.sink, SinkEvent);
  gst_element_add_pad(GST_ELEMENT(self), s.sink);
}
