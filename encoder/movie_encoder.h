// Whole-movie encoding: pictures and sound files into a movie file, with the
// options of `tarn encode`. Also the in-memory entry the test builders use.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "encoder/audio_encoder.h"
#include "encoder/inputs.h"
#include "encoder/video_encoder.h"
#include "movie/movie_writer.h"

namespace tarn::encoder {

// What a player expects each track to lead its pictures by: frame 1 carries
// that much sound beyond its own, so the device can start with the first
// picture and the last sound arrives before the last picture.
inline constexpr uint32_t kAudioLeadMs = 750;
inline constexpr uint32_t kMaxAudioLeadMs = 10000;

// Sample frames of a track that frame `frame` (0-based) must have delivered by
// its end: the sound up to the end of its time, rounded up, plus the lead.
uint64_t AudioFramesDue(uint32_t frame, uint32_t sampleRate, uint32_t rateNumerator, uint32_t rateDenominator,
                        uint32_t leadMs);

// Cuts one track's sound into per-frame packets: Packet(AudioFramesDue(i))
// for frame i, in order, holds the blocks that bring the track that far.
// Packets hold whole blocks, so every block after the first starts exactly
// where the previous one's finished samples end and the cross-fade joins
// like samples. sound must outlive the cutter.
class TrackCutter {
 public:
  TrackCutter(const Sound& sound, int quality, bool useDct)
      : sound_(sound), enc_({sound.sampleRate, sound.channels, useDct, quality}) {}
  MovieAudioPacket Packet(uint64_t framesEnd);

 private:
  const Sound& sound_;
  AudioEncoder enc_;
  uint64_t done_ = 0;
};

// The track table's rate word for a sound coded in the given variant.
uint32_t TrackRateWord(const Sound& s, bool useDct);

struct AudioInput {
  std::string path;
  uint32_t id = 0;
  bool hasId = false;  // else the track's position
};

struct EncodeOptions {
  std::string output;
  std::string video;                 // .y4m file or printf pattern of PNG pictures
  uint32_t rateNumerator = 0;        // 0: the source's rate
  uint32_t rateDenominator = 1;
  bool alpha = false;                // alpha plane from the PNG alpha channel
  bool grey = false;
  char revision = 'i';
  uint32_t keyInterval = 0;          // 0: ten seconds' worth of frames
  int quality = 75;                  // 1..100
  uint64_t bitrate = 0;              // bytes per second; 0: constant quality
  int passes = 1;                    // 2: a first pass plans the bytes of every frame (with bitrate)
  uint32_t display = 0;              // header display mode 0..7
  int audioQuality = 70;
  bool audioDct = true;              // false: the real-DFT variant
  uint32_t audioLeadMs = kAudioLeadMs;  // sound frame 1 carries ahead of the pictures
  std::vector<AudioInput> audio;
  uint32_t maxFrames = 0;            // 0: all
  int threads = 0;                   // 0: ThreadsWanted(); the output is the same for any count
};

struct EncodeStats {
  uint32_t frames = 0;
  uint64_t bytes = 0;
  BlockHistogram blocks{};
  double seconds = 0;       // the encoding's own time
  double movieSeconds = 0;  // the frames' time at the movie's rate
  // What the movie decodes to against the source, per plane (0 luma, 1 and
  // 2 the chroma planes, 3 alpha): the squared error and the samples.
  double sse[4] = {}, samples[4] = {};
  // PSNR in dB of planes a and b together (b = a for one); 0 without samples.
  double Psnr(int a, int b) const;
};

// frames done, frames expected (0 unknown), bytes so far, seconds elapsed.
using EncodeProgress = std::function<void(uint32_t, uint32_t, uint64_t, double)>;

// Encodes opts.video (+ opts.audio) into opts.output. False with a reason.
bool EncodeMovieFile(const EncodeOptions& opts, EncodeStats* stats, std::string* why,
                     const EncodeProgress& progress = nullptr);

// In-memory variant: pictures (all one size) and optional sound tracks.
struct MemoryTrack {
  Sound sound;
  uint32_t id = 0;
};
bool EncodeMovieMemory(const std::vector<Picture>& pictures, const std::vector<MemoryTrack>& tracks,
                       const EncodeOptions& opts, std::vector<uint8_t>& movie, std::string* why,
                       EncodeStats* stats = nullptr);

}  // namespace tarn::encoder
