// Threads and synchronisation for the service threads and the sound rings:
// a joining thread with a priority hint, a mutex with try and timed locks,
// and an auto-reset event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tarn {

enum class ThreadPriority { BelowNormal, Normal, AboveNormal };

// Runs a function on its own thread; the destructor joins. The priority is a
// hint: raising it needs privileges, so failing to apply it is not an error.
class Thread {
 public:
  Thread() = default;
  ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  [[nodiscard]] bool Start(std::function<void()> body, ThreadPriority priority);
  void Join();
  bool Running() const { return thread_.joinable(); }

 private:
  std::thread thread_;
};

class Mutex {
 public:
  void Lock() { m_.lock(); }
  [[nodiscard]] bool TryLock() { return m_.try_lock(); }
  // Waits at most ms milliseconds for the lock.
  [[nodiscard]] bool TimedLock(uint32_t ms) { return m_.try_lock_for(std::chrono::milliseconds(ms)); }
  void Unlock() { m_.unlock(); }
  // For std::lock_guard.
  void lock() { Lock(); }
  void unlock() { Unlock(); }
  bool try_lock() { return TryLock(); }

 private:
  std::timed_mutex m_;
};

// A mutex the owning thread may take again (each take needs its own Unlock).
// Service-node mutexes are of this kind: the service thread and the playback
// thread hold a node's mutex while calling code that try-locks it once more.
class RecursiveMutex {
 public:
  void Lock() { m_.lock(); }
  [[nodiscard]] bool TryLock() { return m_.try_lock(); }
  // Waits at most about us microseconds for the lock. Polls in short steps:
  // the thread sanitizer does not follow the timed pthread lock.
  [[nodiscard]] bool TimedLockUs(uint32_t us) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (!m_.try_lock()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
  }
  void Unlock() { m_.unlock(); }
  void lock() { Lock(); }
  void unlock() { Unlock(); }
  bool try_lock() { return TryLock(); }

 private:
  std::recursive_mutex m_;
};

// Signalled by Set; a successful Wait consumes the signal.
class AutoResetEvent {
 public:
  void Set() {
    std::lock_guard lock(m_);
    signalled_ = true;
    cv_.notify_one();
  }
  // Waits at most ms milliseconds; true when the event was signalled.
  bool Wait(uint32_t ms) {
    std::unique_lock lock(m_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;  // guarded by m_
};

}  // namespace tarn
