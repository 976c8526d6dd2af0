// The ring protocol between the frame step and the track service, the
// silence preload and the back-end switch, against a fake device.
#include "movie/track_service.h"

#include <gtest/gtest.h>

#include <numeric>

#include "movie/movie.h"
#include "tests/support/movie_fake_sound.h"

namespace tarn {
namespace {

// One track over a ring of the given size, served at frame `frame`.
struct SoundFixture {
  explicit SoundFixture(uint32_t ringSize) : ring(ringSize) {
    test::AttachFakeDriver(&track, &device);
    track.ringSize = ringSize;
    track.ringStart = track.readPos = track.writePos = ring.data();
    track.ringEnd = ring.data() + ringSize;
    track.lengthMask = 0xFFFFFFFFu;
    track.endFrame = 100;
  }
  void Write(uint32_t n, uint8_t first) {
    std::vector<uint8_t> b(n);
    std::iota(b.begin(), b.end(), first);
    SoundRingWrite(&track, b.data(), n);
  }
  void Service() { SoundServiceTracksLocked(&track, 1, frame); }
  std::vector<uint8_t> ring;
  SoundTrack track{};
  test::FakeSoundDevice device;
  int64_t frame = 1;
};

TEST(SoundRing, OverflowDropsTheOldestBytes) {
  struct Case {
    const char* what;
    std::vector<uint32_t> writes;
    uint32_t fill;
    uint32_t readAt, writeAt;
    uint8_t oldest;  // value at readPos
  } cases[] = {
      {"fits", {100, 50}, 150, 0, 150, 0},
      {"exactly full, write ends at the ring end", {256}, 256, 0, 256, 0},
      {"overflow by 44", {200, 100}, 256, 44, 44, 44},
      {"block larger than the ring keeps its newest bytes", {10, 600}, 256, 10, 10, 98},  // 354 & 0xFF
  };
  for (const auto& k : cases) {
    SoundFixture f(256);
    uint8_t value = 0;
    for (uint32_t n : k.writes) {
      f.Write(n, value);
      value = uint8_t(value + n);
    }
    EXPECT_EQ(f.track.fillCount, k.fill) << k.what;
    EXPECT_LE(f.track.fillCount, f.track.ringSize) << k.what;
    EXPECT_EQ(f.track.readPos - f.ring.data(), k.readAt) << k.what;
    EXPECT_EQ(f.track.writePos - f.ring.data(), k.writeAt) << k.what;
    const uint8_t* at = f.track.readPos == f.track.ringEnd ? f.track.ringStart : f.track.readPos;
    EXPECT_EQ(*at, k.oldest) << k.what;
  }
}

TEST(SoundService, DeliversInRingOrderAcrossTheEnd) {
  SoundFixture f(256);
  f.Write(200, 0);
  f.device.bufferBytes = 200;
  f.device.offers = 2;  // one buffer per service
  f.Service();
  EXPECT_EQ(f.track.readPos, f.track.ringStart + 200);
  f.Write(120, 200);  // wraps: 56 bytes at the end, 64 from the start
  f.device.bufferBytes = 56;
  f.device.offers = 2;
  f.Service();
  EXPECT_EQ(f.track.readPos, f.track.ringEnd) << "a read ending at the ring end stays there";
  f.device.bufferBytes = 64;
  f.device.offers = 2;
  f.Service();
  ASSERT_EQ(f.device.played.size(), 320u);
  for (size_t i = 0; i < 320; ++i) ASSERT_EQ(f.device.played[i], uint8_t(i)) << i;
  EXPECT_EQ(f.track.fillCount, 0u);
  EXPECT_EQ(f.track.readPos, f.track.ringStart + 64);
}

TEST(SoundService, MinChunkHoldsBackUntilPastTheEndFrame) {
  SoundFixture f(4096);
  f.track.minChunk = 512;
  f.Write(300, 0);
  f.Service();
  EXPECT_TRUE(f.device.played.empty()) << "below minChunk before the end frame";
  f.frame = 101;
  f.Service();
  EXPECT_EQ(f.device.played.size(), 300u) << "the last fraction of a second is heard";
  // The length mask applies only at or before the end frame.
  SoundFixture g(4096);
  g.track.lengthMask = ~0xFFu;
  g.Write(1000, 0);
  g.device.offers = 2;  // one buffer only
  g.Service();
  EXPECT_EQ(g.device.played.size(), 768u);
}

TEST(SoundService, EightBitDeviceTakesTheHighByte) {
  SoundFixture f(4096);
  f.track.output8Bit = 1;
  std::vector<uint8_t> samples(2000);
  for (size_t i = 0; i < samples.size(); i += 2) {
    const int16_t v = i == 0 ? 0x1234 : i == 2 ? int16_t(-32768) : i == 4 ? 0 : int16_t(i);
    samples[i] = uint8_t(v);
    samples[i + 1] = uint8_t(uint16_t(v) >> 8);
  }
  SoundRingWrite(&f.track, samples.data(), 2000);
  SoundRingWrite(&f.track, samples.data(), 100);
  f.device.bufferBytes = 1000;
  f.device.offers = 2;
  f.Service();
  ASSERT_EQ(f.device.played.size(), 1000u) << "1000 device bytes";
  EXPECT_EQ(f.track.fillCount, 100u) << "consumed 2000 ring bytes";
  EXPECT_EQ(f.device.played[0], 0x92);
  EXPECT_EQ(f.device.played[1], 0x00);
  EXPECT_EQ(f.device.played[2], 0x80);
}

TEST(SoundService, BusyLockOrNotReadyDeliversNothing) {
  SoundFixture f(1024);
  f.Write(500, 0);
  f.device.ready = false;
  f.Service();
  EXPECT_TRUE(f.device.played.empty());
  f.device.ready = true;
  f.device.offers = 1;  // getBuffer refuses: the data stays
  f.Service();
  EXPECT_TRUE(f.device.played.empty());
  EXPECT_EQ(f.track.fillCount, 500u);
}

TEST(SoundPrefill, SilenceGoesInFrontAndWrapsBelowTheStart) {
  SoundFixture f(1024);
  f.track.preloadBytes = 300;
  std::fill(f.ring.begin(), f.ring.end(), 0x55);
  SoundRingReset(&f.track);
  SoundPrefillSilence(&f.track);
  EXPECT_EQ(f.track.fillCount, 300u);
  EXPECT_EQ(f.track.readPos, f.track.ringEnd - 300);
  for (size_t i = 0; i < 1024; ++i) ASSERT_EQ(f.ring[i], i >= 724 ? 0 : 0x55) << i;
  // Already holding more than the preload: nothing added.
  SoundPrefillSilence(&f.track);
  EXPECT_EQ(f.track.fillCount, 300u);
}

SoundOpenRoutine OtherProvider(void*) { return nullptr; }

TEST(SoundSystem, ProviderCannotChangeWhileTracksAreOpen) {
  SoundResetSystemForTesting();
  EXPECT_EQ(MovieSetSoundSystem(nullptr, nullptr), 0);
  EXPECT_EQ(MovieSetSoundSystem(OtherProvider, nullptr), 0) << "a provider without a routine installs nothing";
  EXPECT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1);
  const SoundOpenRoutine installed = SoundInstalledOpen();
  SoundNoteTrackOpened();
  EXPECT_EQ(MovieSetSoundSystem(OtherProvider, nullptr), 0);
  EXPECT_EQ(SoundInstalledOpen(), installed);
  EXPECT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1) << "the same provider again is fine";
  SoundNoteTrackClosed();
  EXPECT_EQ(MovieSetSoundSystem(OtherProvider, nullptr), 1) << "keeps the earlier routine";
  SoundResetSystemForTesting();
}

}  // namespace
}  // namespace tarn
