#include "sound/queue_backend.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_audio_device.h"
#include "platform/fake/fake_clock.h"
#include "sound/loop_backend.h"
#include "tests/sound/backend_test_util.h"

namespace tarn {
namespace {

using testing::Feed;
using testing::MovieOfFrames;
using testing::TrackCloser;

struct QueueFixture : ::testing::Test {
  ScopedFakeAudioDevice fake;
  SoundTrack t{};
  TrackCloser closer{t};
  SoundQueueState* s = nullptr;

  FakeQueueVoice& Voice() { return *fake.Device()->queueVoices.at(0); }
  void Open(const SoundMovieInfo& m, uint32_t rate = 44100, uint32_t bits = 16, uint32_t channels = 2) {
    ASSERT_TRUE(SoundQueueOpen(&t, rate, bits, channels, 0, &m));
    s = SoundQueueStateOf(&t);
  }
};

TEST_F(QueueFixture, SizesFollowTheFormat) {
  struct Case {
    uint32_t rate, bits, channels, bufferBytes, preroll, minChunk;
    uint8_t silence;
  };
  const Case cases[] = {
      {44100, 16, 2, 11040, 88224, 11040, 0x00},
      {22050, 8, 1, 1408, 11040, 2816, 0x80},
      {8000, 16, 1, 1024, 8000, 1024, 0x00},
  };
  const SoundMovieInfo m = MovieOfFrames(3000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    SoundTrack track{};
    ASSERT_TRUE(SoundQueueOpen(&track, c.rate, c.bits, c.channels, 0, &m));
    const SoundQueueState* q = SoundQueueStateOf(&track);
    EXPECT_EQ(q->bufferBytes, c.bufferBytes);
    EXPECT_EQ(q->prerollBytes, c.preroll);
    EXPECT_EQ(track.minChunk, c.minChunk);
    EXPECT_EQ(track.enabled, 1u);
    EXPECT_EQ(track.driver.setSpeakerList, nullptr);
    EXPECT_EQ(q->bufferBlock[0], c.silence);
    EXPECT_EQ(q->bufferBlock[16 * c.bufferBytes - 1], c.silence);
    track.driver.close(&track);
  }
}

TEST_F(QueueFixture, PrerollQueuesBuffersZeroToSevenAtOnce) {
  Open(MovieOfFrames(3000));
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(Feed(t, 11040, uint8_t(i + 1)), 11040u);
    EXPECT_EQ(s->lastIndex, i);
  }
  EXPECT_TRUE(Voice().writes.empty());
  EXPECT_EQ(s->started, 0u);
  ASSERT_EQ(Feed(t, 11040, 8), 11040u);
  EXPECT_EQ(s->started, 1u);
  ASSERT_EQ(Voice().writes.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(Voice().writes[i], &s->headers[i]);
    EXPECT_EQ(Voice().writeLengths[i], 11040u);
  }
  // Once started, each submission is queued on its own.
  ASSERT_EQ(Feed(t, 11040), 11040u);
  EXPECT_EQ(Voice().writes.size(), 9u);
  EXPECT_EQ(Voice().writes.back(), &s->headers[8]);
  Voice().PlayBuffers(2);
  EXPECT_EQ(Voice().played.size(), 2 * 11040u);
  EXPECT_EQ(Voice().played[0], 1);
  EXPECT_EQ(Voice().played[11040], 2);
}

TEST_F(QueueFixture, ShortMovieStartsWhenAllItsSoundIsIn) {
  // 6 frames at 30 fps: 0.2 s = 35280 bytes, less than the half-second preroll.
  Open(MovieOfFrames(6));
  EXPECT_EQ(s->prerollBytes, 35280u);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Feed(t, 11040), 11040u);
  EXPECT_EQ(s->started, 0u);
  ASSERT_EQ(Feed(t, 2160, 0x33), 2160u);
  EXPECT_EQ(s->started, 1u);
  ASSERT_EQ(Voice().writeLengths.size(), 4u);
  // The short last buffer plays only what was put into it.
  EXPECT_EQ(Voice().writeLengths[3], 2160u);
  Voice().PlayAll();
  EXPECT_EQ(Voice().played.size(), 35280u);
  EXPECT_EQ(Voice().played.back(), 0x33);
}

TEST_F(QueueFixture, SixteenShortBuffersStartWithoutOverwriting) {
  Open(MovieOfFrames(3000));
  for (int i = 0; i < 15; ++i) ASSERT_EQ(Feed(t, 100, uint8_t(i)), 100u);
  EXPECT_EQ(s->started, 0u);
  ASSERT_EQ(Feed(t, 100, 15), 100u);
  EXPECT_EQ(s->started, 1u);
  EXPECT_EQ(Voice().writes.size(), 16u);
  Voice().PlayAll();
  ASSERT_EQ(Voice().played.size(), 1600u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(Voice().played[i * 100], i);
}

TEST_F(QueueFixture, StarvationRestartsThePreroll) {
  Open(MovieOfFrames(3000));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(Feed(t, 11040), 11040u);
  EXPECT_EQ(Voice().writes.size(), 10u);
  // Some buffers played: no starvation, and ready picks the next in turn.
  Voice().PlayBuffers(4);
  ASSERT_TRUE(t.driver.ready(&t));
  EXPECT_EQ(t.starved, 0u);
  EXPECT_EQ(s->currentIndex, 10);
  Voice().PlayAll();
  ASSERT_TRUE(t.driver.ready(&t));
  EXPECT_EQ(t.starved, 1u);
  EXPECT_EQ(s->started, 0u);
  EXPECT_EQ(s->submittedBytes, 0u);
  EXPECT_EQ(s->currentIndex, 0);
  t.starved = 0;
  const size_t before = Voice().writes.size();
  for (int i = 0; i < 7; ++i) ASSERT_EQ(Feed(t, 11040), 11040u);
  EXPECT_EQ(Voice().writes.size(), before);
  ASSERT_EQ(Feed(t, 11040), 11040u);
  ASSERT_EQ(Voice().writes.size(), before + 8);
  EXPECT_EQ(Voice().writes[before], &s->headers[0]);
  EXPECT_EQ(t.starved, 0u);
}

TEST_F(QueueFixture, AllBuffersBusyIsNotReady) {
  Open(MovieOfFrames(3000));
  for (int i = 0; i < 16; ++i) ASSERT_EQ(Feed(t, 11040), 11040u);
  EXPECT_EQ(t.driver.ready(&t), 0);
  uint8_t* region;
  uint32_t length;
  EXPECT_EQ(t.driver.getBuffer(&t, &region, &length), 0);
  EXPECT_EQ(t.driver.submit(&t, 10), 0);
  // A buffer in the middle finishes first: it is the one handed out.
  s->headers[5].done.store(1);
  ASSERT_TRUE(t.driver.ready(&t));
  EXPECT_EQ(s->currentIndex, 5);
}

TEST_F(QueueFixture, PauseBlocksReadyAndReachesTheDevice) {
  Open(MovieOfFrames(3000));
  EXPECT_EQ(t.driver.pause(&t, 1), 1);
  EXPECT_TRUE(Voice().paused);
  EXPECT_EQ(t.driver.ready(&t), 0);
  EXPECT_EQ(t.driver.pause(&t, 0), 0);
  EXPECT_FALSE(Voice().paused);
  EXPECT_EQ(t.driver.ready(&t), 1);
}

TEST_F(QueueFixture, VolumeAndPanMakeTheDeviceWord) {
  Open(MovieOfFrames(3000));
  EXPECT_EQ(Voice().volumeCalls, 0);  // the open leaves the device volume alone
  struct Case {
    uint32_t volume, pan, left, right;
  };
  const Case cases[] = {
      {0xFFFF, 0x7FFF, 0x7FFF, 0x7FFF}, {0xFFFF, 0x8000, 0x7FFE, 0x7FFF}, {0xFFFF, 0, 0x7FFF, 0},
      {0xFFFF, 0x10000, 0, 0x7FFF},     {0x20000, 0x30000, 0, 0x7FFF},    {0, 0x7FFF, 0, 0},
      {0x7FFF, 0x4000, 0x3FFF, 0x1FFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pan);
    t.driver.setVolume(&t, c.volume);
    t.driver.setPan(&t, c.pan);
    // The voice's gain: the full volume 0x7FFF is unity, 0xFFFF.
    EXPECT_EQ(Voice().volume & 0xFFFF, c.left * 0xFFFF / 0x7FFF);
    EXPECT_EQ(Voice().volume >> 16, c.right * 0xFFFF / 0x7FFF);
  }
}

TEST_F(QueueFixture, EnableReopensTheDevice) {
  Open(MovieOfFrames(3000));
  for (int i = 0; i < 9; ++i) ASSERT_EQ(Feed(t, 11040), 11040u);
  t.driver.setVolume(&t, 0x8000);
  EXPECT_EQ(t.driver.enable(&t, 0), 0);
  EXPECT_EQ(fake.Live(), 0);  // the last voice gone closes the shared device
  EXPECT_EQ(t.driver.ready(&t), 0);
  EXPECT_EQ(t.driver.enable(&t, 2), 0);  // other values change nothing
  EXPECT_EQ(t.driver.enable(&t, 1), 1);
  EXPECT_EQ(fake.Opens(), 2);
  EXPECT_EQ(s->started, 0u);
  EXPECT_EQ(s->lastIndex, -1);
  EXPECT_EQ(Voice().volume, 0x7FFE7FFEu);  // the chosen volume (0x3FFF of 0x7FFF) survives
  ASSERT_TRUE(t.driver.ready(&t));
  EXPECT_EQ(s->currentIndex, 0);
}

TEST(QueueBackend, NoDeviceMeansNoTrack) {
  const SoundMovieInfo m = MovieOfFrames(30);
  SoundTrack t{};
  EXPECT_EQ(SoundQueueProvider(nullptr), nullptr);  // no factory installed
  EXPECT_EQ(SoundQueueOpen(&t, 44100, 16, 2, 0, &m), 0);
  EXPECT_EQ(t.driver.ready, nullptr);
  EXPECT_EQ(t.backend, nullptr);
  ScopedFakeAudioDevice fake;
  EXPECT_EQ(SoundQueueProvider(nullptr), SoundQueueOpen);
  EXPECT_EQ(fake.Live(), 0);
  fake.SetFailVoices(true);
  EXPECT_EQ(SoundQueueOpen(&t, 44100, 16, 2, 0, &m), 0);
  fake.SetFailVoices(false);
  // Formats a device cannot take are refused, not opened.
  EXPECT_EQ(SoundQueueOpen(&t, 44100, 12, 2, 0, &m), 0);
  EXPECT_EQ(SoundQueueOpen(&t, 0, 16, 2, 0, &m), 0);
  EXPECT_EQ(SoundQueueOpen(&t, 44100, 16, 3, 0, &m), 0);
  EXPECT_EQ(fake.Live(), 0);
}

TEST(QueueBackend, MovieWithoutRateCountsOneSecond) {
  ScopedFakeAudioDevice fake;
  SoundTrack t{};
  TrackCloser closer{t};
  const SoundMovieInfo m = MovieOfFrames(1, 0, 0);
  ASSERT_TRUE(SoundQueueOpen(&t, 11025, 8, 1, 0, &m));
  EXPECT_EQ(SoundQueueStateOf(&t)->movieSoundBytes, 11025u);
  // A movie too long for 32 bits saturates instead of wrapping to a tiny preroll.
  SoundTrack u{};
  TrackCloser closeU{u};
  const SoundMovieInfo huge = MovieOfFrames(0xFFFFFFFF, 1, 0xFFFFFFFF);
  ASSERT_TRUE(SoundQueueOpen(&u, 44100, 16, 2, 0, &huge));
  EXPECT_EQ(SoundQueueStateOf(&u)->movieSoundBytes, UINT32_MAX);
  EXPECT_EQ(SoundQueueStateOf(&u)->prerollBytes, 88224u);
}

}  // namespace
}  // namespace tarn

namespace tarn {
namespace {

// Neither back-end waits for more sound before it starts its device than one
// packet brings and 100 ms besides: a movie whose frames carry only their own
// sound starts its sound that soon, with its pictures that little ahead.
TEST(SoundBackends, StartWaitsForAtMostOnePacket) {
  ScopedFakeAudioDevice fake;
  ScopedFakeClock clock;
  ASSERT_EQ(SoundLoopProvider(nullptr), SoundLoopOpen);
  struct Case {
    bool loop;
    uint32_t packetBytes, bits, start;
  };
  const Case cases[] = {
      {false, 0, 16, 88224}, {false, 138240, 16, 88224}, {false, 7680, 16, 7680 + 17640}, {false, 7680, 8, 3840 + 8820},
      {true, 0, 16, 106496}, {true, 138240, 16, 106496}, {true, 7680, 16, 7680 + 17640},  {true, 7681, 16, 7680 + 17640},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.loop ? "loop " : "queue ") << c.packetBytes << " " << c.bits);
    SoundMovieInfo m = testing::MovieOfFrames(3000);
    m.packetBytes = c.packetBytes;
    SoundTrack t{};
    ASSERT_TRUE((c.loop ? SoundLoopOpen : SoundQueueOpen)(&t, 44100, c.bits, 2, 0, &m));
    EXPECT_EQ(c.loop ? SoundLoopStateOf(&t)->initialFill : SoundQueueStateOf(&t)->prerollBytes, c.start);
    t.driver.close(&t);
  }
}

}  // namespace
}  // namespace tarn
