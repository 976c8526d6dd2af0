// Keeps what the libraries under SDL print while SDL probes for drivers (sound
// servers and cards that are not there, desktop variables that are not set)
// off the terminal: standard error goes to /dev/null for the scope. Used only
// around SDL's start-up and device opens, on the thread that opens.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace tarn {

class SdlQuietStderr {
 public:
  SdlQuietStderr() {
    std::fflush(stderr);
    saved_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) ::dup2(null, 2);
    if (null >= 0) ::close(null);
  }
  ~SdlQuietStderr() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, 2);
      ::close(saved_);
    }
  }
  SdlQuietStderr(const SdlQuietStderr&) = delete;
  SdlQuietStderr& operator=(const SdlQuietStderr&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace tarn
