// The SDL device on SDL's disk driver: what the mixer writes lands in a file.
#include "platform/sdl/sdl_audio_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sound/loop_backend.h"
#include "sound/queue_backend.h"

namespace tarn {
namespace {

void SleepRealMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Points SDL's disk driver at a file of its own, about ten times faster than
// real time, and reads back the signed 16-bit samples it wrote.
class DiskCapture {
 public:
  DiskCapture() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::string(::testing::TempDir()) + "tarn_disk_" + info->name() + "_" + std::to_string(getpid()) + ".raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path_.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "2", 1);
  }
  ~DiskCapture() { if (!getenv("KEEP")) std::remove(path_.c_str()); }
  std::vector<int16_t> Samples() const {
    std::vector<int16_t> out;
    if (FILE* f = std::fopen(path_.c_str(), "rb")) {
      int16_t buf[4096];
      size_t n;
      while ((n = std::fread(buf, 2, 4096, f)) > 0) out.insert(out.end(), buf, buf + n);
      std::fclose(f);
    }
    return out;
  }

 private:
  std::string path_;
};

bool WaitDone(const std::vector<AudioQueueBuffer*>& buffers) {
  for (int i = 0; i < 5000; ++i) {
    if (std::all_of(buffers.begin(), buffers.end(), [](AudioQueueBuffer* b) { return b->done.load() != 0; })) {
      SleepRealMs(100);  // let the last converted bytes through the mixer
      return true;
    }
    SleepRealMs(1);
  }
  return false;
}

size_t FirstNonZero(const std::vector<int16_t>& s) {
  return size_t(std::find_if(s.begin(), s.end(), [](int16_t v) { return v != 0; }) - s.begin());
}

TEST(SdlAudioDevice, SameFormatPassesSamplesThroughExactly) {
  DiskCapture disk;
  std::vector<int16_t> data(2 * 17640);
  for (size_t i = 0; i < data.size() / 2; ++i) {
    data[2 * i] = int16_t(1 + (i * 7) % 30000);
    data[2 * i + 1] = int16_t(-data[2 * i]);
  }
  {
    auto device = SdlAudioOpenDevice({44100, 2, 1024});
    ASSERT_NE(device, nullptr) << SdlAudioLastError();
    auto voice = device->OpenQueueVoice({44100, 16, 2});
    ASSERT_NE(voice, nullptr);
    AudioQueueBuffer buffers[4];
    std::vector<AudioQueueBuffer*> all;
    for (int i = 0; i < 4; ++i) {
      buffers[i].data = reinterpret_cast<const uint8_t*>(data.data()) + i * 4410 * 4;
      buffers[i].length = 4410 * 4;
      buffers[i].done = 0;
      voice->Write(&buffers[i]);
      all.push_back(&buffers[i]);
    }
    ASSERT_TRUE(WaitDone(all));
  }
  const std::vector<int16_t> out = disk.Samples();
  const size_t start = FirstNonZero(out);
  ASSERT_EQ(start % 2, 0u);
  ASSERT_GE(out.size() - start, data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + start));
  EXPECT_TRUE(std::all_of(out.begin() + start + data.size(), out.end(), [](int16_t v) { return v == 0; }));
}

TEST(SdlAudioDevice, MixSaturatesInsteadOfWrapping) {
  DiskCapture disk;
  const std::vector<int16_t> loud(2 * 8820, 20000);
  {
    auto device = SdlAudioOpenDevice({44100, 2, 1024});
    ASSERT_NE(device, nullptr) << SdlAudioLastError();
    auto a = device->OpenQueueVoice({44100, 16, 2});
    auto b = device->OpenQueueVoice({44100, 16, 2});
    AudioQueueBuffer ba, bb;
    for (AudioQueueBuffer* x : {&ba, &bb}) {
      x->data = reinterpret_cast<const uint8_t*>(loud.data());
      x->length = uint32_t(loud.size() * 2);
      x->done = 0;
    }
    a->Write(&ba);
    b->Write(&bb);
    ASSERT_TRUE(WaitDone({&ba, &bb}));
  }
  const std::vector<int16_t> out = disk.Samples();
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), 32767);
  EXPECT_GE(*std::min_element(out.begin(), out.end()), 0);
  EXPECT_GT(std::count(out.begin(), out.end(), int16_t(32767)), 2 * 4410);
}

TEST(SdlAudioDevice, QueueVoiceConvertsRateWidthAndChannels) {
  DiskCapture disk;
  const std::vector<uint8_t> tone(11025, 0xC0);  // 8-bit +64: 16384 at 16 bits
  {
    auto device = SdlAudioOpenDevice({44100, 2, 1024});
    ASSERT_NE(device, nullptr) << SdlAudioLastError();
    auto voice = device->OpenQueueVoice({22050, 8, 1});
    ASSERT_NE(voice, nullptr);
    voice->SetVolume(0x0000FFFF);  // left only
    AudioQueueBuffer b;
    b.data = tone.data();
    b.length = uint32_t(tone.size());
    b.done = 0;
    voice->Write(&b);
    ASSERT_TRUE(WaitDone({&b}));
  }
  const std::vector<int16_t> out = disk.Samples();
  size_t leftFrames = 0, rightNonZero = 0, nearTone = 0;
  for (size_t i = 0; i + 1 < out.size(); i += 2) {
    leftFrames += out[i] != 0;
    rightNonZero += out[i + 1] != 0;
    nearTone += std::abs(out[i] - 16384) < 200;
  }
  EXPECT_NEAR(double(leftFrames), 22050.0, 300.0);  // twice the frames at twice the rate
  EXPECT_GT(nearTone, 21000u);
  EXPECT_EQ(rightNonZero, 0u);
}

TEST(SdlAudioDevice, LoopVoicePlaysPannedWithMovingCursors) {
  DiskCapture disk;
  {
    auto device = SdlAudioOpenDevice({44100, 2, 1024});
    ASSERT_NE(device, nullptr) << SdlAudioLastError();
    auto voice = device->OpenLoopVoice({44100, 16, 2}, 8192);
    ASSERT_NE(voice, nullptr);
    uint8_t *p1, *p2;
    uint32_t n1, n2;
    // A lock across the end comes in two parts.
    ASSERT_TRUE(voice->Lock(6000, 4000, &p1, &n1, &p2, &n2));
    EXPECT_EQ(n1, 2192u);
    EXPECT_EQ(n2, 1808u);
    ASSERT_NE(p2, nullptr);
    voice->Unlock(p1, n1, p2, n2);
    ASSERT_TRUE(voice->Lock(0, 8192, &p1, &n1, &p2, &n2));
    EXPECT_EQ(n2, 0u);
    for (uint32_t i = 0; i < n1; i += 2) {
      const int16_t v = 10000;
      std::memcpy(p1 + i, &v, 2);
    }
    voice->Unlock(p1, n1, p2, n2);
    voice->SetPan(10000);  // right only
    EXPECT_EQ(voice->GetStatus(), 0u);
    ASSERT_TRUE(voice->Play());
    EXPECT_NE(voice->GetStatus() & AUDIO_LOOP_PLAYING, 0u);
    SleepRealMs(150);
    uint32_t play, write;
    voice->GetCurrentPosition(&play, &write);
    EXPECT_LT(play, 8192u);
    EXPECT_LT(write, 8192u);
    EXPECT_EQ(play % 4, 0u);
    EXPECT_EQ(write % 4, 0u);
    ASSERT_TRUE(voice->Stop());
    uint32_t play2, write2;
    SleepRealMs(50);
    voice->GetCurrentPosition(&play, &write);
    SleepRealMs(50);
    voice->GetCurrentPosition(&play2, &write2);
    EXPECT_EQ(play, play2);  // stopped: the cursors stay
    EXPECT_EQ(write, write2);
  }
  const std::vector<int16_t> out = disk.Samples();
  size_t right = 0, left = 0;
  for (size_t i = 0; i + 1 < out.size(); i += 2) {
    left += out[i] != 0;
    right += out[i + 1] == 10000;
  }
  EXPECT_EQ(left, 0u);
  EXPECT_GT(right, 4096u);  // it looped past the 2048 frames of the buffer
}

TEST(SdlAudioDevice, NoDriverMeansNoDeviceAndSilentMovies) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  EXPECT_EQ(SdlAudioOpenDevice({44100, 2, 1024}), nullptr);
  EXPECT_EQ(SdlAudioOpenDevice({44100, 3, 1024}), nullptr);
  SdlAudioInstall({});
  EXPECT_EQ(AudioAcquireSharedDevice(), nullptr);
  EXPECT_EQ(SoundQueueProvider(nullptr), nullptr);
  EXPECT_EQ(SoundLoopProvider(nullptr), nullptr);
  AudioSetDeviceFactory(nullptr);
}

}  // namespace
}  // namespace tarn
