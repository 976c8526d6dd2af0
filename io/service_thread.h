// Process-wide service threads: a thread that wakes at a fixed period, asks each
// registered node how urgent it is, and services the most urgent nodes whose
// mutex it can take. The reader thread and the sound thread are two instances.
#pragma once

#include <cstdint>

namespace tarn {

struct ServiceNode;
struct ServiceThread;
class Mutex;

using ServiceUrgencyFn = uint32_t (*)(ServiceNode* node, uint32_t pass);
using ServiceWorkFn = void (*)(ServiceNode* node, uint32_t pass);

// Embedded in its owner (the movie's reader node and sound node).
struct ServiceNode {
  ServiceNode* next;
  Mutex* mutex;  // created on join, destroyed on leave; guards the owner's data
  ServiceNode* nextByUrgency;
  uint32_t urgency;
  ServiceUrgencyFn urgencyCallback;
  ServiceWorkFn serviceCallback;
  uint32_t lastServicedPass;
  void* owner;  // what the callbacks work on (the movie)
};

inline constexpr int32_t kReaderThreadPriority = 60;   // period 16 ms, normal priority
inline constexpr int32_t kSoundThreadPriority = -13;   // period 76 ms, below normal

ServiceThread* ServiceThreadCreate(int32_t priorityValue);
void ServiceThreadStart(ServiceThread* thread);
// Creates the node's mutex and puts the node at the head of the list.
[[nodiscard]] bool ServiceThreadJoin(ServiceThread* thread, ServiceNode* node, ServiceUrgencyFn urgency,
                                     ServiceWorkFn service, void* owner);
// Returns 1 when the reader thread ended, 2 the sound thread, 3 both, 0 none;
// the caller clears its process-wide pointer to each ended thread.
uint32_t ServiceThreadLeave(ServiceThread* soundThread, ServiceThread* readerThread, ServiceNode* readerNode,
                            ServiceNode* soundNode, uint32_t flags);
uint32_t ServiceThreadNodeCount(const ServiceThread* thread);

// 1 when the node's mutex was taken at once (or the node has none).
int ServiceNodeTryLock(ServiceNode* node);
void ServiceNodeLock(ServiceNode* node);
void ServiceNodeUnlock(ServiceNode* node);

}  // namespace tarn
