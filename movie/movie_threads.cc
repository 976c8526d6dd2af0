// The process-wide service threads, shared by every open movie.
#include "movie/movie_threads.h"

#include <mutex>

#include "movie/movie_internal.h"
#include "movie/movie_testing.h"

namespace tarn {
namespace {

std::mutex serviceMutex;  // guards the two pointers
ServiceThread* readerThread = nullptr;
ServiceThread* soundThread = nullptr;

// Joins the process-wide thread, creating it on first need. A thread created
// here and not joined is ended again.
bool JoinThread(ServiceThread** thread, int32_t priority, ServiceNode* node, ServiceUrgencyFn urgency,
                ServiceWorkFn service, void* owner) {
  std::lock_guard lock(serviceMutex);
  if (*thread == nullptr) *thread = ServiceThreadCreate(priority);
  if (*thread == nullptr) return false;
  const bool joined = ServiceThreadJoin(*thread, node, urgency, service, owner);
  ServiceThreadStart(*thread);
  return joined;
}

}  // namespace

bool MovieJoinReaderThread(MovieState* m) {
  m->input.joined = JoinThread(&readerThread, kReaderThreadPriority, &m->input.reader.serviceNode,
                               IoReaderNodeUrgency, IoReaderNodeService, &m->input.reader);
  return m->input.joined;
}

bool MovieJoinSoundThread(MovieState* m) {
  m->sound.joined = JoinThread(&soundThread, kSoundThreadPriority, &m->sound.node, SoundNodeUrgency,
                               SoundNodeService, m);
  return m->sound.joined;
}

void MovieLeaveThreads(MovieState* m) {
  if (!m->sound.joined && !m->input.joined) return;
  std::lock_guard lock(serviceMutex);
  const uint32_t ended = ServiceThreadLeave(soundThread, readerThread,
                                            m->input.joined ? &m->input.reader.serviceNode : nullptr,
                                            m->sound.joined ? &m->sound.node : nullptr, SERVICE_LEAVE_END_EMPTY);
  if (ended & 1) readerThread = nullptr;
  if (ended & 2) soundThread = nullptr;
  m->sound.joined = m->input.joined = 0;
}

void MovieServiceThreadsForTesting(ServiceThread** reader, ServiceThread** sound) {
  std::lock_guard lock(serviceMutex);
  if (reader) *reader = readerThread;
  if (sound) *sound = soundThread;
}

void MovieNodeLock(ServiceNode* node) { ServiceNodeLock(node); }
bool MovieNodeTryLock(ServiceNode* node) { return ServiceNodeTryLock(node) != 0; }
void MovieNodeUnlock(ServiceNode* node) { ServiceNodeUnlock(node); }

}  // namespace tarn
