// `tarn audio`: decodes one audio track of a movie, frame by frame, into a
// 16-bit PCM WAV file, or lists the movie's tracks.
#include <sndfile.h>

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
bool UsesDct(uint32_t rateWord) { return (rateWord & TRACK_CODEC_B) && !(rateWord & TRACK_CODEC_A); }
uint32_t Channels(uint32_t rateWord) { return (rateWord & TRACK_STEREO) ? 2 : 1; }

void ListTracks(const MovieContainer& c) {
  const size_t count = c.trackId.size();
  std::printf("%zu audio track%s\n", count, count == 1 ? "" : "s");
  for (size_t t = 0; t < count; ++t) {
    const uint32_t word = c.rateWord[t];
    std::printf("track %zu: id %u, %u Hz, %s, %s, %s, largest packet %u bytes\n", t, c.trackId[t], word & 0xFFFF,
                Channels(word) == 2 ? "stereo" : "mono", (word & TRACK_16BIT) ? "16-bit" : "8-bit",
                !IsCompressed(word) ? "not compressed" : UsesDct(word) ? "dct" : "rdft", c.largestPacket[t]);
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
      AudioDecoderOpen(word & 0xFFFF, Channels(word), UsesDct(word)));
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
        uint32_t remaining = LoadLe32(rec + pos);
        const uint8_t* in = rec + pos + 4;
        const uint8_t* end = rec + pos + length;
        // Like the player, stop when the packet's bytes are used up even if its
        // decoded count claims more: a hostile count cannot make this endless.
        while (remaining > 0 && in < end) {
          const int16_t* samples = nullptr;
          uint32_t bytes = 0;
          AudioDecodeBlock(decoder.get(), in, end, &samples, &bytes, &in);
          const uint32_t take = std::min(bytes, remaining);
          // Little-endian 16-bit values, concatenated byte for byte like the track ring.
          for (uint32_t i = 0; i < take; ++i) {
            const uint16_t v = uint16_t(samples[i / 2]);
            pcm.push_back(uint8_t(i % 2 ? v >> 8 : v));
          }
          remaining -= take;
        }
      }
      pos += length;
    }
  }
  return {};
}

std::string WriteWav(const std::string& path, const std::vector<uint8_t>& pcm, uint32_t rate, uint32_t channels) {
  SF_INFO info{};
  info.samplerate = int(rate);
  info.channels = int(channels);
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return "cannot write " + path + ": " + sf_strerror(nullptr);
  // Whole sample frames only; a trailing partial frame cannot be stored.
  const size_t frames = pcm.size() / (2 * channels);
  std::vector<short> samples(frames * channels);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = short(LoadLe16(pcm.data() + 2 * i));
  const sf_count_t written = sf_write_short(file, samples.data(), sf_count_t(samples.size()));
  std::string error;
  if (written != sf_count_t(samples.size())) error = "cannot write " + path + ": " + sf_strerror(file);
  if (sf_close(file) != 0 && error.empty()) error = "cannot finish " + path;
  return error;
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
  const std::string wavError = WriteWav(o.out, pcm, word & 0xFFFF, Channels(word));
  if (!wavError.empty()) return Fail(wavError);
  return 0;
}

const TarnCommand kAudio("audio", "audio MOVIE OUT.wav [--track ID] | audio MOVIE --list", RunAudio);

}  // namespace
}  // namespace tarn::tools
