// `tarn blocks MOVIE`: how often each block type occurs, per plane kind.
#include <cstdio>

#include "encoder/block_census.h"
#include "tools/command.h"

namespace tarn::tools {

namespace {

const char* const kTypeNames[16] = {"skip", "scaled", "motion", "run", "residue", "intra", "fill",
                                    "inter", "pattern", "raw", "10", "11", "12", "13", "14", "15"};

int RunBlocks(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail("usage: blocks MOVIE");
  std::FILE* f = std::fopen(args[0].c_str(), "rb");
  if (!f) return Fail(args[0] + ": cannot open");
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  encoder::BlockCensus census;
  std::string why;
  if (!encoder::CountBlockTypes(bytes.data(), bytes.size(), census, &why)) return Fail(args[0] + ": " + why);
  std::printf("%-8s %12s %12s %12s\n", "type", "luma", "chroma", "alpha");
  for (int t = 0; t < 16; ++t) {
    const uint64_t sum = census.types[0][t] + census.types[1][t] + census.types[2][t];
    if (t >= 10 && sum == 0) continue;
    std::printf("%-8s %12llu %12llu %12llu\n", kTypeNames[t], static_cast<unsigned long long>(census.types[0][t]),
                static_cast<unsigned long long>(census.types[1][t]),
                static_cast<unsigned long long>(census.types[2][t]));
  }
  std::printf("scaled areas as:");
  for (int t : {3, 5, 6, 8, 9}) std::printf(" %s %llu", kTypeNames[t], static_cast<unsigned long long>(census.scaledAs[t]));
  std::printf("\nframes %u, corrupt %u\n", census.frames, census.corruptPlanes);
  return census.corruptPlanes ? 1 : 0;
}

const TarnCommand kBlocks("blocks", "blocks MOVIE   (block-type histogram)", RunBlocks);

}  // namespace

}  // namespace tarn::tools
