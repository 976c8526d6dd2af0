// The process-wide reader and sound service threads as the movies use them:
// created by the first movie that needs one, ended when the last node leaves.
// Also the node locks: the reader lock and the sound lock are the node
// mutexes (re-entrant); a node that never joined a thread has none and locks
// trivially.
#pragma once

#include "io/service_thread.h"

namespace tarn {

struct MovieState;

// Join the movie's reader node or sound node to its thread; false when the
// thread could not be made or joined.
bool MovieJoinReaderThread(MovieState* m);
bool MovieJoinSoundThread(MovieState* m);
// Takes every node the movie joined off its thread.
void MovieLeaveThreads(MovieState* m);

void MovieNodeLock(ServiceNode* node);
bool MovieNodeTryLock(ServiceNode* node);
void MovieNodeUnlock(ServiceNode* node);

}  // namespace tarn
