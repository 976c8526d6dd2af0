// A temporary file of known bytes for the reader tests, removed at the end.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tarn {

// Byte at file offset i: varies within and across 128 KB slots.
inline uint8_t PatternByte(uint64_t i) { return uint8_t(i * 131 + (i >> 17) * 7 + (i >> 9)); }

class TempPatternFile {
 public:
  explicit TempPatternFile(size_t size) {
    char name[] = "/tmp/tarn_io_test_XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = PatternByte(i);
    size_t done = 0;
    while (fd >= 0 && done < size) {
      const ssize_t n = ::write(fd, bytes.data() + done, size - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    if (fd >= 0) ::close(fd);
  }
  ~TempPatternFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// True when dst holds the pattern starting at file offset `at`.
inline bool MatchesPattern(const uint8_t* dst, size_t n, uint64_t at) {
  for (size_t i = 0; i < n; ++i)
    if (dst[i] != PatternByte(at + i)) return false;
  return true;
}

}  // namespace tarn
