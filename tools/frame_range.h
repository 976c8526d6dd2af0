// The frame range of the decoding commands (--start N, --frames K): checked
// against the movie, reached with MovieGoto, and a progress line while the
// frames are written when standard error is a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn {
struct Movie;
}

namespace tarn::tools {

class FrameRange {
 public:
  explicit FrameRange(const char* command) : command_(command) {}

  // Takes "--start N" or "--frames K" at args[i], moving i to its value: 1
  // when taken, 0 when args[i] is neither, -1 when its value is bad (reported).
  int Take(const std::vector<std::string>& args, size_t& i);

  // Checks the range against the open movie and moves it to the first frame
  // of the range; returns the last one (a count running past the end stops
  // at the end), or 0 when the range does not fit the movie (reported).
  uint32_t Begin(Movie* movie, const std::string& name);
  uint32_t First() const { return start_; }
  uint32_t Count() const { return count_; }  // 0: to the end

  // Frame done (on a terminal, now and then, "command: frame F of L"); End
  // clears the line.
  void Done(uint32_t frame);
  void End();

 private:
  const char* command_;
  uint32_t start_ = 1;
  uint32_t count_ = 0;  // 0: to the end
  uint32_t last_ = 0;
  uint32_t shownAt_ = 0;
  bool terminal_ = false, shown_ = false;
};

}  // namespace tarn::tools
