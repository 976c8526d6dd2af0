// `tarn make-corpus DIR`: seed inputs for every fuzz target, in DIR/<target>/.
// Movies come from the encoder (each revision, alpha, grey, one and two sound
// tracks of both variants); plane, audio-block and command-line seeds carry
// the leading set-up bytes their target reads (see fuzz/*_fuzz.cc). Every seed
// is a few kilobytes at most, so fuzzing starts from fast inputs.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "encoder/audio_encoder.h"
#include "encoder/movie_encoder.h"
#include "encoder/video_encoder.h"
#include "tools/command.h"

namespace tarn::tools {
namespace {

using Bytes = std::vector<uint8_t>;

class SeedWriter {
 public:
  explicit SeedWriter(std::string dir) : dir_(std::move(dir)) {}

  // False (with error() set) when the folder or the file cannot be written.
  bool Write(const char* target, const std::string& name, const Bytes& bytes) {
    const std::filesystem::path folder = std::filesystem::path(dir_) / target;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return Failed("cannot write " + folder.string() + ": " + ec.message());
    const std::string path = (folder / name).string();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return Failed("cannot write " + path + ": " + std::strerror(errno));
    const bool wrote = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !wrote) return Failed("cannot write " + path + ": " + std::strerror(errno));
    ++count_;
    return true;
  }
  // Keeps the first reason; always false.
  bool Failed(const std::string& what) {
    if (error_.empty()) error_ = "make-corpus: " + what;
    return false;
  }
  const std::string& error() const { return error_; }
  int count() const { return count_; }

 private:
  std::string dir_;
  std::string error_;
  int count_ = 0;
};

Bytes Prefixed(std::initializer_list<uint8_t> head, const uint8_t* data, size_t size) {
  Bytes out(head);
  out.insert(out.end(), data, data + size);
  return out;
}

// Gradients, a square that moves a few pixels per frame and a noisy band:
// enough for the encoder to use most block kinds on a tiny picture.
std::vector<encoder::Picture> Pictures(uint32_t w, uint32_t h, uint32_t frames, bool alpha) {
  std::vector<encoder::Picture> out(frames);
  uint32_t seed = 2463534242u;
  for (uint32_t f = 0; f < frames; ++f) {
    encoder::Picture& p = out[f];
    p.Resize(w, h, alpha);
    const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        const bool square = x - f * 3 - 2 < w / 3 && y - 2 < h / 3;
        uint8_t v = uint8_t(x * 255 / w);
        if (y > h * 3 / 4) v = uint8_t(seed >> 24);
        if (square) v = 230;
        p.y[size_t(y) * w + x] = v;
        if (alpha) p.a[size_t(y) * w + x] = square ? 255 : uint8_t(y * 255 / h);
      }
    }
    for (uint32_t y = 0; y < ch; ++y) {
      for (uint32_t x = 0; x < cw; ++x) {
        p.cb[size_t(y) * cw + x] = uint8_t(64 + x * 128 / cw);
        p.cr[size_t(y) * cw + x] = uint8_t(192 - y * 128 / ch - f * 8);
      }
    }
  }
  return out;
}

// A chord of two sines, 0.3 s long: a few blocks at any of the rates used.
encoder::Sound Tone(uint32_t rate, uint32_t channels, double seconds = 0.3) {
  encoder::Sound s;
  s.sampleRate = rate;
  s.channels = channels;
  const size_t n = size_t(rate * seconds);
  s.samples.resize(n * channels);
  for (size_t i = 0; i < n; ++i) {
    for (uint32_t c = 0; c < channels; ++c) {
      const double t = double(i) / rate;
      const double v = 0.4 * std::sin(6.2831853 * (330 + 110 * c) * t) + 0.2 * std::sin(6.2831853 * 1250 * t);
      s.samples[i * channels + c] = int16_t(std::lround(v * 32767));
    }
  }
  return s;
}

struct MovieSeed {
  const char* name;
  uint32_t width, height, frames;
  char revision;
  bool alpha, grey, dct;
  std::vector<std::pair<uint32_t, uint32_t>> tracks;  // sample rate, channels
  uint32_t keyInterval = 0;
  uint32_t display = 0;
};

bool WriteMovies(SeedWriter& out) {
  const MovieSeed seeds[] = {
      {"rev_f", 32, 24, 2, 'f', false, false, true, {}},
      {"rev_g", 24, 16, 2, 'g', false, false, true, {}},
      {"rev_h", 32, 32, 3, 'h', false, false, true, {}},
      {"rev_i", 64, 48, 3, 'i', false, false, true, {}},
      {"rev_i_odd", 20, 12, 2, 'i', false, false, true, {}},
      {"rev_i_keys", 16, 16, 3, 'i', false, false, true, {}, 1},
      {"rev_i_display4", 16, 16, 2, 'i', false, false, true, {}, 0, 4},
      {"alpha_i", 32, 32, 2, 'i', true, false, true, {}},
      {"alpha_g", 32, 16, 2, 'g', true, false, true, {}},
      {"grey_i", 48, 32, 2, 'i', false, true, true, {}},
      {"grey_f", 16, 16, 2, 'f', false, true, true, {}},
      {"grey_alpha_h", 32, 16, 2, 'h', true, true, true, {}},
      {"sound_dct_mono", 16, 16, 3, 'i', false, false, true, {{22050, 1}}},
      {"sound_dct_stereo", 16, 16, 2, 'h', false, false, true, {{11025, 2}}},
      {"sound_rdft_mono", 16, 16, 2, 'i', false, false, false, {{8000, 1}}},
      {"sound_rdft_stereo", 16, 16, 3, 'g', false, false, false, {{22050, 2}}},
      {"two_tracks_dct", 16, 16, 2, 'i', false, false, true, {{11025, 2}, {8000, 1}}},
      {"two_tracks_rdft", 16, 16, 2, 'i', false, false, false, {{8000, 1}, {11025, 2}}},
      {"sound_alpha_grey", 16, 16, 2, 'i', true, true, true, {{8000, 2}}},
  };
  for (const MovieSeed& s : seeds) {
    encoder::EncodeOptions o;
    o.revision = s.revision;
    o.alpha = s.alpha;
    o.grey = s.grey;
    o.audioDct = s.dct;
    o.audioQuality = 30;
    o.quality = 60;
    o.keyInterval = s.keyInterval;
    o.display = s.display;
    o.rateNumerator = 10;
    o.rateDenominator = 1;
    std::vector<encoder::MemoryTrack> tracks;
    for (size_t t = 0; t < s.tracks.size(); ++t) {
      // Just the sound the movie's frames cover (10 frames a second).
      tracks.push_back({Tone(s.tracks[t].first, s.tracks[t].second, s.frames / 10.0), uint32_t(t)});
    }
    Bytes movie;
    std::string why;
    if (!encoder::EncodeMovieMemory(Pictures(s.width, s.height, s.frames, s.alpha), tracks, o, movie, &why)) {
      return out.Failed(std::string("encoding ") + s.name + ": " + why);
    }
    // The first byte is the CPU feature mask: everything, and once scalar only.
    if (!out.Write("movie_open_fuzz", s.name, Prefixed({0xFF}, movie.data(), movie.size()))) return false;
    // The C interface's target reads the same framing.
    if (!out.Write("capi_fuzz", s.name, Prefixed({0xFF}, movie.data(), movie.size()))) return false;
    if (s.name == std::string("rev_i") &&
        !out.Write("movie_open_fuzz", "rev_i_scalar", Prefixed({0x00}, movie.data(), movie.size()))) {
      return false;
    }
  }
  return true;
}

// Frame data straight from the video encoder, framed for video_plane_fuzz:
// a mode byte, a shape byte (width and height in 8s, less one) and the data.
// Frame mode bits: 2 two plane sets, 4 alpha in the header, 8 alpha decoded,
// 16 grey, 32 before revision i, 64 also decoded on two threads and matched
// against the serial decode. Plane mode (bit 1): 2 chroma kind, 4 in
// place, 8 before revision i; the data is one plane's stream.
bool WritePlanes(SeedWriter& out) {
  struct Shape {
    uint32_t w, h;
    char revision;
    bool alpha, grey;
  };
  const Shape shapes[] = {{16, 16, 'i', false, false}, {32, 24, 'i', false, false}, {64, 48, 'i', false, false},
                          {16, 16, 'h', false, false}, {32, 16, 'f', false, false}, {32, 32, 'i', true, false},
                          {24, 16, 'g', true, false},  {16, 24, 'i', false, true},  {32, 16, 'h', false, true}};
  for (const Shape& s : shapes) {
    encoder::VideoEncoder enc({s.w, s.h, s.revision, s.grey, s.alpha});
    const std::vector<encoder::Picture> pics = Pictures(s.w, s.h, 2, s.alpha);
    const uint8_t shape = uint8_t((s.w / 8 - 1) | (s.h / 8 - 1) << 4);
    const bool revI = s.revision == 'i';
    for (uint32_t f = 0; f < 2; ++f) {
      const encoder::Picture& p = pics[f];
      encoder::SourcePicture sp;
      sp.y = p.y.data(), sp.yStride = p.width;
      if (!s.grey) sp.cb = p.cb.data(), sp.cr = p.cr.data(), sp.cStride = (p.width + 1) / 2;
      if (s.alpha) sp.a = p.a.data(), sp.aStride = p.width;
      Bytes data;
      enc.EncodeFrame(sp, f == 0, 60, data);
      const std::string base = std::to_string(s.w) + "x" + std::to_string(s.h) + "_" + s.revision +
                               (s.alpha ? "_alpha" : "") + (s.grey ? "_grey" : "") + (f ? "_inter" : "_key");
      const uint8_t mode = uint8_t((f ? 2 : 0) | (s.alpha ? 4 | 8 : 0) | (s.grey ? 16 : 0) | (revI ? 0 : 32));
      if (!out.Write("video_plane_fuzz", "frame_" + base, Prefixed({mode, shape}, data.data(), data.size())) ||
          !out.Write("video_plane_fuzz", "frame_threads_" + base,
                     Prefixed({uint8_t(mode | 64), shape}, data.data(), data.size())))
        return false;
      // Single planes of the plain revision-i frames: the luma stream after the
      // chroma offset word, and the first chroma stream where that word points.
      if (!revI || s.alpha || s.grey || data.size() < 4) continue;
      const uint32_t chroma = LoadLe32(data.data());
      if (chroma < 4 || chroma > data.size()) continue;
      const uint8_t inPlace = f ? 0 : 4;
      if (!out.Write("video_plane_fuzz", "luma_" + base, Prefixed({uint8_t(1 | inPlace), shape}, data.data() + 4, chroma - 4)))
        return false;
      if (!out.Write("video_plane_fuzz", "chroma_" + base,
                     Prefixed({uint8_t(1 | 2 | inPlace), shape}, data.data() + chroma, data.size() - chroma)))
        return false;
    }
    // The old revisions' luma stream starts the frame data; the old sign rule applies.
    if (!revI && !s.alpha) {
      Bytes data;
      encoder::VideoEncoder first({s.w, s.h, s.revision, s.grey, false});
      encoder::SourcePicture sp;
      sp.y = pics[0].y.data(), sp.yStride = s.w;
      if (!s.grey) sp.cb = pics[0].cb.data(), sp.cr = pics[0].cr.data(), sp.cStride = (s.w + 1) / 2;
      first.EncodeFrame(sp, true, 60, data);
      const std::string name = "luma_" + std::to_string(s.w) + "x" + std::to_string(s.h) + "_" + s.revision;
      if (!out.Write("video_plane_fuzz", name, Prefixed({1 | 8, shape}, data.data(), data.size()))) return false;
    }
  }
  return true;
}

// Packets of two blocks for audio_block_fuzz. The set-up byte: bit 0 the DCT
// variant, bit 1 stereo, bits 2-3 the rate (8000, 22050, 44100, 11025 Hz),
// bit 4 the scalar transform.
bool WriteAudioBlocks(SeedWriter& out) {
  static const uint32_t kRates[4] = {8000, 22050, 44100, 11025};
  for (uint32_t setup = 0; setup < 32; ++setup) {
    const bool dct = setup & 1, scalar = setup & 16;
    const uint32_t channels = (setup & 2) ? 2 : 1, rate = kRates[setup >> 2 & 3];
    if (scalar && (setup >> 2 & 3) != 2) continue;  // scalar at one rate is enough
    encoder::AudioEncoder enc({rate, channels, dct, 30});
    const encoder::Sound tone = Tone(rate, channels, 2.5 * enc.FrameLength() / rate);
    Bytes packet = {uint8_t(setup)};
    for (uint32_t b = 0; b < 2; ++b) enc.EncodeBlock(tone.samples.data() + size_t(b) * enc.BlockAdvance() * channels, packet);
    const std::string name = std::string(dct ? "dct_" : "rdft_") + std::to_string(rate) + (channels == 2 ? "_stereo" : "_mono") +
                             (scalar ? "_scalar" : "");
    if (!out.Write("audio_block_fuzz", name, packet)) return false;
  }
  return true;
}

// Command lines for command_line_fuzz: the first byte says where the text
// splits into the embedded part (before) and the process command line.
bool WriteCommandLines(SeedWriter& out) {
  struct Line {
    const char* name;
    const char* embedded;
    const char* process;
  };
  const Line lines[] = {
      {"plain", "", "movie.trn"},
      {"loops_and_rate", "", "/L3 /F29.97 /Q a.trn b.trn"},
      {"quoted_names", "", "\"my movie.trn\" /X10 /Y20 /W1.5 /H2 \"other one.trn\""},
      {"display_switches", "", "/A1104 /D208 /B3 /I101 /M2 /E1 a.trn"},
      {"flag_switches", "", "/P /Z /S /R /C /G /K /U7 /N /J /T30 x.trn"},
      {"quick_play", "", "a.trn /!"},
      {"quoted_switch_value", "", "/T\"x y\" a /-T b.trn"},
      {"cancel_letters", "", "/Fx/S /-f /L2 c.trn"},
      {"embedded_only", ":115712 /L2 /Q", ""},
      {"embedded_cancelled", ":115712 /l", "/-L /L4"},
      {"embedded_cut", ":2048 /Q", " a.trn /-"},
      {"screen_saver", "", "/p 1234"},
      {"leftovers", "", "/Q /Q /V a"},
  };
  for (const Line& l : lines) {
    const std::string text = std::string(l.embedded) + l.process;
    Bytes seed = {uint8_t(std::strlen(l.embedded))};
    seed.insert(seed.end(), text.begin(), text.end());
    if (!out.Write("command_line_fuzz", l.name, seed)) return false;
  }
  return true;
}

int RunMakeCorpus(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty()) return Fail("make-corpus: usage: tarn make-corpus DIR");
  SeedWriter out(args[0]);
  if (!WriteMovies(out) || !WritePlanes(out) || !WriteAudioBlocks(out) || !WriteCommandLines(out)) {
    return Fail(out.error());
  }
  std::printf("%d seeds in %s\n", out.count(), args[0].c_str());
  return 0;
}

const TarnCommand kMakeCorpus("make-corpus", "make-corpus DIR   seed inputs for every fuzz target in DIR/<target>/",
                              RunMakeCorpus);

}  // namespace
}  // namespace tarn::tools
