// `tarn audio`: decodes one audio track of a movie, frame by frame, into a
// 16-bit PCM WAV file, or lists the movie's tracks.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_decoder.h"
#include "common/little_endian.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "tools/command.h"
#include "tools/outputs.h"

namespace tarn::tools {
namespace {

struct Options {
  std::string movie, out;
  bool list = false;
  std::optional<uint32_t> trackId;
};

bool ParseId(const std::string& text, uint32_t& id) {
  if (text.empty() || text[0] == '-') return false;
  char* rest = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &rest, 0);
  if (errno != 0 || *rest != '\0' || v > UINT32_MAX) return false;
  id = uint32_t(v);
  return true;
}

bool IsCompressed(uint32_t rateWord) { return (rateWord & (TRACK_CODEC_A | TRACK_CODEC_B)) != 0; }
uint32_t Channels(uint32_t rateWord) { return (rateWord & TRACK_STEREO) ? 2 : 1; }

void ListTracks(const MovieContainer& c) {
  const size_t count = c.trackId.size();
  std::printf("%zu audio track%s\n", count, count == 1 ? "" : "s");
  for (size_t t = 0; t < count; ++t) {
    const uint32_t word = c.rateWord[t];
    std::printf("track %zu: id %u, %u Hz, %s, %s, %s, largest packet %u bytes\n", t, c.trackId[t], word & 0xFFFF,
                Channels(word) == 2 ? "stereo" : "mono", (word & TRACK_16BIT) ? "16-bit" : "8-bit",
                !IsCompressed(word) ? "not compressed" : TrackUsesDct(word) ? "dct" : "rdft", c.largestPacket[t]);
  }
}

struct DecoderCloser {
  void operator()(AudioDecoder* d) const { AudioDecoderClose(d); }
};

// Appends the decoded bytes of every packet of track `track`, frames 1..N.
// Returns an error text, empty on success.
std::string DecodeTrack(const std::vector<uint8_t>& movie, const MovieContainer& c, size_t track,
                        std::vector<uint8_t>& pcm) {
  const uint32_t word = c.rateWord[track];
  std::unique_ptr<AudioDecoder, DecoderCloser> decoder(
      AudioDecoderOpen(word & 0xFFFF, Channels(word), TrackUsesDct(word)));
  if (!decoder) return "cannot create the audio decoder";
  const FrameIndexView index = c.Index();
  const size_t tracks = c.trackId.size();
  for (uint32_t f = 0; f < c.header.frameCount; ++f) {
    const std::string where = "frame " + std::to_string(f + 1) + ": ";
    const uint64_t start = index.Offset(f), stop = index.Offset(f + 1);
    if (start > movie.size() || stop < start || stop - start > movie.size() - start) {
      return where + "record lies outside the file";
    }
    const uint8_t* rec = movie.data() + start;
    const size_t size = size_t(stop - start);
    size_t pos = 0;
    for (size_t t = 0; t <= track && t < tracks; ++t) {
      if (size - pos < 4) return where + "record ends inside the audio packets";
      const uint32_t length = LoadLe32(rec + pos);
      pos += 4;
      if (length > size - pos) return where + "audio packet runs past the record";
      if (t == track && length > 0) {
        if (length < 4) return where + "audio packet too short for its decoded byte count";
        const AudioEmitFn append = [](void* out, const uint8_t* bytes, uint32_t n) {
          auto* v = static_cast<std::vector<uint8_t>*>(out);
          v->insert(v->end(), bytes, bytes + n);
        };
        (void)AudioDecodePacket(decoder.get(), rec + pos, rec + pos + length, append, &pcm);
      }
      pos += length;
    }
  }
  return {};
}

int RunAudio(const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--list") {
      o.list = true;
    } else if (args[i] == "--track") {
      uint32_t id = 0;
      if (i + 1 >= args.size() || !ParseId(args[i + 1], id)) return Fail("audio: --track needs a track id");
      o.trackId = id;
      ++i;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return Fail("audio: unknown option " + args[i]);
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != (o.list ? 1u : 2u)) {
    return Fail("usage: tarn audio MOVIE OUT.wav [--track ID] | tarn audio MOVIE --list");
  }
  o.movie = positional[0];
  if (!o.list) o.out = positional[1];

  std::ifstream in(o.movie, std::ios::binary);
  if (!in) return Fail("cannot open " + o.movie);
  const std::vector<uint8_t> movie((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Fail("cannot read " + o.movie);
  MovieContainer c;
  const ContainerStatus status = ReadContainer(movie.data(), movie.size(), c);
  if (status != ContainerStatus::Ok) return Fail(o.movie + ": " + ContainerStatusText(status));

  if (o.list) {
    ListTracks(c);
    return 0;
  }
  if (c.trackId.empty()) return Fail(o.movie + ": the movie has no audio tracks");
  size_t track = 0;
  if (o.trackId) {
    const auto it = std::find(c.trackId.begin(), c.trackId.end(), *o.trackId);
    if (it == c.trackId.end()) return Fail(o.movie + ": no audio track with id " + std::to_string(*o.trackId));
    track = size_t(it - c.trackId.begin());
  }
  const uint32_t word = c.rateWord[track];
  if (!IsCompressed(word)) return Fail(o.movie + ": track id " + std::to_string(c.trackId[track]) + " is not compressed audio");

  std::vector<uint8_t> pcm;
  const std::string error = DecodeTrack(movie, c, track, pcm);
  if (!error.empty()) return Fail(o.movie + ": " + error);
  std::vector<int16_t> values(pcm.size() / 2);
  for (size_t i = 0; i < values.size(); ++i) values[i] = int16_t(LoadLe16(pcm.data() + 2 * i));
  const std::string wavError = WriteWav(o.out, values.data(), values.size(), word & 0xFFFF, Channels(word));
  if (!wavError.empty()) return Fail(wavError);
  return 0;
}

const TarnCommand kAudio("audio", "audio MOVIE OUT.wav [--track ID] | audio MOVIE --list", RunAudio);

}  // namespace
}  // namespace tarn::tools
