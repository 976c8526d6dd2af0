// Service threads: one worker per instance, woken every period, servicing the
// registered nodes by urgency. The node list is guarded by the work mutex; a
// node's data by the node's own mutex, which a pass waits for at most 1 ms.
#include "io/service_thread.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include "common/allocator.h"
#include "platform/thread.h"

namespace tarn {

namespace {

enum : uint32_t {
  STATE_CREATED = 0,  // not started: the worker is parked at its gate
  STATE_RUNNING = 1,
  STATE_HELD = 2,     // a caller holds the work mutex
  STATE_STOPPING = 3,
  STATE_WAITING = 4,  // a caller is waiting for the work mutex
};

constexpr int kWaitNodes = 16;                     // nodes offered to one wait-any
constexpr auto kWaitLimit = std::chrono::milliseconds(1);
constexpr uint32_t kWaitStepUs = 200;              // one timed attempt on the most urgent node

}  // namespace

struct ServiceThread {
  std::atomic<uint32_t> state{STATE_CREATED};
  uint32_t period = 0;                 // ms between passes
  ThreadPriority priority = ThreadPriority::Normal;
  AutoResetEvent stopEvent;            // signalled once, to end the worker
  AutoResetEvent startGate;            // releases a worker that was never started
  bool resumed = false;                // startGate signalled; caller side only
  Mutex work;                          // held by the worker during a pass and by holding callers
  ServiceNode* head = nullptr;         // guarded by work
  uint32_t pass = 1;                   // guarded by work
  std::atomic<uint32_t> nodeCount{0};  // changed under work
  Thread worker;                       // last: joined before the rest dies
};

namespace {

// Inserts node into the urgency list (high to low); among equals, the newest
// goes first.
void InsertByUrgency(ServiceNode*& list, ServiceNode* node) {
  ServiceNode** link = &list;
  while (*link && (*link)->urgency > node->urgency) link = &(*link)->nextByUrgency;
  node->nextByUrgency = *link;
  *link = node;
}

// Wait-any over the first kWaitNodes of the urgency list: the most urgent node
// whose mutex is free, or nullptr after about 1 ms. Never blocks longer.
ServiceNode* TakeMostUrgent(ServiceNode* list) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  for (;;) {
    int n = 0;
    for (ServiceNode* node = list; node && n < kWaitNodes; node = node->nextByUrgency, ++n) {
      if (ServiceNodeTryLock(node)) return node;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return nullptr;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    const uint32_t step = uint32_t(us < kWaitStepUs ? (us > 0 ? us : 1) : kWaitStepUs);
    if (list->mutex == nullptr || list->mutex->TimedLockUs(step)) return list;
  }
}

// One pass; the caller holds the work mutex.
void RunPass(ServiceThread* t) {
  const uint32_t pass = ++t->pass;
  for (;;) {
    ServiceNode* urgent = nullptr;
    for (ServiceNode* node = t->head; node; node = node->next) {
      if (t->state.load(std::memory_order_acquire) != STATE_RUNNING) return;
      node->urgency = node->urgencyCallback ? node->urgencyCallback(node, pass) : 0;
      if (node->urgency != 0) InsertByUrgency(urgent, node);
    }
    if (urgent == nullptr) return;
    if (ServiceNode* node = TakeMostUrgent(urgent)) {
      if (node->serviceCallback) node->serviceCallback(node, pass);
      ServiceNodeUnlock(node);
    }
  }
}

void WorkerBody(ServiceThread* t) {
  // A thread is created parked; it runs once started or told to stop.
  while (!t->startGate.Wait(1000)) {
  }
  for (;;) {
    if (t->stopEvent.Wait(t->period)) return;
    t->work.Lock();
    const uint32_t state = t->state.load(std::memory_order_acquire);
    if (state == STATE_RUNNING && t->head) RunPass(t);
    if (t->state.load(std::memory_order_acquire) == STATE_STOPPING) {
      t->work.Unlock();
      return;
    }
    t->work.Unlock();
  }
}

// Takes the work mutex; any pass in progress stops at its next node.
void Hold(ServiceThread* t) {
  t->state.store(STATE_WAITING, std::memory_order_release);
  t->work.Lock();
  t->state.store(STATE_HELD, std::memory_order_release);
}

bool RemoveNode(ServiceThread* t, ServiceNode* node) {
  for (ServiceNode** link = &t->head; *link; link = &(*link)->next) {
    if (*link == node) {
      *link = node->next;
      node->next = nullptr;
      t->nodeCount.fetch_sub(1, std::memory_order_acq_rel);
      return true;
    }
  }
  return false;
}

void DestroyNodeMutex(ServiceNode* node) {
  if (node && node->mutex) {
    node->mutex->~RecursiveMutex();
    LibraryRelease(node->mutex);
    node->mutex = nullptr;
  }
}

void Destroy(ServiceThread* t) {
  t->~ServiceThread();
  LibraryRelease(t);
}

}  // namespace

ServiceThread* ServiceThreadCreate(int32_t priorityValue) {
  if (priorityValue == 0) return nullptr;
  void* mem = LibraryAllocate(sizeof(ServiceThread));
  if (mem == nullptr) return nullptr;
  auto* t = new (mem) ServiceThread();
  t->period = 1000u / uint32_t(std::abs(int64_t(priorityValue)));
  t->priority = priorityValue < 0 ? ThreadPriority::BelowNormal : ThreadPriority::Normal;
  if (!t->worker.Start([t] { WorkerBody(t); }, t->priority)) {
    Destroy(t);
    return nullptr;
  }
  return t;
}

void ServiceThreadStart(ServiceThread* t) {
  if (t == nullptr) return;
  const uint32_t state = t->state.load(std::memory_order_acquire);
  if (state == STATE_CREATED) {
    t->state.store(STATE_RUNNING, std::memory_order_release);
    if (!t->resumed) {
      t->resumed = true;
      t->startGate.Set();
    }
  } else if (state == STATE_HELD) {
    t->state.store(STATE_RUNNING, std::memory_order_release);
    t->work.Unlock();
  } else if (!t->resumed) {
    // Marked running by a test pass but never let go.
    t->resumed = true;
    t->startGate.Set();
  }
}

bool ServiceThreadJoin(ServiceThread* t, ServiceNode* node, ServiceUrgencyFn urgency, ServiceWorkFn service,
                       void* owner) {
  if (t == nullptr || node == nullptr) return false;
  void* mem = LibraryAllocate(sizeof(RecursiveMutex));
  if (mem == nullptr) return false;
  const bool running = t->state.load(std::memory_order_acquire) != STATE_CREATED;
  if (running) Hold(t);  // released by ServiceThreadStart
  node->mutex = new (mem) RecursiveMutex();
  node->urgencyCallback = urgency;
  node->serviceCallback = service;
  node->owner = owner;
  node->urgency = 0;
  node->lastServicedPass = 0;
  node->stalledPass = 0;
  node->nextByUrgency = nullptr;
  node->next = t->head;
  t->head = node;
  t->nodeCount.fetch_add(1, std::memory_order_acq_rel);
  return true;
}

uint32_t ServiceThreadLeave(ServiceThread* soundThread, ServiceThread* readerThread, ServiceNode* readerNode,
                            ServiceNode* soundNode, uint32_t flags) {
  struct Leaving {
    ServiceThread* thread;
    ServiceNode* node;
    uint32_t bit;
    bool held = false;
    bool ends = false;
  };
  Leaving leaving[2] = {{readerThread, readerNode, 1}, {soundThread, soundNode, 2}};
  if (readerThread != nullptr && readerThread == soundThread) leaving[1].thread = nullptr;  // one thread

  // Hold each thread while its list changes, so no pass is inside the node.
  for (Leaving& l : leaving) {
    if (!l.thread) continue;
    const uint32_t state = l.thread->state.load(std::memory_order_acquire);
    // A join whose start never came left the thread held by this caller.
    if (state != STATE_CREATED && state != STATE_HELD) Hold(l.thread);
    l.held = state != STATE_CREATED;
    RemoveNode(l.thread, l.node);
    if (l.thread == readerThread && soundNode && soundThread == readerThread) RemoveNode(l.thread, soundNode);
    l.ends = (flags & SERVICE_LEAVE_END_EMPTY) && l.thread->nodeCount.load() == 0;
  }
  // Threads that end are all signalled first, then waited for together.
  for (Leaving& l : leaving) {
    if (!l.thread || !l.ends) continue;
    l.thread->stopEvent.Set();
    l.thread->state.store(STATE_STOPPING, std::memory_order_release);
    if (!l.thread->resumed) {
      l.thread->resumed = true;
      l.thread->startGate.Set();
    }
    if (l.held) l.thread->work.Unlock();
  }
  uint32_t ended = 0;
  for (Leaving& l : leaving) {
    if (!l.thread) continue;
    if (l.ends) {
      l.thread->worker.Join();
      Destroy(l.thread);
      ended |= l.bit;
    } else if (l.held) {
      l.thread->state.store(STATE_RUNNING, std::memory_order_release);
      l.thread->work.Unlock();
    }
  }
  if (readerThread != nullptr && readerThread == soundThread && (ended & 1)) ended = 3;
  DestroyNodeMutex(readerNode);
  DestroyNodeMutex(soundNode);
  return ended;
}

uint32_t ServiceThreadNodeCount(const ServiceThread* t) { return t ? t->nodeCount.load() : 0; }

uint32_t ServiceThreadPeriodMs(const ServiceThread* t) { return t ? t->period : 0; }

void ServiceThreadRunPassForTesting(ServiceThread* t) {
  if (t == nullptr) return;
  t->work.Lock();
  uint32_t expected = STATE_CREATED;
  t->state.compare_exchange_strong(expected, STATE_RUNNING);
  if (t->state.load() == STATE_RUNNING) RunPass(t);
  t->work.Unlock();
}

int ServiceNodeTryLock(ServiceNode* node) {
  if (node == nullptr || node->mutex == nullptr) return 1;
  return node->mutex->TryLock() ? 1 : 0;
}

void ServiceNodeLock(ServiceNode* node) {
  if (node && node->mutex) node->mutex->Lock();
}

void ServiceNodeUnlock(ServiceNode* node) {
  if (node && node->mutex) node->mutex->Unlock();
}

}  // namespace tarn
