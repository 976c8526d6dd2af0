#include "sound/loop_backend.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/movie_time.h"
#include "platform/fake/fake_audio_device.h"
#include "platform/fake/fake_clock.h"
#include "tests/sound/backend_test_util.h"

namespace tarn {
namespace {

using testing::Feed;
using testing::MovieOfFrames;
using testing::TrackCloser;

struct LoopFixture : ::testing::Test {
  ScopedFakeClock clock;
  ScopedFakeAudioDevice fake;
  SoundTrack t{};
  TrackCloser closer{t};
  SoundLoopState* s = nullptr;

  void SetUp() override {
    (void)MovieTimeMs();  // starts the movie clock at 0
    ASSERT_EQ(SoundLoopProvider(nullptr), SoundLoopOpen);
  }
  FakeLoopVoice& Voice() { return *fake.Device()->loopVoices.at(0); }
  void Open(const SoundMovieInfo& m, uint32_t rate = 44100, uint32_t bits = 16, uint32_t channels = 2) {
    ASSERT_TRUE(SoundLoopOpen(&t, rate, bits, channels, 0, &m));
    s = SoundLoopStateOf(&t);
  }
  // Opens a long 44100 Hz stereo track and completes its first fill.
  void OpenPlaying() {
    Open(MovieOfFrames(3000));
    ASSERT_EQ(Feed(t, UINT32_MAX), 106496u);
    ASSERT_EQ(s->playing, 1u);
  }
  // Writing stands at writeAt with the play cursor distance bytes ahead of it
  // (so distance bytes are free), the device's write cursor 512 bytes past
  // the play cursor, all as the last measurement saw it.
  void Place(uint32_t writeAt, uint32_t distance) {
    const uint32_t size = s->bufferBytes;
    s->writePos = writeAt;
    Voice().playCursor = s->lastPlayCursor = (writeAt + distance) % size;
    Voice().lead = 512;
    s->lastWriteCursor = (s->lastPlayCursor + 512) % size;
    s->played = 10 * uint64_t(size) + s->lastPlayCursor;
    s->taken = s->played + 512;
    s->written = s->soundEnd = s->played + size - distance;
  }
  bool AllBytes(uint32_t offset, uint32_t n, uint8_t value) {
    for (uint32_t i = 0; i < n; ++i) {
      if (Voice().buffer[(offset + i) % Voice().buffer.size()] != value) return false;
    }
    return true;
  }
};

TEST_F(LoopFixture, SizesFollowTheFormat) {
  struct Case {
    uint32_t rate, bits, channels, bufferBytes, writeChunk, minChunk;
    uint8_t silence;
  };
  const Case cases[] = {
      {44100, 16, 2, 106496, 8960, 8960, 0x00},
      {22050, 8, 1, 13312, 1280, 2560, 0x80},
  };
  const SoundMovieInfo m = MovieOfFrames(3000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    SoundTrack track{};
    ASSERT_TRUE(SoundLoopOpen(&track, c.rate, c.bits, c.channels, 0, &m));
    const SoundLoopState* q = SoundLoopStateOf(&track);
    EXPECT_EQ(q->bufferBytes, c.bufferBytes);
    EXPECT_EQ(q->writeChunk, c.writeChunk);
    EXPECT_EQ(track.minChunk, c.minChunk);
    EXPECT_EQ(q->pendingBytes, c.bufferBytes);
    FakeLoopVoice& v = *fake.Device()->loopVoices.back();
    EXPECT_EQ(v.Size(), c.bufferBytes);
    EXPECT_TRUE(std::all_of(v.buffer.begin(), v.buffer.end(), [&](uint8_t b) { return b == c.silence; }));
    EXPECT_EQ(v.frequency, c.rate);
    EXPECT_EQ(v.volume, 0);  // 0x7FFF after open
    EXPECT_EQ(v.pan, 0);
    track.driver.close(&track);
  }
}

TEST(LoopBackend, VolumeAndPanConversions) {
  struct Case {
    uint32_t in;
    int32_t volume, pan;
  };
  const Case cases[] = {
      {0x7FFF, 0, 0},          {16384, -1003, -5000},  {3277, -3333, -8999}, {1, -10000, -9999},
      {0, -10000, -10000},     {0x8000, 0, 0},         {0x10000, 0, 10000},  {0x20000, 0, 10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(SoundLoopVolumeCentibels(c.in), c.volume);
    EXPECT_EQ(SoundLoopPanCentibels(c.in), c.pan);
  }
  EXPECT_EQ(SoundLoopSpeakerCentibels(0x7FFF), 0);
  EXPECT_EQ(SoundLoopSpeakerCentibels(0x9000), 0);
  EXPECT_EQ(SoundLoopSpeakerCentibels(16384), -602);
  EXPECT_EQ(SoundLoopSpeakerCentibels(1), -9031);
  EXPECT_EQ(SoundLoopSpeakerCentibels(0), -10000);
  EXPECT_EQ(SoundLoopSpeakerCentibels(-5), -10000);
}

TEST_F(LoopFixture, FirstFillThenPlaybackFromOffsetZero) {
  Open(MovieOfFrames(3000));
  EXPECT_EQ(t.driver.ready(&t), 1);  // preroll: always ready
  ASSERT_EQ(Feed(t, 50000, 0x11), 50000u);
  EXPECT_EQ(s->playing, 0u);
  EXPECT_EQ(s->pendingBytes, 56496u);
  EXPECT_EQ(Voice().plays, 0);
  ASSERT_EQ(Feed(t, UINT32_MAX, 0x22), 56496u);
  EXPECT_EQ(s->playing, 1u);
  EXPECT_EQ(Voice().plays, 1);
  EXPECT_EQ(s->writePos, 0u);
  EXPECT_TRUE(AllBytes(0, 50000, 0x11));
  EXPECT_TRUE(AllBytes(50000, 56496, 0x22));
}

TEST_F(LoopFixture, ShortMovieFillsOnlyItsSound) {
  // 10 frames at 30 fps: 1/3 s = 58800 bytes, less than the buffer.
  Open(MovieOfFrames(10));
  EXPECT_EQ(s->initialFill, 58800u);
  ASSERT_EQ(Feed(t, UINT32_MAX), 58800u);
  EXPECT_EQ(s->playing, 1u);
  // A sound length that ends inside a frame is cut to whole frames:
  // 176400 / 13 = 13569 bytes.
  SoundTrack u{};
  TrackCloser closeU{u};
  const SoundMovieInfo odd = MovieOfFrames(1, 13, 1);
  ASSERT_TRUE(SoundLoopOpen(&u, 44100, 16, 2, 0, &odd));
  EXPECT_EQ(SoundLoopStateOf(&u)->initialFill, 13568u);
}

TEST_F(LoopFixture, GapLeavesFreeSpaceBehindThePlayCursor) {
  OpenPlaying();
  struct Case {
    uint32_t distance;
    int ready;
    uint32_t pending;
  };
  const Case cases[] = {{1027, 0, 0}, {1030, 1, 4}, {1024 + 9000, 1, 9000}, {1024 + 9003, 1, 9000}, {0, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.distance);
    Place(4000, c.distance);
    s->pendingBytes = 1;  // a region is still wanted: small spaces count
    clock.clock.Advance(20);
    EXPECT_EQ(t.driver.ready(&t), c.ready);
    if (c.ready) {
      EXPECT_EQ(s->pendingBytes, c.pending);
    }
    EXPECT_EQ(t.starved, 0u);
  }
  // With nothing pending a space under one chunk is not worth a region.
  Place(4000, 1024 + 8000);
  s->pendingBytes = 0;
  clock.clock.Advance(20);
  EXPECT_EQ(t.driver.ready(&t), 0);
}

// Starvation is the device reading past the data, whatever the cursors look
// like: little left to play is no starvation, and a play cursor that has gone
// past the write position (so that it looks just behind it) is.
TEST_F(LoopFixture, DeviceReadingPastTheDataIsStarvation) {
  OpenPlaying();  // the whole buffer written, playing from 0
  EXPECT_EQ(t.driver.queued(&t), 106496u);
  Voice().lead = 512;
  Voice().Advance(100000);  // 6496 bytes (37 ms) still ahead of the play cursor
  clock.clock.Advance(20);
  EXPECT_EQ(t.driver.ready(&t), 1);
  EXPECT_EQ(t.starved, 0u);
  EXPECT_EQ(t.driver.queued(&t), 6496u);
  // So close to the end of the data the cursors are read at once: a write
  // placed by the last reading would land where the device has read.
  Voice().Advance(10000);  // play 3504, write 4016: past the data at 0
  clock.clock.Advance(1);
  EXPECT_EQ(t.driver.ready(&t), 1);
  EXPECT_EQ(t.starved, 1u);
  EXPECT_EQ(t.driver.queued(&t), 0u);
  // 100 ms of silence where the device reads next, and the sound goes on there.
  EXPECT_TRUE(AllBytes(4016, 2 * 8960, 0x00));
  EXPECT_EQ(s->writePos, 4016u);
  EXPECT_EQ(s->pendingBytes, (106496 - 512 - 1024) & ~3u);
}

// What follows the data in the buffer is silence, not sound one buffer old;
// a pause is not a gap in the service.
TEST_F(LoopFixture, SilenceFollowsTheDataAndAPauseIsNoGap) {
  OpenPlaying();  // 0x5A everywhere
  Voice().Advance(30000);
  clock.clock.Advance(20);
  ASSERT_EQ(t.driver.ready(&t), 1);
  ASSERT_EQ(Feed(t, 20000, 0x11), 20000u);
  EXPECT_TRUE(AllBytes(0, 20000, 0x11));
  // Up to the gap before the play cursor: 30000 - 20000 - 1024 bytes.
  EXPECT_TRUE(AllBytes(20000, 8976, 0x00));
  EXPECT_TRUE(AllBytes(28976, 1024, 0x5A));
  EXPECT_EQ(t.driver.pause(&t, 1), 1);
  clock.clock.Advance(1500);
  EXPECT_EQ(t.driver.pause(&t, 0), 0);
  clock.clock.Advance(20);
  t.driver.ready(&t);
  EXPECT_EQ(t.starved, 0u);
}

TEST_F(LoopFixture, CursorsAreReadAtMostEvery12Ms) {
  OpenPlaying();
  s->writePos = 0;
  s->pendingBytes = 1;
  clock.clock.Advance(13);
  Voice().playCursor = 20000;
  ASSERT_EQ(t.driver.ready(&t), 1);
  EXPECT_EQ(s->lastPlayCursor, 20000u);
  const int reads = Voice().positionReads;
  Voice().playCursor = 40000;
  clock.clock.Advance(12);
  ASSERT_EQ(t.driver.ready(&t), 1);
  EXPECT_EQ(Voice().positionReads, reads);  // stored cursors used
  EXPECT_EQ(s->pendingBytes, (20000u - 1024) & ~3u);
  clock.clock.Advance(1);
  ASSERT_EQ(t.driver.ready(&t), 1);
  EXPECT_EQ(Voice().positionReads, reads + 3);  // three readings per measurement
  EXPECT_EQ(s->lastPlayCursor, 40000u);
}

TEST_F(LoopFixture, NoMeasurementFor540MsIsStarvation) {
  OpenPlaying();
  Voice().playCursor = 30000;
  Voice().lead = 4000;
  clock.clock.Advance(539);
  ASSERT_EQ(t.driver.ready(&t), 1);
  EXPECT_EQ(t.starved, 0u);
  Voice().playCursor = 50000;
  clock.clock.Advance(540);
  t.driver.ready(&t);
  EXPECT_EQ(t.starved, 1u);
  // 100 ms of silence where the device reads next, and the sound goes on there.
  EXPECT_TRUE(AllBytes(54000, 2 * 8960, 0x00));
  EXPECT_EQ(s->writePos, 54000u);
}

TEST_F(LoopFixture, TornAndBusyReadings) {
  OpenPlaying();
  s->lastPlayCursor = 1000;
  s->lastWriteCursor = 2000;
  // The play cursor leaps 60000 while the write cursor moves 100: discarded.
  Voice().scriptedReadings = {{61000, 2100}, {61000, 2100}, {61000, 2100}};
  clock.clock.Advance(20);
  EXPECT_EQ(t.driver.ready(&t), 0);
  EXPECT_EQ(s->lastPlayCursor, 1000u);
  EXPECT_EQ(s->lastWriteCursor, 2000u);
  // A first triple moving by 1024 or more is read again; the second triple counts.
  Voice().scriptedReadings = {{3000, 4000}, {3500, 4500}, {4100, 5100},
                              {5000, 6000}, {5010, 6010}, {5020, 6020}};
  s->writePos = 20000;
  s->pendingBytes = 1;
  EXPECT_EQ(t.driver.ready(&t), 1);
  EXPECT_EQ(s->lastPlayCursor, 5020u);
  EXPECT_EQ(s->lastWriteCursor, 6020u);
  EXPECT_TRUE(Voice().scriptedReadings.empty());
}

TEST_F(LoopFixture, PauseAndEnable) {
  OpenPlaying();
  EXPECT_EQ(t.driver.pause(&t, 1), 1);
  EXPECT_FALSE(Voice().playing);
  EXPECT_EQ(t.driver.ready(&t), 0);
  EXPECT_EQ(t.driver.pause(&t, 0), 0);
  EXPECT_TRUE(Voice().playing);
  EXPECT_EQ(t.driver.enable(&t, 0), 0);
  EXPECT_FALSE(Voice().playing);
  EXPECT_EQ(Voice().setPositions.back(), 0u);
  EXPECT_TRUE(AllBytes(0, 106496, 0x00));
  EXPECT_EQ(t.driver.ready(&t), 0);
  EXPECT_EQ(t.driver.enable(&t, 1), 1);
  EXPECT_EQ(s->playing, 0u);
  EXPECT_EQ(s->writePos, 0u);
  EXPECT_EQ(s->pendingBytes, 106496u);
  ASSERT_EQ(Feed(t, UINT32_MAX), 106496u);
  EXPECT_EQ(s->playing, 1u);
}

TEST_F(LoopFixture, FirstFillCompletedWhilePausedStartsOnResume) {
  Open(MovieOfFrames(3000));
  EXPECT_EQ(t.driver.pause(&t, 1), 1);
  EXPECT_EQ(t.driver.ready(&t), 0);
  // The service's last region arrived just before the pause.
  s->stopped = 0;
  ASSERT_EQ(Feed(t, 106496 - 8), 106496u - 8);
  s->stopped = 1;
  ASSERT_EQ(Feed(t, 8), 0u);
  uint8_t* region;
  uint32_t length;
  ASSERT_TRUE(t.driver.getBuffer(&t, &region, &length));
  ASSERT_TRUE(t.driver.submit(&t, length));
  EXPECT_EQ(s->playing, 0u);  // stopped: no automatic start
  EXPECT_EQ(t.driver.pause(&t, 0), 0);
  EXPECT_EQ(s->playing, 1u);
  EXPECT_TRUE(Voice().playing);
}

TEST_F(LoopFixture, StuckDeviceIsRestartedAndTheStartWaitEnds) {
  Open(MovieOfFrames(3000));
  Voice().playCursor = 50000;  // far from the first chunk, and never moving
  ASSERT_EQ(Feed(t, UINT32_MAX), 106496u);
  EXPECT_EQ(s->playing, 1u);
  EXPECT_GT(Voice().plays, 10);  // replayed every 50 ms of the bounded wait
}

TEST_F(LoopFixture, SpeakerSlotsAreStoredOnly) {
  Open(MovieOfFrames(3000));
  const uint32_t values[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const int32_t volumes[10] = {0x7FFF, 16384, 0, 1, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF};
  t.driver.setSpeakerList(&t, values, 10);
  t.driver.setSpeakerVolumes(&t, values, volumes, 3);
  EXPECT_EQ(s->speakerCount, 8u);
  EXPECT_EQ(s->speakers[7], 8u);
  EXPECT_EQ(s->speakerVolumeCount, 3u);
  EXPECT_EQ(s->speakerVolumes[1], -602);
  EXPECT_EQ(s->speakerVolumes[2], -10000);
  EXPECT_EQ(Voice().volume, 0);
  t.driver.setVolume(&t, 16384);
  t.driver.setPan(&t, 0);
  EXPECT_EQ(Voice().volume, -1003);
  EXPECT_EQ(Voice().pan, -10000);
}

TEST(LoopBackendDevice, CallersDeviceIsSharedAndKept) {
  ScopedFakeAudioDevice fake;  // must not be used
  FakeAudioDevice mine, other;
  const SoundMovieInfo m = MovieOfFrames(300);
  ASSERT_EQ(SoundLoopProvider(&mine), SoundLoopOpen);
  SoundTrack a{}, b{};
  ASSERT_TRUE(SoundLoopOpen(&a, 44100, 16, 2, 0, &m));
  ASSERT_TRUE(SoundLoopOpen(&b, 22050, 16, 1, 0, &m));
  EXPECT_EQ(mine.loopVoices.size(), 2u);
  EXPECT_EQ(SoundLoopOpenTrackCount(), 2);
  EXPECT_EQ(SoundLoopProvider(&other), nullptr);  // refused while tracks are open
  EXPECT_EQ(SoundLoopProvider(nullptr), nullptr);
  EXPECT_EQ(SoundLoopProvider(&mine), SoundLoopOpen);
  a.driver.close(&a);
  b.driver.close(&b);
  EXPECT_TRUE(mine.loopVoices.empty());
  EXPECT_EQ(SoundLoopDeviceUsers(), 0);
  EXPECT_EQ(fake.Opens(), 0);
  EXPECT_EQ(SoundLoopProvider(&other), SoundLoopOpen);
  EXPECT_EQ(SoundLoopProvider(nullptr), SoundLoopOpen);
  EXPECT_EQ(fake.Opens(), 1);  // the provider's test opened and closed the shared device
  EXPECT_EQ(fake.Live(), 0);
}

TEST(LoopBackendDevice, SharedDeviceLivesWithItsTracks) {
  ScopedFakeClock clock;
  const SoundMovieInfo m = MovieOfFrames(300);
  {
    ScopedFakeAudioDevice none;
    none.SetFail(true);
    EXPECT_EQ(SoundLoopProvider(nullptr), nullptr);
  }
  EXPECT_EQ(SoundLoopProvider(nullptr), nullptr);  // no factory at all
  ScopedFakeAudioDevice fake;
  ASSERT_EQ(SoundLoopProvider(nullptr), SoundLoopOpen);
  SoundTrack a{}, b{};
  ASSERT_TRUE(SoundLoopOpen(&a, 44100, 16, 2, 0, &m));
  ASSERT_TRUE(SoundLoopOpen(&b, 44100, 16, 2, 0, &m));
  EXPECT_EQ(fake.Live(), 1);
  EXPECT_EQ(fake.Device()->loopVoices.size(), 2u);
  a.driver.close(&a);
  a.driver.close(&a);  // a second close does nothing
  EXPECT_EQ(fake.Live(), 1);
  b.driver.close(&b);
  EXPECT_EQ(fake.Live(), 0);
  EXPECT_EQ(SoundLoopDeviceUsers(), 0);
  // A failed buffer creation gives its device use back.
  fake.SetFailVoices(true);
  SoundTrack c{};
  EXPECT_EQ(SoundLoopOpen(&c, 44100, 16, 2, 0, &m), 0);
  EXPECT_EQ(c.driver.ready, nullptr);
  EXPECT_EQ(SoundLoopDeviceUsers(), 0);
  EXPECT_EQ(fake.Live(), 0);
}

}  // namespace
}  // namespace tarn
