#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread.h"

namespace tarn {

bool Thread::Start(std::function<void()> body, ThreadPriority priority) {
  if (thread_.joinable()) return false;
  try {
    thread_ = std::thread([body = std::move(body), priority] {
      const int nice = priority == ThreadPriority::BelowNormal ? 2
                       : priority == ThreadPriority::AboveNormal ? -2
                                                                 : 0;
      if (nice != 0) {
        const id_t tid = id_t(syscall(SYS_gettid));
        (void)setpriority(PRIO_PROCESS, tid, nice);  // a hint; may be refused
      }
      body();
    });
  } catch (...) {
    return false;
  }
  return true;
}

void Thread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace tarn
