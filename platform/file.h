// Read-only files for the movie reader. A File either owns its descriptor
// (opened by name) or has adopted one that the caller keeps and closes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens name read-only with sequential read-ahead advice. False on failure.
  [[nodiscard]] bool Open(const char* name);
  // Uses an open descriptor; Close leaves it open.
  void Adopt(int fd);
  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }

  // Reads up to n bytes at the current position, retrying short reads until
  // n bytes, end of file or an error. Returns the count, or -1 on error.
  int64_t Read(void* dst, size_t n);
  // Absolute seek; false on error.
  [[nodiscard]] bool Seek(int64_t offset);
  // Current position, -1 on error.
  int64_t Tell() const;
  // Size of the file, -1 when unknown.
  int64_t Size() const;
  void Close();

 private:
  int fd_ = -1;
  bool owned_ = false;
};

// True when a file of that name exists.
bool FileExists(const char* name);

}  // namespace tarn
