// The audio encoder: sample frames into blocks exactly as the track decoder
// consumes them, for either transform variant. One encoder per track.
#pragma once

#include <cstdint>
#include <vector>

namespace tarn {
class BitWriter;
}

namespace tarn::encoder {

struct AudioEncoderConfig {
  uint32_t sampleRate = 44100;  // 1..65535 Hz
  uint32_t channels = 2;        // 1 or 2
  bool useDct = true;           // false: the real-DFT variant
  int quality = 70;             // 1..100
};

class AudioEncoder {
 public:
  explicit AudioEncoder(const AudioEncoderConfig& config);

  // Sample frames one block covers, and the frames it advances the track by
  // (the rest overlaps the next block).
  uint32_t FrameLength() const { return frameLength_; }
  uint32_t BlockAdvance() const { return frameLength_ - frameLength_ / 16; }
  uint32_t Channels() const { return config_.channels; }

  // Codes FrameLength() interleaved sample frames into one block, appended to
  // out as whole little-endian words.
  void EncodeBlock(const int16_t* samples, std::vector<uint8_t>& out);

 private:
  void CodeChannel(BitWriter& w, std::vector<double>& coef);

  AudioEncoderConfig config_;
  uint32_t frameLength_ = 0;
  uint32_t transformLength_ = 0;
  uint32_t bandCount_ = 0;
  std::vector<uint32_t> bandEdges_;
  std::vector<double> work_;
};

// Forward transforms matched to the decoder's inverses (no scaling beyond
// what makes InverseDct / InverseRealDft return the input): n a power of two.
void ForwardDct(std::vector<double>& data);
void ForwardRealDft(std::vector<double>& data);

}  // namespace tarn::encoder
