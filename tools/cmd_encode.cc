// `tarn encode`: pictures and sound files into a movie.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/worker_pool.h"
#include "encoder/movie_encoder.h"
#include "tools/command.h"
#include "tools/outputs.h"

namespace tarn::tools {

namespace {

bool ParseUint(const std::string& s, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 19) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  const uint64_t v = std::strtoull(s.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = v;
  return true;
}

int RunEncode(const std::vector<std::string>& args) {
  encoder::EncodeOptions o;
  bool quiet = false;
  auto need = [&](size_t& i) -> const std::string* {
    if (i + 1 >= args.size()) return nullptr;
    return &args[++i];
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::string* v = nullptr;
    uint64_t n = 0;
    auto bad = [&](const char* what) { return Fail(a + ": " + what); };
    if (a == "-o" || a == "--output") {
      if (!(v = need(i))) return bad("needs a file name");
      o.output = *v;
    } else if (a == "--rate") {
      if (!(v = need(i))) return bad("needs N/D");
      const size_t slash = v->find('/');
      uint64_t num = 0, den = 1;
      if (!ParseUint(v->substr(0, slash), 1000000, &num) || num == 0 ||
          (slash != std::string::npos && (!ParseUint(v->substr(slash + 1), 1000000, &den) || den == 0)))
        return bad("expects a positive rate like 25 or 30000/1001");
      o.rateNumerator = uint32_t(num);
      o.rateDenominator = uint32_t(den);
    } else if (a == "--alpha") {
      o.alpha = true;
    } else if (a == "--grey" || a == "--gray") {
      o.grey = true;
    } else if (a == "--quiet" || a == "-q") {
      quiet = true;
    } else if (a == "--revision") {
      if (!(v = need(i)) || v->size() != 1 || (*v)[0] < 'f' || (*v)[0] > 'i') return bad("expects f, g, h or i");
      o.revision = (*v)[0];
    } else if (a == "--keyint") {
      if (!(v = need(i)) || !ParseUint(*v, 1u << 30, &n) || n == 0) return bad("expects a positive frame count");
      o.keyInterval = uint32_t(n);
    } else if (a == "--quality") {
      if (!(v = need(i)) || !ParseUint(*v, 100, &n) || n == 0) return bad("expects 1..100");
      o.quality = int(n);
    } else if (a == "--audio-quality") {
      if (!(v = need(i)) || !ParseUint(*v, 100, &n) || n == 0) return bad("expects 1..100");
      o.audioQuality = int(n);
    } else if (a == "--bitrate") {
      if (!(v = need(i)) || !ParseUint(*v, uint64_t(1) << 40, &n) || n == 0) return bad("expects bytes per second");
      o.bitrate = n;
    } else if (a == "--passes") {
      if (!(v = need(i)) || !ParseUint(*v, 2, &n) || n == 0) return bad("expects 1 or 2");
      o.passes = int(n);
    } else if (a == "--threads") {
      if (!(v = need(i)) || !ParseUint(*v, kMaxThreads, &n) || n == 0)
        return bad(("expects a thread count 1.." + std::to_string(kMaxThreads)).c_str());
      o.threads = int(n);
    } else if (a == "--display") {
      if (!(v = need(i)) || !ParseUint(*v, 7, &n)) return bad("expects 0..7");
      o.display = uint32_t(n);
    } else if (a == "--frames") {
      if (!(v = need(i)) || !ParseUint(*v, 1u << 30, &n)) return bad("expects a frame count");
      o.maxFrames = uint32_t(n);
    } else if (a == "--audio-lead") {
      if (!(v = need(i)) || !ParseUint(*v, encoder::kMaxAudioLeadMs, &n))
        return bad(("expects milliseconds, 0.." + std::to_string(encoder::kMaxAudioLeadMs)).c_str());
      o.audioLeadMs = uint32_t(n);
    } else if (a == "--audio-codec") {
      if (!(v = need(i)) || (*v != "dct" && *v != "rdft")) return bad("expects dct or rdft");
      o.audioDct = *v == "dct";
    } else if (a == "--audio") {
      if (!(v = need(i))) return bad("needs a sound file");
      encoder::AudioInput in;
      in.path = *v;
      const size_t colon = v->rfind(':');
      if (colon != std::string::npos && colon + 1 < v->size() &&
          ParseUint(v->substr(colon + 1), 0xFFFFFFFFu, &n)) {
        in.path = v->substr(0, colon);
        in.id = uint32_t(n);
        in.hasId = true;
      }
      o.audio.push_back(in);
    } else if (!a.empty() && a[0] == '-') {
      return Fail("unknown option " + a);
    } else if (o.video.empty()) {
      o.video = a;
    } else {
      return Fail("more than one video input: " + o.video + " and " + a);
    }
  }
  if (o.output.empty()) return Fail("encode: -o OUT.trn is required");
  if (o.video.empty()) return Fail("encode: no video input (a .y4m file or a PNG pattern)");
  const bool bar = !quiet && isatty(2);
  encoder::EncodeStats stats;
  std::string why;
  const bool ok = encoder::EncodeMovieFile(o, &stats, &why, bar ? encoder::EncodeProgress(ShowProgress) : nullptr);
  if (bar) std::fprintf(stderr, "\n");
  if (!ok) return Fail("encode: " + why);
  if (!quiet) {
    std::fprintf(stderr, "%s: %u frames, %llu bytes, %.1f fps, PSNR Y %.2f dB", o.output.c_str(), stats.frames,
                 static_cast<unsigned long long>(stats.bytes), stats.seconds > 0 ? stats.frames / stats.seconds : 0.0,
                 stats.Psnr(0, 0));
    if (stats.samples[1] > 0) std::fprintf(stderr, ", Cb Cr %.2f dB", stats.Psnr(1, 2));
    if (stats.samples[3] > 0) std::fprintf(stderr, ", alpha %.2f dB", stats.Psnr(3, 3));
    std::fprintf(stderr, "\n");
    // A rate below what the lowest quality takes, or above what the highest
    // does, cannot be met: say so rather than leave it to be found.
    const double average = stats.movieSeconds > 0 ? double(stats.bytes) / stats.movieSeconds : 0;
    if (o.bitrate && average > 1.03 * double(o.bitrate))
      std::fprintf(stderr, "tarn: encode: the movie averages %.0f bytes/s, more than the %llu asked: its pictures take more even at the lowest quality\n",
                   average, static_cast<unsigned long long>(o.bitrate));
    if (o.bitrate && average < 0.97 * double(o.bitrate))
      std::fprintf(stderr, "tarn: encode: the movie averages %.0f bytes/s, less than the %llu asked: its pictures take no more at the highest quality\n",
                   average, static_cast<unsigned long long>(o.bitrate));
  }
  return 0;
}

const TarnCommand kEncode(
    "encode",
    "encode -o OUT.trn [--rate N/D] [--alpha] [--grey] [--revision f|g|h|i] [--keyint N] "
    "[--quality Q] [--bitrate BYTES/S [--passes 2]] [--threads N] [--display N] [--audio-codec dct|rdft] "
    "[--audio-quality Q] [--audio-lead MS] [--quiet] VIDEO [--audio FILE[:ID]]...",
    RunEncode);

}  // namespace

}  // namespace tarn::tools
