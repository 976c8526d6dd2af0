// `tarn remux`: a movie's sound changed (tracks dropped, added or replaced
// from sound files, the lead packed anew) while every frame's video data
// stays byte for byte what it was.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "encoder/movie_remux.h"
#include "tools/command.h"

namespace tarn::tools {
namespace {

bool ParseNumber(const std::string& s, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  const uint64_t v = std::strtoull(s.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = v;
  return true;
}

void ShowProgress(uint32_t done, uint32_t total) {
  if (done != total && done % 64 != 0) return;
  std::fprintf(stderr, "\rremux: %u/%u frames ", done, total);
  std::fflush(stderr);
}

constexpr const char* kUsage =
    "remux MOVIE -o OUT [--drop-track ID]... [--audio FILE[:ID]]... [--audio-lead MS] "
    "[--audio-quality Q] [--audio-codec dct|rdft] [--quiet]";

int RunRemux(const std::vector<std::string>& args) {
  encoder::RemuxOptions o;
  std::string movie, output;
  std::vector<std::pair<std::string, encoder::RemuxTrack>> sounds;
  bool quiet = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool more = i + 1 < args.size();
    uint64_t n = 0;
    if ((a == "-o" || a == "--output") && more) {
      output = args[++i];
    } else if (a == "--drop-track" && more) {
      if (!ParseNumber(args[++i], 0xFFFFFFFFu, &n)) return Fail("remux: --drop-track needs a track id");
      o.dropIds.push_back(uint32_t(n));
    } else if (a == "--audio" && more) {
      std::string path = args[++i];
      encoder::RemuxTrack t;
      const size_t colon = path.rfind(':');
      if (colon != std::string::npos && ParseNumber(path.substr(colon + 1), 0xFFFFFFFFu, &n)) {
        t.id = uint32_t(n);
        t.hasId = true;
        path.resize(colon);
      }
      sounds.emplace_back(path, std::move(t));
    } else if (a == "--audio-lead" && more) {
      if (!ParseNumber(args[++i], encoder::kMaxAudioLeadMs, &n))
        return Fail("remux: --audio-lead expects milliseconds, 0.." + std::to_string(encoder::kMaxAudioLeadMs));
      o.audioLeadMs = uint32_t(n);
      o.repack = true;
    } else if (a == "--audio-quality" && more) {
      if (!ParseNumber(args[++i], 100, &n) || n == 0) return Fail("remux: --audio-quality expects 1..100");
      o.audioQuality = int(n);
    } else if (a == "--audio-codec" && more) {
      const std::string& v = args[++i];
      if (v != "dct" && v != "rdft") return Fail("remux: --audio-codec expects dct or rdft");
      o.audioDct = v == "dct";
    } else if (a == "--quiet" || a == "-q") {
      quiet = true;
    } else if (!a.empty() && a[0] == '-') {
      return Fail("remux: unknown option " + a + " (usage: tarn " + kUsage + ")");
    } else if (movie.empty()) {
      movie = a;
    } else {
      return Fail("remux: more than one movie: " + movie + " and " + a);
    }
  }
  if (movie.empty() || output.empty()) return Fail(std::string("usage: tarn ") + kUsage);
  for (auto& [path, track] : sounds) {
    std::string why;
    if (!encoder::ReadSound(path, track.sound, &why)) return Fail("remux: " + why);
    o.add.push_back(std::move(track));
  }
  std::ifstream in(movie, std::ios::binary);
  if (!in) return Fail("remux: cannot open " + movie);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Fail("remux: cannot read " + movie);
  const bool bar = !quiet && isatty(2);
  std::vector<uint8_t> out;
  std::string why;
  const bool ok = encoder::RemuxMovie(bytes, o, out, &why, bar ? encoder::RemuxProgress(ShowProgress) : nullptr);
  if (bar) std::fprintf(stderr, "\n");
  if (!ok) return Fail("remux: " + movie + ": " + why);
  std::ofstream file(output, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
  file.close();
  if (!file) return Fail("remux: cannot write " + output);
  return 0;
}

const TarnCommand kRemux("remux", kUsage, RunRemux);

}  // namespace
}  // namespace tarn::tools
