// `tarn write-sample OUT.trn`: writes a small valid movie with the library's
// container writer (one second at 30 frames per second, 64 x 48, one declared
// track that carries no packets). The video data is empty: it is a container
// sample, not a picture.
#include <string>

#include "movie/movie.h"
#include "movie/movie_writer.h"
#include "tools/command.h"

namespace tarn::tools {
namespace {

int RunWriteSample(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail("write-sample: usage: tarn write-sample OUT.trn");
  MovieWriterInfo info;
  info.width = 64;
  info.height = 48;
  info.rateNumerator = 30;
  info.rateDenominator = 1;
  info.tracks.push_back({.rateWord = TRACK_CODEC_B | TRACK_16BIT | TRACK_STEREO | 44100, .id = 0, .largestPacket = 5880});
  MovieWriter writer(info);
  for (int i = 0; i < 30; ++i) writer.AddFrame(i % 10 == 0, {}, {});
  std::string why;
  if (!writer.WriteFile(args[0], &why)) return Fail("write-sample: " + args[0] + ": " + why);
  return 0;
}

const TarnCommand kWriteSample("write-sample", "write-sample OUT.trn   write a small valid movie", RunWriteSample);

}  // namespace
}  // namespace tarn::tools
