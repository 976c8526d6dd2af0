// The worker pool: every claim and every finish takes the mutex, which keeps
// the job's fields consistent for a worker that wakes late; parts are coarse
// (a plane, a row of blocks), so the lock is never the cost. Two counters
// mirror the job's state for the short spins before a sleep.
#include "common/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace tarn {

namespace {
std::atomic<int> threadsOverride{0};
}  // namespace

int ThreadsWanted() {
  if (const int o = threadsOverride.load(); o > 0) return std::min(o, kMaxThreads);
  if (const char* v = std::getenv("TARN_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    if (end != v && *end == '\0' && n >= 1) return int(std::min<long>(n, kMaxThreads));
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return int(std::clamp<unsigned>(cores, 1, kMaxThreads));
}

void ThreadsSetOverride(int threads) { threadsOverride.store(std::max(threads, 0)); }

WorkerPool::WorkerPool(int threads) {
  threads = std::clamp(threads, 1, kMaxThreads);
  workers_.reserve(size_t(threads - 1));
  for (int i = 1; i < threads; ++i) workers_.emplace_back([this](std::stop_token stop) { Work(stop); });
}

WorkerPool::~WorkerPool() {
  for (auto& w : workers_) w.request_stop();
  wake_.notify_all();
}

bool WorkerPool::Claim(int* index, void (**part)(void*, int), void** context) {
  if (next_ >= count_) return false;
  *index = next_++;
  *part = part_;
  *context = context_;
  return true;
}

void WorkerPool::Finished() {
  unfinishedSeen_.store(--unfinished_, std::memory_order_release);
  if (unfinished_ == 0) done_.notify_all();
}

void WorkerPool::RunClaimed(std::unique_lock<std::mutex>& lock) {
  int i;
  void (*part)(void*, int);
  void* context;
  while (Claim(&i, &part, &context)) {
    lock.unlock();
    part(context, i);
    lock.lock();
    Finished();
  }
}

void WorkerPool::Work(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  uint32_t prepared = prepared_;
  for (;;) {
    if (next_ >= count_) {
      const uint32_t seen = jobs_.load(std::memory_order_relaxed);
      lock.unlock();
      SpinUntil(kSpinUs, [&] { return jobs_.load(std::memory_order_acquire) != seen || stop.stop_requested(); });
      lock.lock();
    }
    if (!wake_.wait(lock, stop, [&] { return next_ < count_ || prepared_ != prepared; })) return;
    prepared = prepared_;
    RunClaimed(lock);  // nothing to claim after a Prepare: back to the spin
  }
}

void WorkerPool::Prepare() {
  if (workers_.empty()) return;
  {
    std::lock_guard lock(mutex_);
    ++prepared_;
  }
  wake_.notify_all();
}

void WorkerPool::Run(int count, void (*part)(void*, int), void* context) {
  if (count <= 0) return;
  if (workers_.empty() || count == 1) {
    for (int i = 0; i < count; ++i) part(context, i);
    return;
  }
  std::unique_lock lock(mutex_);
  part_ = part;
  context_ = context;
  count_ = count;
  next_ = 0;
  unfinished_ = count;
  unfinishedSeen_.store(count, std::memory_order_relaxed);
  jobs_.fetch_add(1, std::memory_order_release);
  wake_.notify_all();
  RunClaimed(lock);
  if (unfinished_ != 0) {
    lock.unlock();
    SpinUntil(kSpinUs, [this] { return unfinishedSeen_.load(std::memory_order_acquire) == 0; });
    lock.lock();
  }
  done_.wait(lock, [this] { return unfinished_ == 0; });
  count_ = next_ = 0;
  lastEnd_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

}  // namespace tarn
