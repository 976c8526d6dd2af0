#include "io/service_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "io/io_reader.h"
#include "platform/thread.h"
#include "tests/io/io_test_file.h"

namespace tarn {
namespace {

constexpr uint32_t kChunk = 0x20000;

// A reader over its own pattern file with an 8-slot ring.
struct RingReader {
  explicit RingReader(uint32_t slots = 8) : file(32 * kChunk) {
    EXPECT_EQ(IoReaderOpen(&r, file.path(), 0), 1);
    IoReaderUseNodeLock(&r);
    const uint32_t size = r.BufferSizeFor(&r, slots * kChunk);
    memory.resize(size);
    r.SetBuffer(&r, memory.data(), size, 32 * kChunk, 0);
  }
  ~RingReader() { r.Close(&r); }
  uint32_t Slots() { return IoReaderLoad(r.held) / kChunk; }

  TempPatternFile file;
  std::vector<uint8_t> memory;
  IoReader r;
};

// Polls a condition for up to five seconds of real time.
template <typename F>
bool Eventually(F done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(ServiceThread, PeriodComesFromThePriorityValue) {
  const struct {
    int32_t priority;
    uint32_t period;
  } cases[] = {{kReaderThreadPriority, 16}, {kSoundThreadPriority, 76}, {1, 1000}};
  for (const auto& c : cases) {
    ServiceThread* t = ServiceThreadCreate(c.priority);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ServiceThreadPeriodMs(t), c.period);
    EXPECT_EQ(ServiceThreadLeave(nullptr, t, nullptr, nullptr, SERVICE_LEAVE_END_EMPTY), 1u);
  }
}

// Below half of its target a ring is filled again and again within a pass;
// from half on it gets one chunk per pass.
TEST(ServiceThread, RingBelowHalfIsFilledToHalfThenOncePerPass) {
  RingReader a;
  ServiceThread* t = ServiceThreadCreate(kReaderThreadPriority);
  ASSERT_TRUE(ServiceThreadJoin(t, &a.r.serviceNode, IoReaderNodeUrgency, IoReaderNodeService, &a.r));
  ServiceThreadRunPassForTesting(t);
  EXPECT_EQ(a.Slots(), 4u);
  ServiceThreadRunPassForTesting(t);
  EXPECT_EQ(a.Slots(), 5u);
  EXPECT_EQ(a.r.idleReadTime, 0u);
  EXPECT_EQ(ServiceThreadLeave(nullptr, t, &a.r.serviceNode, nullptr, SERVICE_LEAVE_END_EMPTY), 1u);
  EXPECT_EQ(a.r.serviceNode.mutex, nullptr);
}

std::vector<const void*> serviced;  // owners in service order (test thread only)

void RecordingService(ServiceNode* node, uint32_t pass) {
  serviced.push_back(node->owner);
  IoReaderNodeService(node, pass);
}

TEST(ServiceThread, EmptierRingIsFilledFirst) {
  RingReader fuller, emptier;
  for (int i = 0; i < 3; ++i) ASSERT_GT(fuller.r.FillChunk(&fuller.r), 0);
  ServiceThread* t = ServiceThreadCreate(kReaderThreadPriority);
  // Join the emptier one first, so list order alone would service it last.
  ASSERT_TRUE(ServiceThreadJoin(t, &emptier.r.serviceNode, IoReaderNodeUrgency, RecordingService, &emptier.r));
  ASSERT_TRUE(ServiceThreadJoin(t, &fuller.r.serviceNode, IoReaderNodeUrgency, RecordingService, &fuller.r));
  serviced.clear();
  ServiceThreadRunPassForTesting(t);
  ASSERT_GE(serviced.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(serviced[i], &emptier.r) << "service " << i;
  EXPECT_EQ(fuller.Slots(), 4u);
  EXPECT_EQ(emptier.Slots(), 4u);
  EXPECT_EQ(ServiceThreadLeave(nullptr, t, &emptier.r.serviceNode, nullptr, SERVICE_LEAVE_END_EMPTY), 0u);
  EXPECT_EQ(ServiceThreadNodeCount(t), 1u);
  EXPECT_EQ(ServiceThreadLeave(nullptr, t, &fuller.r.serviceNode, nullptr, SERVICE_LEAVE_END_EMPTY), 1u);
}

// A suspended or failed ring below half has nothing to do: the pass must end
// instead of servicing it for ever.
TEST(ServiceThread, StalledRingDoesNotKeepThePassRunning) {
  RingReader a;
  a.r.Suspend(&a.r, 1);
  ServiceThread* t = ServiceThreadCreate(kReaderThreadPriority);
  ASSERT_TRUE(ServiceThreadJoin(t, &a.r.serviceNode, IoReaderNodeUrgency, RecordingService, &a.r));
  serviced.clear();
  ServiceThreadRunPassForTesting(t);
  EXPECT_EQ(serviced.size(), 1u);
  EXPECT_EQ(ServiceThreadLeave(nullptr, t, &a.r.serviceNode, nullptr, SERVICE_LEAVE_END_EMPTY), 1u);
}

// A node whose mutex is busy must not hold up the others: the pass services
// the free one and comes back for the busy one when it is released.
TEST(ServiceThread, BusyNodeDoesNotStallThePass) {
  struct Counted {
    ServiceNode node{};
    std::vector<int>* order;
    int id;
  };
  std::vector<int> order;
  Counted busy{{}, &order, 1}, free{{}, &order, 2};
  auto urgency = [](ServiceNode* n, uint32_t pass) -> uint32_t {
    return n->lastServicedPass == pass ? 0 : (static_cast<Counted*>(n->owner)->id == 1 ? 100 : 50);
  };
  auto work = [](ServiceNode* n, uint32_t pass) {
    auto* c = static_cast<Counted*>(n->owner);
    c->order->push_back(c->id);
    n->lastServicedPass = pass;
  };
  ServiceThread* t = ServiceThreadCreate(kReaderThreadPriority);
  ASSERT_TRUE(ServiceThreadJoin(t, &busy.node, urgency, work, &busy));
  ASSERT_TRUE(ServiceThreadJoin(t, &free.node, urgency, work, &free));
  std::atomic<bool> locked{false}, release{false};
  std::thread holder([&] {
    busy.node.mutex->Lock();
    locked = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    busy.node.mutex->Unlock();
  });
  while (!locked) std::this_thread::yield();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    release = true;
  });
  ServiceThreadRunPassForTesting(t);
  holder.join();
  releaser.join();
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  EXPECT_EQ(ServiceThreadLeave(nullptr, t, &busy.node, nullptr, SERVICE_LEAVE_END_EMPTY), 0u);
  EXPECT_EQ(ServiceThreadLeave(nullptr, t, &free.node, nullptr, SERVICE_LEAVE_END_EMPTY), 1u);
}

// The real thread fills two rings in the background while the playback
// thread reads one of them; closing one movie keeps the threads, closing the
// last ends both together.
TEST(ServiceThread, ThreadsLiveFromFirstJoinToLastLeave) {
  RingReader a, b;
  ServiceThread* reader = ServiceThreadCreate(kReaderThreadPriority);
  ServiceThread* sound = ServiceThreadCreate(kSoundThreadPriority);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(sound, nullptr);
  std::atomic<uint32_t> soundPasses{0};
  struct SoundOwner {
    std::atomic<uint32_t>* passes;
  } soundOwner{&soundPasses};
  ServiceNode soundNodeA{}, soundNodeB{};
  auto soundUrgency = [](ServiceNode* n, uint32_t pass) -> uint32_t {
    return n->lastServicedPass == pass ? 0 : ~n->lastServicedPass;
  };
  auto soundWork = [](ServiceNode* n, uint32_t pass) {
    static_cast<SoundOwner*>(n->owner)->passes->fetch_add(1);
    n->lastServicedPass = pass;
  };

  for (RingReader* m : {&a, &b}) {
    ASSERT_TRUE(ServiceThreadJoin(reader, &m->r.serviceNode, IoReaderNodeUrgency, IoReaderNodeService, &m->r));
    ServiceThreadStart(reader);
  }
  for (ServiceNode* n : {&soundNodeA, &soundNodeB}) {
    ASSERT_TRUE(ServiceThreadJoin(sound, n, soundUrgency, soundWork, &soundOwner));
    ServiceThreadStart(sound);
  }
  EXPECT_TRUE(Eventually([&] { return a.Slots() >= 4 && b.Slots() >= 4; }));

  // Read a's movie sequentially while the thread keeps topping the ring up.
  std::vector<uint8_t> frame(40000);
  uint32_t at = 0;
  while (at + frame.size() <= 32 * kChunk) {
    ASSERT_EQ(a.r.ReadBuffered(&a.r, 0, at, frame.data(), uint32_t(frame.size())), frame.size());
    ASSERT_TRUE(MatchesPattern(frame.data(), frame.size(), at)) << at;
    at += uint32_t(frame.size());
    if (ServiceNodeTryLock(&a.r.serviceNode)) {  // idle-time top-up, as the movie does
      (void)a.r.FillChunk(&a.r);
      ServiceNodeUnlock(&a.r.serviceNode);
    }
  }
  EXPECT_EQ(IoReaderLoad(a.r.error), 0u);

  EXPECT_EQ(ServiceThreadLeave(sound, reader, &a.r.serviceNode, &soundNodeA, SERVICE_LEAVE_END_EMPTY), 0u);
  EXPECT_EQ(ServiceThreadNodeCount(reader), 1u);
  EXPECT_EQ(ServiceThreadNodeCount(sound), 1u);
  const uint32_t passes = soundPasses.load();
  EXPECT_TRUE(Eventually([&] { return soundPasses.load() > passes; })) << "the sound thread stopped";
  EXPECT_EQ(ServiceThreadLeave(sound, reader, &b.r.serviceNode, &soundNodeB, SERVICE_LEAVE_END_EMPTY), 3u);
}

TEST(ServiceThread, LeavingAThreadThatNeverStartedEndsIt) {
  ServiceNode node{};
  ServiceThread* t = ServiceThreadCreate(kSoundThreadPriority);
  ASSERT_TRUE(ServiceThreadJoin(t, &node, nullptr, nullptr, nullptr));
  EXPECT_EQ(ServiceThreadLeave(t, nullptr, nullptr, &node, SERVICE_LEAVE_END_EMPTY), 2u);
  // Without the end flag an empty thread stays.
  t = ServiceThreadCreate(kSoundThreadPriority);
  ASSERT_TRUE(ServiceThreadJoin(t, &node, nullptr, nullptr, nullptr));
  ServiceThreadStart(t);
  EXPECT_EQ(ServiceThreadLeave(t, nullptr, nullptr, &node, 0), 0u);
  EXPECT_EQ(ServiceThreadLeave(t, nullptr, nullptr, nullptr, SERVICE_LEAVE_END_EMPTY), 2u);
}

}  // namespace
}  // namespace tarn
