#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.h"

namespace tarn {

bool File::Open(const char* name) {
  Close();
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd_ = fd;
  owned_ = true;
  return true;
}

void File::Adopt(int fd) {
  Close();
  fd_ = fd;
  owned_ = false;
}

int64_t File::Read(void* dst, size_t n) {
  if (fd_ < 0) return -1;
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd_, static_cast<char*>(dst) + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += size_t(r);
  }
  return int64_t(done);
}

bool File::Seek(int64_t offset) {
  if (fd_ < 0 || offset < 0) return false;
  return ::lseek(fd_, off_t(offset), SEEK_SET) == off_t(offset);
}

int64_t File::Tell() const {
  if (fd_ < 0) return -1;
  return int64_t(::lseek(fd_, 0, SEEK_CUR));
}

int64_t File::Size() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
  return int64_t(st.st_size);
}

void File::Close() {
  if (fd_ >= 0 && owned_) ::close(fd_);
  fd_ = -1;
  owned_ = false;
}

bool FileExists(const char* name) {
  struct stat st;
  return name && ::stat(name, &st) == 0;
}

}  // namespace tarn
