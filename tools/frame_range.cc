#include "tools/frame_range.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/last_error.h"
#include "common/movie_time.h"
#include "movie/movie.h"
#include "tools/command.h"

namespace tarn::tools {
namespace {

bool ParseCount(const std::string& s, uint32_t& out) {
  if (s.empty() || s.size() > 10 || s[0] < '0' || s[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(s.c_str(), &end, 10);
  if (errno || *end || v == 0 || v > 0xFFFFFFFFul) return false;
  out = uint32_t(v);
  return true;
}

}  // namespace

int FrameRange::Take(const std::vector<std::string>& args, size_t& i) {
  const std::string& a = args[i];
  if (a != "--start" && a != "--frames") return 0;
  uint32_t& into = a == "--start" ? start_ : count_;
  if (i + 1 >= args.size() || !ParseCount(args[++i], into)) {
    Fail(std::string(command_) + ": " + a + (a == "--start" ? " needs a frame number from 1" : " needs a count from 1"));
    return -1;
  }
  return 1;
}

uint32_t FrameRange::Begin(Movie* movie, const std::string& name) {
  if (start_ > movie->frameCount) {
    Fail(std::string(command_) + ": --start " + std::to_string(start_) + " is beyond the " +
         std::to_string(movie->frameCount) + " frames of " + name);
    return 0;
  }
  if (start_ > 1 && !MovieGoto(movie, start_)) {
    Fail(std::string(command_) + ": " + name + ": " + MovieGetError());
    return 0;
  }
  const uint64_t last = count_ ? uint64_t(start_) + count_ - 1 : movie->frameCount;
  last_ = uint32_t(std::min<uint64_t>(last, movie->frameCount));
  terminal_ = isatty(2) != 0;
  return last_;
}

void FrameRange::Done(uint32_t frame) {
  if (!terminal_) return;
  const uint32_t now = MovieTimeMs();
  if (shown_ && now - shownAt_ < 200 && frame != last_) return;
  shownAt_ = now;
  shown_ = true;
  std::fprintf(stderr, "\r%s: frame %u of %u", command_, frame, last_);
  std::fflush(stderr);
}

void FrameRange::End() {
  if (shown_) std::fprintf(stderr, "\n");
  shown_ = false;
}

}  // namespace tarn::tools
