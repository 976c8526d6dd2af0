// The shared output device over SDL2 audio: one SDL device whose callback mixes
// every voice into signed 16-bit with saturation. Each voice converts its own
// format to the device's through an SDL audio stream. All voice state is
// guarded by the device mutex, taken by the callback and by every voice call.
#include "platform/sdl/sdl_audio_device.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/sdl/sdl_quiet.h"

namespace tarn {

namespace {

class SdlAudioDevice;

// A voice as the mixer sees it.
class SdlVoice {
 public:
  virtual ~SdlVoice() = default;
  // Adds up to frames device frames to acc (device channels interleaved).
  virtual void MixInto(int32_t* acc, int frames) = 0;
};

class SdlAudioDevice final : public AudioDevice {
 public:
  ~SdlAudioDevice() override {
    if (id_) SDL_CloseAudioDevice(id_);  // waits for a running callback
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }

  bool Open(const SdlAudioConfig& config) {
    SDL_AudioSpec want{};
    want.freq = int(config.rate);
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(config.channels);
    want.samples = Uint16(config.samples);
    want.callback = Callback;
    want.userdata = this;
    id_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have_, 0);
    if (!id_) return false;
    acc_.resize(size_t(have_.samples) * have_.channels);
    temp_.resize(acc_.size());
    SDL_PauseAudioDevice(id_, 0);
    return true;
  }

  std::unique_ptr<AudioQueueVoice> OpenQueueVoice(const AudioFormat& format) override;
  std::unique_ptr<AudioLoopVoice> OpenLoopVoice(const AudioFormat& format, uint32_t bytes) override;

  // Converts a voice's format to the device's.
  SDL_AudioStream* NewStream(const AudioFormat& f) const {
    return SDL_NewAudioStream(f.bits == 8 ? AUDIO_U8 : AUDIO_S16LSB, Uint8(f.channels), int(f.rate),
                              AUDIO_S16SYS, have_.channels, have_.freq);
  }
  int Channels() const { return have_.channels; }
  int Rate() const { return have_.freq; }

  void Add(SdlVoice* v) {
    std::lock_guard lock(mutex);
    voices_.push_back(v);
  }
  void Remove(SdlVoice* v) {
    std::lock_guard lock(mutex);
    voices_.erase(std::remove(voices_.begin(), voices_.end(), v), voices_.end());
  }

  // Pulls up to bytes of converted samples from a stream into the shared
  // scratch buffer, which MixScaled then adds. Callback only.
  int16_t* Scratch(size_t samples) {
    if (temp_.size() < samples) temp_.resize(samples);
    return temp_.data();
  }

  std::mutex mutex;  // guards every voice and the voice list

 private:
  static void Callback(void* user, Uint8* out, int len) {
    static_cast<SdlAudioDevice*>(user)->Mix(out, len);
  }

  void Mix(Uint8* out, int len) {
    std::lock_guard lock(mutex);
    const int frames = len / (2 * have_.channels);
    const size_t samples = size_t(frames) * have_.channels;
    if (acc_.size() < samples) acc_.resize(samples);
    std::fill_n(acc_.begin(), samples, 0);
    for (SdlVoice* v : voices_) v->MixInto(acc_.data(), frames);
    for (size_t i = 0; i < samples; ++i) {
      const int16_t s = int16_t(std::clamp<int32_t>(acc_[i], -32768, 32767));
      std::memcpy(out + 2 * i, &s, 2);
    }
    std::memset(out + 2 * samples, 0, size_t(len) - 2 * samples);
  }

  SDL_AudioDeviceID id_ = 0;
  SDL_AudioSpec have_{};
  std::vector<SdlVoice*> voices_;  // guarded by mutex
  std::vector<int32_t> acc_;       // callback only
  std::vector<int16_t> temp_;      // callback only
};

// Adds n converted samples to acc with a gain per device channel.
void MixScaled(int32_t* acc, const int16_t* in, size_t n, int channels, float left, float right) {
  if (channels == 1) {
    const float g = (left + right) / 2;
    for (size_t i = 0; i < n; ++i) acc[i] += int32_t(std::lrint(in[i] * g));
    return;
  }
  for (size_t i = 0; i + 1 < n; i += 2) {
    acc[i] += int32_t(std::lrint(in[i] * left));
    acc[i + 1] += int32_t(std::lrint(in[i + 1] * right));
  }
}

// Hundredths of a decibel to an amplitude factor; -10000 and below is silence.
float Centibels(int32_t cb) {
  if (cb <= kAudioSilenceCentibels) return 0.0f;
  if (cb >= 0) return 1.0f;
  return float(std::pow(10.0, cb / 2000.0));
}

// More input frames than SDL's resampler keeps back (512 here).
constexpr int kResamplerPaddingFrames = 1024;

class SdlQueueVoice final : public AudioQueueVoice, public SdlVoice {
 public:
  SdlQueueVoice(SdlAudioDevice* device, const AudioFormat& format, SDL_AudioStream* stream)
      : device_(device), stream_(stream), resampling_(format.rate != uint32_t(device->Rate())),
        padding_(size_t(kResamplerPaddingFrames) * format.BlockAlign(), format.bits == 8 ? 0x80 : 0x00) {
    device_->Add(this);
  }
  ~SdlQueueVoice() override {
    device_->Remove(this);
    for (AudioQueueBuffer* b : queue_) b->done.store(1, std::memory_order_release);
    Played(nullptr);
    SDL_FreeAudioStream(stream_);
  }
  void Write(AudioQueueBuffer* buffer) override {
    std::lock_guard lock(device_->mutex);
    queue_.push_back(buffer);
  }
  void Pause() override {
    std::lock_guard lock(device_->mutex);
    paused_ = true;
  }
  void Restart() override {
    std::lock_guard lock(device_->mutex);
    paused_ = false;
  }
  void Reset() override {
    std::lock_guard lock(device_->mutex);
    for (AudioQueueBuffer* b : queue_) b->done.store(1, std::memory_order_release);
    queue_.clear();
    Played(nullptr);
    drained_ = true;
    SDL_AudioStreamClear(stream_);
  }
  void SetVolume(uint32_t leftRight) override {
    std::lock_guard lock(device_->mutex);
    left_ = float(leftRight & 0xFFFF) / 65535.0f;
    right_ = float(leftRight >> 16) / 65535.0f;
  }

  void MixInto(int32_t* acc, int frames) override {
    if (paused_) return;
    const int channels = device_->Channels();
    const int want = frames * channels * 2;
    // The stream holds a copy of each buffer; a buffer counts as played once
    // the stream has run down past it: when the next one is needed, or when
    // this pass takes the last of the stream. So every buffer being done means
    // the device ran dry, as it would for a device that reads the buffers.
    while (SDL_AudioStreamAvailable(stream_) < want && !queue_.empty()) {
      AudioQueueBuffer* b = queue_.front();
      queue_.pop_front();
      if (b->length) {
        SDL_AudioStreamPut(stream_, b->data, int(b->length));
        drained_ = false;
      }
      Played(b);
    }
    if (SDL_AudioStreamAvailable(stream_) <= want && queue_.empty()) Played(nullptr);
    if (SDL_AudioStreamAvailable(stream_) < want && !drained_) {
      // Out of data: the resampler holds back the last few hundred frames
      // until more input follows (a flush does not release them), so push
      // them out with silence once per dry spell.
      if (resampling_) SDL_AudioStreamPut(stream_, padding_.data(), int(padding_.size()));
      drained_ = true;
    }
    int16_t* in = device_->Scratch(size_t(frames) * channels);
    const int got = SDL_AudioStreamGet(stream_, in, want);
    if (got > 0) MixScaled(acc, in, size_t(got) / 2, channels, left_, right_);
  }

 private:
  // Marks the buffer in the stream done and keeps next there instead.
  void Played(AudioQueueBuffer* next) {
    if (inStream_) inStream_->done.store(1, std::memory_order_release);
    inStream_ = next;
  }

  SdlAudioDevice* device_;
  SDL_AudioStream* stream_;                // guarded by the device mutex, as is the rest
  std::deque<AudioQueueBuffer*> queue_;
  AudioQueueBuffer* inStream_ = nullptr;   // taken into the stream, not yet played out
  bool paused_ = false;
  bool drained_ = true;  // nothing written since the last dry spell
  const bool resampling_;
  const std::vector<uint8_t> padding_;  // silence
  float left_ = 1.0f, right_ = 1.0f;
};

class SdlLoopVoice final : public AudioLoopVoice, public SdlVoice {
 public:
  SdlLoopVoice(SdlAudioDevice* device, const AudioFormat& format, uint32_t bytes, SDL_AudioStream* stream)
      : device_(device), format_(format), buffer_(bytes, format.bits == 8 ? 0x80 : 0x00),
        scratch_(bytes), stream_(stream) {
    device_->Add(this);
  }
  ~SdlLoopVoice() override {
    device_->Remove(this);
    SDL_FreeAudioStream(stream_);
  }
  uint32_t Size() const override { return uint32_t(buffer_.size()); }

  void GetCurrentPosition(uint32_t* play, uint32_t* write) override {
    std::lock_guard lock(device_->mutex);
    // Converted bytes still waiting in the stream, in source bytes.
    const uint64_t waiting = uint64_t(SDL_AudioStreamAvailable(stream_)) * format_.rate * format_.BlockAlign() /
                             (uint64_t(device_->Rate()) * device_->Channels() * 2);
    const uint32_t block = format_.BlockAlign();
    const uint32_t back = uint32_t(std::min<uint64_t>(waiting, Size() - block)) / block * block;
    *write = taken_;
    *play = (taken_ + Size() - back) % Size();
  }

  bool Lock(uint32_t offset, uint32_t bytes, uint8_t** p1, uint32_t* n1, uint8_t** p2,
            uint32_t* n2) override {
    if (offset >= Size() || bytes > Size()) return false;
    std::lock_guard lock(device_->mutex);
    const uint32_t first = std::min(bytes, Size() - offset);
    lockOffset_ = offset;
    lockFirst_ = first;
    lockSecond_ = bytes - first;
    *p1 = scratch_.data();
    *n1 = first;
    *p2 = bytes > first ? scratch_.data() + first : nullptr;
    *n2 = bytes - first;
    return true;
  }

  // Copies in only what was written: the device mutex, which the mixer needs
  // every pass, is held no longer than the sound takes to copy.
  void Unlock(uint8_t* p1, uint32_t n1, uint8_t* p2, uint32_t n2) override {
    std::lock_guard lock(device_->mutex);
    if (p1 != scratch_.data() || n1 > lockFirst_) return;
    std::memcpy(buffer_.data() + lockOffset_, p1, n1);
    if (p2 == scratch_.data() + lockFirst_ && n2 <= lockSecond_) std::memcpy(buffer_.data(), p2, n2);
  }

  bool Play() override {
    std::lock_guard lock(device_->mutex);
    playing_ = true;
    return true;
  }
  bool Stop() override {
    std::lock_guard lock(device_->mutex);
    playing_ = false;
    return true;
  }
  void SetCurrentPosition(uint32_t offset) override {
    std::lock_guard lock(device_->mutex);
    taken_ = offset % Size() / format_.BlockAlign() * format_.BlockAlign();
    SDL_AudioStreamClear(stream_);
  }
  uint32_t GetStatus() override {
    std::lock_guard lock(device_->mutex);
    return playing_ ? AUDIO_LOOP_PLAYING | AUDIO_LOOP_LOOPING : 0;
  }
  void SetFrequency(uint32_t rate) override {
    std::lock_guard lock(device_->mutex);
    if (rate == 0 || rate > 1000000 || rate == format_.rate) return;
    AudioFormat changed = format_;
    changed.rate = rate;
    if (SDL_AudioStream* s = device_->NewStream(changed)) {
      SDL_FreeAudioStream(stream_);
      stream_ = s;
      format_ = changed;
    }
  }
  void SetPan(int32_t pan) override {
    std::lock_guard lock(device_->mutex);
    pan_ = std::clamp(pan, -10000, 10000);
    UpdateGains();
  }
  void SetVolume(int32_t volume) override {
    std::lock_guard lock(device_->mutex);
    volume_ = std::clamp(volume, -10000, 0);
    UpdateGains();
  }

  void MixInto(int32_t* acc, int frames) override {
    if (!playing_) return;
    const int channels = device_->Channels();
    const int want = frames * channels * 2;
    const uint32_t block = format_.BlockAlign();
    // About one pass worth of source bytes per put, in whole frames.
    const uint64_t perPass = uint64_t(frames) * format_.rate / uint64_t(device_->Rate()) + 1;
    const uint32_t chunk = uint32_t(std::min<uint64_t>(perPass * block, Size()));
    for (int guard = 0; SDL_AudioStreamAvailable(stream_) < want && guard < 64; ++guard) {
      const uint32_t n = std::min(chunk, Size() - taken_);
      SDL_AudioStreamPut(stream_, buffer_.data() + taken_, int(n));
      taken_ = (taken_ + n) % Size();
    }
    int16_t* in = device_->Scratch(size_t(frames) * channels);
    const int got = SDL_AudioStreamGet(stream_, in, want);
    if (got > 0) MixScaled(acc, in, size_t(got) / 2, channels, left_, right_);
  }

 private:
  void UpdateGains() {
    const float v = Centibels(volume_);
    left_ = v * (pan_ > 0 ? Centibels(-pan_) : 1.0f);
    right_ = v * (pan_ < 0 ? Centibels(pan_) : 1.0f);
  }

  SdlAudioDevice* device_;
  AudioFormat format_;  // guarded by the device mutex, as is everything below
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> scratch_;  // what Lock hands out; Unlock copies it in
  uint32_t lockOffset_ = 0, lockFirst_ = 0, lockSecond_ = 0;  // the region Lock granted
  SDL_AudioStream* stream_;
  uint32_t taken_ = 0;  // next byte the device takes; the write cursor
  bool playing_ = false;
  int32_t volume_ = 0, pan_ = 0;
  float left_ = 1.0f, right_ = 1.0f;
};

std::unique_ptr<AudioQueueVoice> SdlAudioDevice::OpenQueueVoice(const AudioFormat& format) {
  if (!format.Valid()) return nullptr;
  SDL_AudioStream* stream = NewStream(format);
  if (!stream) return nullptr;
  return std::make_unique<SdlQueueVoice>(this, format, stream);
}

std::unique_ptr<AudioLoopVoice> SdlAudioDevice::OpenLoopVoice(const AudioFormat& format, uint32_t bytes) {
  if (!format.Valid() || bytes < format.BlockAlign() || bytes % format.BlockAlign() != 0) return nullptr;
  SDL_AudioStream* stream = NewStream(format);
  if (!stream) return nullptr;
  return std::make_unique<SdlLoopVoice>(this, format, bytes, stream);
}

std::mutex gConfigMutex;
SdlAudioConfig gConfig;  // guarded by gConfigMutex

// The installed configuration, at the rate and channel count of the voice
// that asked first when there is one, with a mixing pass of about the same
// duration (a power of two of frames).
std::shared_ptr<AudioDevice> OpenConfigured(const AudioFormat* preferred) {
  SdlAudioConfig config;
  {
    std::lock_guard lock(gConfigMutex);
    config = gConfig;
  }
  if (preferred && preferred->Valid() && config.rate != 0) {
    const uint64_t samples = uint64_t(config.samples) * preferred->rate / config.rate;
    uint32_t pass = 256;
    while (pass * 2 <= samples && pass < 0x8000) pass *= 2;
    config.rate = preferred->rate;
    config.channels = preferred->channels;
    config.samples = pass;
  }
  return SdlAudioOpenDevice(config);
}

}  // namespace

std::shared_ptr<AudioDevice> SdlAudioOpenDevice(const SdlAudioConfig& config) {
  if (config.rate == 0 || config.rate > 1000000 || config.channels < 1 || config.channels > 2 ||
      config.samples == 0 || config.samples > 0x8000) {
    return nullptr;
  }
  SdlQuietStderr quiet;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
  auto device = std::make_shared<SdlAudioDevice>();  // quits the subsystem again if the open fails
  if (!device->Open(config)) return nullptr;
  return device;
}

const char* SdlAudioLastError() { return SDL_GetError(); }

void SdlAudioInstall(const SdlAudioConfig& config) {
  {
    std::lock_guard lock(gConfigMutex);
    gConfig = config;
  }
  AudioSetDeviceFactory(OpenConfigured);
}

}  // namespace tarn
