#include "tests/support/movie_builder.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "common/little_endian.h"
#include "movie/movie_writer.h"

namespace tarn::test {

std::vector<uint8_t> BuildMovie(const MovieRecipe& recipe) {
  MovieWriterInfo info;
  info.revision = recipe.revision;
  info.width = recipe.width;
  info.height = recipe.height;
  info.rateNumerator = recipe.rateNumerator;
  info.rateDenominator = recipe.rateDenominator;
  info.headerFlags = recipe.headerFlags;
  for (uint32_t t = 0; t < recipe.tracks; ++t) {
    MovieWriterTrack track;
    track.rateWord = recipe.rateWord;
    track.id = t < recipe.trackIds.size() ? recipe.trackIds[t] : t;
    track.largestPacket = recipe.decodedBytes;
    info.tracks.push_back(track);
  }
  MovieWriter writer(info);
  std::vector<MovieAudioPacket> audio(recipe.tracks);
  for (MovieAudioPacket& p : audio) {
    p.present = recipe.audioBytes > 0;
    p.decodedBytes = recipe.decodedBytes;
    p.data.assign(recipe.audioBytes, 0x5A);
  }
  for (uint32_t i = 0; i < recipe.frames; ++i) {
    const uint32_t size = i < recipe.videoSizes.size() ? recipe.videoSizes[i] : recipe.videoBytes;
    std::vector<uint8_t> video(std::max<uint32_t>(size, 4));
    for (size_t b = 4; b < video.size(); ++b) video[b] = uint8_t(i * 7 + b);
    StoreLe32(video.data(), i);
    const bool key = i == 0 || (recipe.keyEvery != 0 && i % recipe.keyEvery == 0);
    writer.AddFrame(key, audio, video);
  }
  std::vector<uint8_t> out;
  if (!writer.Finish(out)) throw std::runtime_error("BuildMovie: the writer refused the recipe");
  return out;
}

std::string WriteTempFile(const std::vector<uint8_t>& bytes, const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/tarn_" + std::to_string(getpid()) + "_" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("WriteTempFile: cannot create " + path);
  const size_t n = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  if (n != bytes.size()) throw std::runtime_error("WriteTempFile: short write to " + path);
  return path;
}

}  // namespace tarn::test
