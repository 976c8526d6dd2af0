// The GStreamer plugin in pipelines built in this process: every revision,
// alpha, grey and two tracks give the pictures of `tarn planes` (cropped to
// the picture) and the samples of `tarn audio`, byte for byte, in pull and in
// push mode; seeks give the frames sequential decoding gives there; bad input
// ends the pipeline with an error naming the problem, within a bounded wait.
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/little_endian.h"
#include "encoder/movie_encoder.h"
#include "movie/movie.h"

// GLib and GStreamer keep their type system and registry until the process
// ends; only the plugin's own allocations are checked for leaks.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgstreamer-1.0.so\nleak:libgstbase-1.0.so\n"
         "leak:libgstvideo-1.0.so\nleak:libgstaudio-1.0.so\nleak:libgstcoreelements.so\nleak:libgstplayback.so\n";
}

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

// GStreamer once per process, with this build's plugin and a registry of its own.
void InitGstreamer() {
  static bool done = [] {
    setenv("GST_PLUGIN_PATH", TARN_GST_PLUGIN_DIR, 1);
    setenv("GST_REGISTRY", TARN_GST_REGISTRY, 1);
    setenv("GST_REGISTRY_FORK", "no", 1);  // a sanitizer build's plugin loads only into this process
    gst_init(nullptr, nullptr);
    return true;
  }();
  (void)done;
  GstPlugin* plugin = gst_registry_find_plugin(gst_registry_get(), "tarn");
  ASSERT_NE(plugin, nullptr) << "the plugin is not in " << TARN_GST_PLUGIN_DIR;
  gst_object_unref(plugin);
}

struct Outcome {
  bool eos = false;
  std::string error;  // the first error message's text
};

using Hook = std::function<void(GstElement*)>;

// Runs a pipeline to its end, at most `seconds`. built runs on the new
// pipeline, prerolled once it has prerolled in PAUSED.
Outcome RunPipeline(const std::string& description, double seconds = 10, const Hook& built = {},
                    const Hook& prerolled = {}) {
  Outcome out;
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline) {
    ADD_FAILURE() << description << ": " << (error ? error->message : "no pipeline");
    g_clear_error(&error);
    return out;
  }
  g_clear_error(&error);
  const auto limit = GstClockTime(seconds * GST_SECOND);
  if (built) built(pipeline);
  if (prerolled) {
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    if (gst_element_get_state(pipeline, nullptr, nullptr, limit) == GST_STATE_CHANGE_SUCCESS) prerolled(pipeline);
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* m = gst_bus_timed_pop_filtered(bus, limit, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (!m) {
    ADD_FAILURE() << description << ": neither an end nor an error within " << seconds << " s";
  } else if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS) {
    out.eos = true;
  } else {
    GError* e = nullptr;
    gst_message_parse_error(m, &e, nullptr);
    out.error = e ? e->message : "?";
    g_clear_error(&e);
  }
  if (m) gst_message_unref(m);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return out;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Temp(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("tarn_gst_" + std::to_string(getpid()) + "_" + name)).string();
}

void Tool(const std::string& args) {
  const char* tool = std::getenv("TARN_TOOL");
  ASSERT_NE(tool, nullptr);
  ASSERT_EQ(std::system((std::string(tool) + " " + args + " >/dev/null").c_str()), 0) << args;
}

struct Spec {
  const char* name;
  uint32_t width, height, frames;
  char revision;
  bool alpha = false, grey = false;
  std::vector<std::pair<uint32_t, uint32_t>> tracks{};  // rate, channels
  bool dct = true;
  uint32_t keyInterval = 0;
  uint32_t display = 0;
};

// Gradients, a moving square and a noisy band; a chord on each track.
Bytes Encode(const Spec& s) {
  std::vector<encoder::Picture> pictures(s.frames);
  uint32_t seed = 2463534242u;
  for (uint32_t f = 0; f < s.frames; ++f) {
    encoder::Picture& p = pictures[f];
    p.Resize(s.width, s.height, s.alpha);
    for (uint32_t y = 0; y < s.height; ++y) {
      for (uint32_t x = 0; x < s.width; ++x) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        const bool square = x - f * 3 - 2 < s.width / 3 && y - 2 < s.height / 3;
        uint8_t v = y > s.height * 3 / 4 ? uint8_t(seed >> 24) : uint8_t(x * 255 / s.width);
        p.y[size_t(y) * s.width + x] = square ? 230 : v;
        if (s.alpha) p.a[size_t(y) * s.width + x] = square ? 255 : uint8_t(y * 255 / s.height);
      }
    }
    const uint32_t cw = (s.width + 1) / 2, ch = (s.height + 1) / 2;
    for (uint32_t y = 0; y < ch; ++y) {
      for (uint32_t x = 0; x < cw; ++x) {
        p.cb[size_t(y) * cw + x] = uint8_t(64 + x * 128 / cw);
        p.cr[size_t(y) * cw + x] = uint8_t(192 - y * 128 / ch - f * 8);
      }
    }
  }
  std::vector<encoder::MemoryTrack> tracks;
  for (size_t t = 0; t < s.tracks.size(); ++t) {
    encoder::Sound sound;
    sound.sampleRate = s.tracks[t].first;
    sound.channels = s.tracks[t].second;
    const size_t n = size_t(sound.sampleRate) * s.frames / 10;
    for (size_t i = 0; i < n * sound.channels; ++i) {
      const double time = double(i / sound.channels) / sound.sampleRate;
      sound.samples.push_back(int16_t(std::lround(9000 * std::sin(6.2831853 * (330 + 110 * (i % 2)) * time))));
    }
    tracks.push_back({sound, uint32_t(7 + t)});
  }
  encoder::EncodeOptions o;
  o.revision = s.revision;
  o.alpha = s.alpha;
  o.grey = s.grey;
  o.audioDct = s.dct;
  o.quality = 60;
  o.keyInterval = s.keyInterval;
  o.display = s.display;
  o.rateNumerator = 10;
  Bytes movie;
  std::string why;
  EXPECT_TRUE(encoder::EncodeMovieMemory(pictures, tracks, o, movie, &why)) << why;
  return movie;
}

struct Plane {
  uint32_t width, height;
  Bytes bytes;
  bool operator==(const Plane&) const = default;
};
using Picture = std::vector<Plane>;  // in the output format's plane order

Plane Crop(const uint8_t* data, size_t stride, uint32_t width, uint32_t height) {
  Plane p{width, height, {}};
  for (uint32_t y = 0; y < height; ++y) p.bytes.insert(p.bytes.end(), data + y * stride, data + y * stride + width);
  return p;
}

// The frames of a raw GStreamer video file, without the padding GStreamer's
// layout puts after lines.
std::vector<Picture> GstPictures(const Bytes& file, GstVideoFormat format, uint32_t width, uint32_t height) {
  GstVideoInfo info;
  gst_video_info_set_format(&info, format, width, height);
  std::vector<Picture> out;
  for (size_t at = 0; at + info.size <= file.size(); at += info.size) {
    Picture pic;
    for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&info); ++p) {
      pic.push_back(Crop(file.data() + at + info.offset[p], size_t(info.stride[p]), GST_VIDEO_INFO_COMP_WIDTH(&info, p),
                         GST_VIDEO_INFO_COMP_HEIGHT(&info, p)));
    }
    out.push_back(pic);
  }
  return out;
}

// The frames `tarn planes` wrote (planes at the decoded size, rounded up to 8,
// in the decoder's order Y, chroma 1, chroma 2, alpha), cropped to the
// picture and put in the order of format: Y, U (Cb), V (Cr), A.
std::vector<Picture> ToolPictures(const Bytes& file, GstVideoFormat format, uint32_t width, uint32_t height,
                                  bool swapped, bool withAlpha) {
  const uint32_t lw = (width + 7) & ~7u, lh = (height + 7) & ~7u;
  const uint32_t cw = ((width + 1) / 2 + 7) & ~7u, chh = ((height + 1) / 2 + 7) & ~7u;
  const size_t frameBytes = size_t(lw) * lh * (withAlpha ? 2 : 1) + 2 * size_t(cw) * chh;
  std::vector<Picture> out;
  for (size_t at = 0; at + frameBytes <= file.size(); at += frameBytes) {
    const uint8_t* y = file.data() + at;
    const uint8_t* c1 = y + size_t(lw) * lh;
    const uint8_t* c2 = c1 + size_t(cw) * chh;
    const uint8_t* a = c2 + size_t(cw) * chh;
    const uint32_t pw = (width + 1) / 2, ph = (height + 1) / 2;
    Picture pic{Crop(y, lw, width, height)};
    if (format != GST_VIDEO_FORMAT_GRAY8) {
      pic.push_back(Crop(swapped ? c1 : c2, cw, pw, ph));
      pic.push_back(Crop(swapped ? c2 : c1, cw, pw, ph));
      if (format == GST_VIDEO_FORMAT_A420) pic.push_back(Crop(a, lw, width, height));
    }
    out.push_back(pic);
  }
  return out;
}

// Grey movies with alpha leave as A420 with neutral chroma.
void NeutralChroma(std::vector<Picture>& pictures) {
  for (Picture& p : pictures) {
    for (int i : {1, 2}) std::fill(p[i].bytes.begin(), p[i].bytes.end(), uint8_t(128));
  }
}

struct Case {
  Spec spec;
  bool push = false;     // through a queue: the demuxer runs in push mode
  bool corrupt = false;  // damage the video data of the second frame
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.spec.name; }

class GstPlugin : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override { InitGstreamer(); }
};

// Pictures and samples equal the tools' output; corrupt frames are marked
// exactly where the library reports them.
TEST_P(GstPlugin, MatchesTheToolsByteForByte) {
  const Case& c = GetParam();
  const Spec& s = c.spec;
  Bytes movie = Encode(s);
  ASSERT_FALSE(movie.empty());
  if (c.corrupt) {
    const uint32_t start = LoadLe32(movie.data() + 44 + 12 * s.tracks.size() + 4) & ~1u;
    const uint32_t end = LoadLe32(movie.data() + 44 + 12 * s.tracks.size() + 8) & ~1u;
    for (uint32_t i = start + (end - start) / 2; i < end; ++i) movie[i] = uint8_t(i * 37);
  }
  const std::string path = Temp(std::string(s.name) + ".trn"), video = Temp(std::string(s.name) + ".yuv");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(movie.data()), std::streamsize(movie.size()));

  std::string description = "filesrc location=" + path + (c.push ? " ! queue" : "") +
                            " ! tarndemux name=d d.video_0 ! queue ! tarndec name=dec ! filesink location=" + video;
  for (size_t t = 0; t < s.tracks.size(); ++t) {
    description += " d.audio_" + std::to_string(t) + " ! queue ! tarnaudiodec ! filesink location=" +
                   Temp(std::string(s.name) + std::to_string(t) + ".raw");
  }
  std::vector<bool> marked;
  const Outcome o = RunPipeline(description, 20, [&](GstElement* pipeline) {
    GstElement* dec = gst_bin_get_by_name(GST_BIN(pipeline), "dec");
    GstPad* src = gst_element_get_static_pad(dec, "src");
    gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, [](GstPad*, GstPadProbeInfo* info, gpointer data) {
      static_cast<std::vector<bool>*>(data)->push_back(GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info), GST_BUFFER_FLAG_CORRUPTED));
      return GST_PAD_PROBE_OK;
    }, &marked, nullptr);
    gst_object_unref(src);
    gst_object_unref(dec);
  });
  ASSERT_TRUE(o.eos) << o.error;

  // The library's own verdicts, frame by frame.
  std::vector<bool> corrupt;
  Movie* m = MovieOpen(path.c_str(), OPEN_NO_THREAD | OPEN_ALPHA);
  ASSERT_NE(m, nullptr);
  for (uint32_t f = 1; f <= m->frameCount; ++f) {
    ASSERT_EQ(MovieDoFrame(m), 0u);
    corrupt.push_back(MovieLastFrameCorrupt(m));
    MovieNextFrame(m);
  }
  MovieClose(m);
  EXPECT_EQ(marked, corrupt);
  if (c.corrupt) {
    EXPECT_TRUE(corrupt[1]);
  }

  const GstVideoFormat format = s.alpha ? GST_VIDEO_FORMAT_A420 : s.grey ? GST_VIDEO_FORMAT_GRAY8 : GST_VIDEO_FORMAT_I420;
  const std::string planes = Temp(std::string(s.name) + ".planes");
  Tool("planes " + path + " " + planes + (s.alpha ? " --alpha" : ""));
  std::vector<Picture> expected = ToolPictures(ReadFile(planes), format, s.width, s.height, s.revision < 'h', s.alpha);
  if (s.alpha && s.grey) NeutralChroma(expected);
  const std::vector<Picture> got = GstPictures(ReadFile(video), format, s.width, s.height);
  EXPECT_EQ(got.size(), s.frames);
  EXPECT_TRUE(got == expected) << s.name << ": the pictures differ from tarn planes";
  std::remove(planes.c_str());
  std::remove(video.c_str());

  for (size_t t = 0; t < s.tracks.size(); ++t) {
    const std::string raw = Temp(std::string(s.name) + std::to_string(t) + ".raw"), wav = raw + ".wav";
    Tool("audio " + path + " " + wav + " --track " + std::to_string(7 + t));
    const Bytes pcm = ReadFile(wav);
    ASSERT_GT(pcm.size(), 44u);
    EXPECT_TRUE(ReadFile(raw) == Bytes(pcm.begin() + 44, pcm.end())) << s.name << " track " << t;
    std::remove(raw.c_str());
    std::remove(wav.c_str());
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, GstPlugin,
    testing::Values(Case{{"rev_f", 32, 24, 3, 'f'}}, Case{{"rev_g", 24, 16, 3, 'g'}}, Case{{"rev_h", 32, 32, 3, 'h'}},
                    Case{{"rev_i", 64, 48, 4, 'i', false, false, {}, true, 2}},
                    Case{{"rev_i_odd_push", 20, 12, 3, 'i'}, true}, Case{{"alpha_i", 32, 32, 3, 'i', true}},
                    Case{{"alpha_g", 32, 16, 2, 'g', true}}, Case{{"grey_i", 48, 32, 3, 'i', false, true}},
                    Case{{"grey_f", 16, 16, 2, 'f', false, true}}, Case{{"grey_alpha_h", 32, 16, 2, 'h', true, true}},
                    Case{{"two_tracks_dct", 16, 16, 4, 'i', false, false, {{11025, 2}, {8000, 1}}}},
                    Case{{"two_tracks_rdft_push", 16, 16, 3, 'g', false, false, {{8000, 1}, {22050, 2}}, false}, true},
                    Case{{"corrupt", 32, 32, 3, 'i', false, false, {{8000, 1}}}, false, true}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.spec.name); });


std::string WriteMovie(const Bytes& movie, const std::string& name) {
  const std::string path = Temp(name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(movie.data()), std::streamsize(movie.size()));
  return path;
}

GstClockTime FrameTime(uint32_t frame) { return GstClockTime(frame) * GST_SECOND / 10; }

// Seeks in frames and in time, to a key frame or accurately, give the frames
// that decoding from the start gives there; playbin seeks too.
TEST(GstSeek, GivesTheFramesSequentialDecodingGives) {
  InitGstreamer();
  const Spec spec{"seek", 32, 32, 12, 'i', false, false, {{8000, 1}}, true, 4};
  const std::string path = WriteMovie(Encode(spec), "seek.trn"), planes = Temp("seek.planes"), video = Temp("seek.yuv");
  Tool("planes " + path + " " + planes);
  const std::vector<Picture> all = ToolPictures(ReadFile(planes), GST_VIDEO_FORMAT_I420, 32, 32, false, false);
  ASSERT_EQ(all.size(), 12u);
  struct SeekCase {
    const char* name;
    GstFormat format;
    GstSeekFlags how;
    gint64 position;
    uint32_t first;  // the first frame out
  };
  const SeekCase cases[] = {
      {"frame 6, accurate", GST_FORMAT_DEFAULT, GST_SEEK_FLAG_ACCURATE, 6, 6},
      {"frame 6, key frame", GST_FORMAT_DEFAULT, GST_SEEK_FLAG_KEY_UNIT, 6, 4},
      {"inside frame 9, accurate", GST_FORMAT_TIME, GST_SEEK_FLAG_ACCURATE, gint64(FrameTime(9) + 30 * GST_MSECOND), 9},
      {"frame 11, key frame", GST_FORMAT_TIME, GST_SEEK_FLAG_KEY_UNIT, gint64(FrameTime(11)), 8},
      {"back to the start", GST_FORMAT_TIME, GST_SEEK_FLAG_ACCURATE, 0, 0},
  };
  for (const SeekCase& c : cases) {
    bool sought = false;
    const Outcome o = RunPipeline(
        "filesrc location=" + path + " ! tarndemux name=d d.video_0 ! queue ! tarndec ! filesink location=" + video +
            " d.audio_0 ! queue ! tarnaudiodec ! fakesink",
        20, {}, [&](GstElement* pipeline) {
          sought = gst_element_seek(pipeline, 1.0, c.format, GstSeekFlags(GST_SEEK_FLAG_FLUSH | c.how),
                                    GST_SEEK_TYPE_SET, c.position, GST_SEEK_TYPE_NONE, -1);
          gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND);
        });
    EXPECT_TRUE(sought) << c.name;
    EXPECT_TRUE(o.eos) << c.name << ": " << o.error;
    const std::vector<Picture> got = GstPictures(ReadFile(video), GST_VIDEO_FORMAT_I420, 32, 32);
    EXPECT_TRUE(got == std::vector<Picture>(all.begin() + c.first, all.end()))
        << c.name << ": " << got.size() << " frames, not the " << all.size() - c.first << " from frame " << c.first;
  }
  bool sought = false;
  const Outcome o = RunPipeline("playbin uri=file://" + path + " video-sink=fakesink audio-sink=fakesink", 20, {},
                                [&](GstElement* pipeline) {
                                  sought = gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                                                   GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT),
                                                                   gint64(FrameTime(6)));
                                });
  EXPECT_TRUE(sought && o.eos) << "playbin: " << o.error;
  for (const std::string& f : {path, planes, video}) std::remove(f.c_str());
}

// The header's display mode, when asked for, lays the picture out as the
// movie's copy does (`tarn pictures` in the planar format).
TEST(GstDisplayMode, MatchesTheCopy) {
  InitGstreamer();
  for (const uint32_t mode : {DISPLAY_HEIGHT_DOUBLED, DISPLAY_WIDTH_DOUBLED, DISPLAY_BOTH_DOUBLED}) {
    const Spec spec{"display", 24, 16, 2, 'g', false, false, {}, true, 0, mode};
    const std::string path = WriteMovie(Encode(spec), "display.trn"), copy = Temp("display.yv12"),
                      video = Temp("display.yuv");
    const Outcome o = RunPipeline("filesrc location=" + path +
                                  " ! tarndemux ! tarndec apply-display-mode=true ! filesink location=" + video);
    ASSERT_TRUE(o.eos) << o.error;
    Tool("pictures " + path + " " + copy + " --format 15");
    const uint32_t w = 24 * (DisplayDoublesWidth(mode) ? 2 : 1), h = 16 * (DisplayDoublesHeight(mode) ? 2 : 1);
    const Bytes yv12 = ReadFile(copy);
    const size_t pitch = w, lumaBytes = pitch * h, chromaBytes = (pitch / 2) * (h / 2);
    std::vector<Picture> expected;
    for (size_t at = 0; at + lumaBytes + 2 * chromaBytes <= yv12.size(); at += lumaBytes + 2 * chromaBytes) {
      const uint8_t* v = yv12.data() + at + lumaBytes;
      expected.push_back({Crop(yv12.data() + at, pitch, w, h), Crop(v + chromaBytes, pitch / 2, w / 2, h / 2),
                          Crop(v, pitch / 2, w / 2, h / 2)});
    }
    EXPECT_EQ(expected.size(), 2u);
    EXPECT_TRUE(GstPictures(ReadFile(video), GST_VIDEO_FORMAT_I420, w, h) == expected) << "display mode " << mode;
    for (const std::string& f : {path, copy, video}) std::remove(f.c_str());
  }
}

// Hostile and cut files, in pull and in push mode: an error naming the
// problem, or for damage inside a frame a played movie with the frame marked;
// never a hang. The stored fuzz regressions end one way or the other.
TEST(GstBadInput, EndsWithAnErrorNamingTheProblem) {
  InitGstreamer();
  const Bytes good = Encode({"bad", 32, 32, 4, 'i', false, false, {{8000, 1}}});
  const size_t index = 44 + 12;
  auto entry = [&](const Bytes& b, uint32_t i) { return LoadLe32(b.data() + index + 4 * i) & ~1u; };
  auto put = [](Bytes& b, size_t at, uint32_t v) { StoreLe32(b.data() + at, v); };
  struct BadCase {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* pull;  // a part of the error text; null: the movie plays to its end
    const char* push;
  };
  const BadCase cases[] = {
      {"not a movie", [&](Bytes& b) { b[3] = 'x'; }, "Not a Tarn file.", "Not a Tarn file."},
      {"cut inside the header", [&](Bytes& b) { b.resize(30); }, "Not a Tarn file.", "Not a Tarn file."},
      {"no frames", [&](Bytes& b) { put(b, 8, 0); }, "any compressed frames", "any compressed frames"},
      {"cut inside the index", [&](Bytes& b) { b.resize(index + 8); }, "Error reading Tarn header.",
       "Error reading Tarn header."},
      {"cut inside frame 3", [&](Bytes& b) { b.resize((entry(b, 2) + entry(b, 3)) / 2); },
       "frame 3: the file ends inside its record", "frame 3: the stream ends inside its record"},
      {"frame 2 beyond the movie", [&](Bytes& b) { put(b, index + 8, 0x7FFFFFF0); },
       "frame 2: its record lies outside the movie", "frame 2: its record lies outside the movie"},
      {"picture too wide", [&](Bytes& b) { put(b, 20, 20000); }, "picture size 20000x32", "picture size 20000x32"},
      {"millions of tracks", [&](Bytes& b) { put(b, 40, 3000000); }, "Error reading Tarn header.",
       "Error reading Tarn header."},
      {"packet past its frame", [&](Bytes& b) { put(b, entry(b, 1), 0xFFFFFF); }, nullptr, nullptr},
  };
  for (const BadCase& c : cases) {
    Bytes movie = good;
    c.damage(movie);
    const std::string path = WriteMovie(movie, "bad.trn");
    for (const bool push : {false, true}) {
      const char* want = push ? c.push : c.pull;
      const Outcome o = RunPipeline("filesrc location=" + path + (push ? " ! queue" : "") +
                                    " ! tarndemux name=d d.video_0 ! queue ! tarndec ! fakesink d.audio_0 ! queue ! "
                                    "tarnaudiodec ! fakesink", 10);
      const std::string what = std::string(c.name) + (push ? " (push)" : " (pull)");
      if (want) {
        EXPECT_NE(o.error.find(want), std::string::npos) << what << ": " << o.error;
      } else {
        EXPECT_TRUE(o.eos) << what << ": " << o.error;
      }
    }
    std::remove(path.c_str());
  }
  for (const auto& f : std::filesystem::directory_iterator(TARN_SOURCE_DIR "/fuzz/regressions/movie_open_fuzz")) {
    const Bytes seed = ReadFile(f.path().string());
    if (seed.size() < 2) continue;
    const std::string path = WriteMovie(Bytes(seed.begin() + 1, seed.end()), "seed.trn");  // after the CPU mask byte
    const Outcome o = RunPipeline("filesrc location=" + path + " ! tarndemux ! tarndec ! fakesink", 10);
    EXPECT_TRUE(o.eos || !o.error.empty()) << f.path();
    std::remove(path.c_str());
  }
}

// A file that shrinks while it plays ends in an error, not a hang.
TEST(GstBadInput, FileThatShrinksWhilePlaying) {
  InitGstreamer();
  const Bytes movie = Encode({"shrink", 32, 32, 30, 'i'});
  const std::string path = WriteMovie(movie, "shrink.trn");
  const Outcome o = RunPipeline("filesrc location=" + path + " ! tarndemux ! tarndec ! fakesink", 10, {},
                                [&](GstElement*) { std::filesystem::resize_file(path, movie.size() / 2); });
  EXPECT_NE(o.error.find("could not be read"), std::string::npos) << o.error;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarn
