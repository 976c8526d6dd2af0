// A fixed set of threads that run the parts of one job at a time, the
// calling thread taking parts too; a pool of one thread runs every part
// inline. Also the thread count the library and the tools use by default.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace tarn {

// One pause of a spin-wait: on x86 it lets the core's other hardware thread
// run and eases the memory order machinery; elsewhere a hint or nothing.
inline void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Pauses until ready() holds (true) or for about us microseconds (false).
template <class Ready>
bool SpinUntil(int us, Ready ready) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
  do {
    for (int i = 0; i < 16; ++i) {
      if (ready()) return true;
      SpinPause();
    }
  } while (std::chrono::steady_clock::now() < until);
  return ready();
}

// TARN_THREADS (1..kMaxThreads) when set, else the processor count; a test
// override set with ThreadsSetOverride comes first.
inline constexpr int kMaxThreads = 64;
int ThreadsWanted();
void ThreadsSetOverride(int threads);  // 0 drops the override

class WorkerPool {
 public:
  // threads - 1 workers are started (threads is clamped to 1..kMaxThreads).
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int threads() const { return int(workers_.size()) + 1; }

  // Calls part(context, i) once for every i in [0, count), in increasing
  // order of claiming, on the workers and the calling thread; returns when
  // every part has returned. One Run at a time per pool.
  void Run(int count, void (*part)(void* context, int i), void* context);

  // A job is coming: sleeping workers wake and look for it for a while, so
  // that it does not wait for them to be scheduled.
  void Prepare();
  // The last job ended less than kWarmUs ago: jobs come back to back (a
  // tool decoding every frame, not a player showing them at their pace), so
  // the workers are awake or quick to wake. For the caller of Run, as a hint.
  bool Warm() const {
    using Clock = std::chrono::steady_clock;
    const Clock::duration since =
        Clock::now().time_since_epoch() - Clock::duration(lastEnd_.load(std::memory_order_relaxed));
    return !workers_.empty() && since < std::chrono::microseconds(kWarmUs);
  }

  template <class F>
  void Run(int count, F&& part) {
    using Part = std::remove_reference_t<F>;
    Run(count, [](void* c, int i) { (*static_cast<Part*>(c))(i); }, &part);
  }

 private:
  void Work(std::stop_token stop);
  // With mutex_ held: claims the next part of the job in hand (false when
  // none is left), and counts a part that returned.
  bool Claim(int* index, void (**part)(void*, int), void** context);
  void Finished();
  // With the lock held: runs parts of the job in hand until none is left
  // to claim, the lock released while a part runs.
  void RunClaimed(std::unique_lock<std::mutex>& lock);

  // Jobs often come back to back (the frames of a movie): a worker that ran
  // out of parts, and the caller waiting for the last part of its job, look
  // for a while (pausing) before they sleep, so that neither waits out a
  // trip through the scheduler.
  static constexpr int kSpinUs = 100;
  static constexpr int kWarmUs = 1000;

  std::mutex mutex_;
  std::condition_variable_any wake_;  // a job arrived (guarded by mutex_)
  std::condition_variable done_;      // the last part of a job returned
  void (*part_)(void*, int) = nullptr;  // the job in hand: guarded by mutex_
  void* context_ = nullptr;
  int count_ = 0, next_ = 0, unfinished_ = 0;
  uint32_t prepared_ = 0;                // Prepare calls (guarded by mutex_)
  std::atomic<uint32_t> jobs_{0};        // jobs begun: stored under mutex_, polled without it
  std::atomic<int> unfinishedSeen_{0};   // unfinished_: stored under mutex_, polled without it
  std::atomic<int64_t> lastEnd_{0};      // steady_clock ticks when the last Run returned
  std::vector<std::jthread> workers_;  // last: stop and join before the state above dies
};

}  // namespace tarn
