// Process-wide service threads: a thread that wakes at a fixed period, asks each
// registered node how urgent it is, and services the most urgent nodes whose
// mutex it can take. The reader thread and the sound thread are two instances.
#pragma once

#include <cstdint>

namespace tarn {

struct ServiceNode;
struct ServiceThread;
class RecursiveMutex;

// Urgency: 0 means nothing to do; larger values are serviced first.
using ServiceUrgencyFn = uint32_t (*)(ServiceNode* node, uint32_t pass);
// One unit of work, called with the node's mutex held.
using ServiceWorkFn = void (*)(ServiceNode* node, uint32_t pass);

// Embedded in its owner (the movie's reader node and sound node); zero-filled
// when unused. The fields are the service thread's: the owner reads mutex only.
struct ServiceNode {
  ServiceNode* next;
  RecursiveMutex* mutex;  // created on join, destroyed on leave; guards the owner's data
  ServiceNode* nextByUrgency;
  uint32_t urgency;
  ServiceUrgencyFn urgencyCallback;
  ServiceWorkFn serviceCallback;
  uint32_t lastServicedPass;
  uint32_t stalledPass;  // pass in which a service made no progress (reader nodes)
  void* owner;           // what the callbacks work on
};

inline constexpr int32_t kReaderThreadPriority = 60;  // period 16 ms, normal priority
inline constexpr int32_t kSoundThreadPriority = -13;  // period 76 ms, below normal

// ServiceThreadLeave flags: bit 0 lets a thread that lost its last node end.
inline constexpr uint32_t SERVICE_LEAVE_END_EMPTY = 1;

// Creates a thread that waits, not yet started, with period 1000 / |priority|
// ms; a negative priority runs it below normal. nullptr when it cannot be made.
ServiceThread* ServiceThreadCreate(int32_t priorityValue);

// Lets the thread run: starts it the first time; after ServiceThreadJoin on a
// running thread, releases the hold that the join took. Without either it does
// nothing. Call from the thread that joined.
void ServiceThreadStart(ServiceThread* thread);

// Creates the node's mutex and puts the node at the head of the list. A thread
// that is already running is held (no pass runs) until ServiceThreadStart, so
// the usual order is create-if-none, join, start. False when out of memory.
[[nodiscard]] bool ServiceThreadJoin(ServiceThread* thread, ServiceNode* node, ServiceUrgencyFn urgency,
                                     ServiceWorkFn service, void* owner);

// Removes each given node from its thread (either may be null or absent). A
// thread left without nodes ends when flags has SERVICE_LEAVE_END_EMPTY: it is
// joined and freed. When this returns, no pass is inside a removed node's
// callbacks and their mutexes are destroyed. Returns 1 when the reader thread
// ended, 2 the sound thread, 3 both, 0 none; the caller clears its pointers.
uint32_t ServiceThreadLeave(ServiceThread* soundThread, ServiceThread* readerThread, ServiceNode* readerNode,
                            ServiceNode* soundNode, uint32_t flags);

uint32_t ServiceThreadNodeCount(const ServiceThread* thread);
uint32_t ServiceThreadPeriodMs(const ServiceThread* thread);

// Runs one pass on the calling thread (tests: a thread that was never started
// stays parked, so the pass is deterministic). Marks the thread running.
void ServiceThreadRunPassForTesting(ServiceThread* thread);

// 1 when the node's mutex was taken at once (or the node has none).
int ServiceNodeTryLock(ServiceNode* node);
// Waits for the node's mutex (nothing when the node has none).
void ServiceNodeLock(ServiceNode* node);
void ServiceNodeUnlock(ServiceNode* node);

}  // namespace tarn
