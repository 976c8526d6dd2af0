#include "tests/support/movie_builder.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "common/bytes.h"
#include "movie/movie_writer.h"

namespace tarn::test {

std::vector<uint8_t> BuildMovie(const MovieSpec& spec) {
  MovieWriterInfo info;
  info.revision = spec.revision;
  info.width = spec.width;
  info.height = spec.height;
  info.rateNumerator = spec.rateNumerator;
  info.rateDenominator = spec.rateDenominator;
  info.headerFlags = spec.headerFlags;
  for (uint32_t t = 0; t < spec.tracks; ++t) {
    MovieWriterTrack track;
    track.rateWord = spec.rateWord;
    track.id = t < spec.trackIds.size() ? spec.trackIds[t] : t;
    track.largestPacket = spec.decodedBytes;
    info.tracks.push_back(track);
  }
  MovieWriter writer(info);
  std::vector<MovieAudioPacket> audio(spec.tracks);
  for (MovieAudioPacket& p : audio) {
    p.present = spec.audioBytes > 0;
    p.decodedBytes = spec.decodedBytes;
    p.data.assign(spec.audioBytes, 0x5A);
  }
  for (uint32_t i = 0; i < spec.frames; ++i) {
    const uint32_t size = i < spec.videoSizes.size() ? spec.videoSizes[i] : spec.videoBytes;
    std::vector<uint8_t> video(std::max<uint32_t>(size, 4));
    for (size_t b = 4; b < video.size(); ++b) video[b] = uint8_t(i * 7 + b);
    StoreLe32(video.data(), i);
    const bool key = i == 0 || (spec.keyEvery != 0 && i % spec.keyEvery == 0);
    writer.AddFrame(key, audio, video);
  }
  std::vector<uint8_t> out;
  if (!writer.Finish(out)) throw std::runtime_error("BuildMovie: the writer refused the spec");
  return out;
}

std::string WriteTempFile(const std::vector<uint8_t>& bytes, const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/tarn_" + std::to_string(getpid()) + "_" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("WriteTempFile: cannot create " + path);
  const size_t n = std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  if (n != bytes.size()) throw std::runtime_error("WriteTempFile: short write to " + path);
  return path;
}

}  // namespace tarn::test
