// Synthetic clips for the encoder, and its output decoded with the real
// decoders: a whole movie image (header, index, audio packets, video) or a
// bare frame of video data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/inputs.h"
#include "video/video.h"

namespace tarn::test {

// A clip with what real pictures mix: gradients, a moving filled square, a
// moving two-colour "text" strip, fresh noise in one corner, a still area.
std::vector<encoder::Picture> SyntheticClip(uint32_t w, uint32_t h, int frames, bool alpha, uint32_t seed);

// A plane set with two buffer sets and the bundle buffers, owned here.
class DecoderPlanes {
 public:
  DecoderPlanes(uint32_t width, uint32_t height, bool alpha);
  PlaneSet set{};
  VideoWork work{};
  std::vector<uint8_t> changeMap;
  uint32_t blocksAcross = 0;
  // Plane p (0 luma, 1 chroma 1, 2 chroma 2, 3 alpha) of the current set.
  const uint8_t* Plane(int p) const { return set.planes[set.current][p].data; }
  uint32_t Stride(int p) const { return set.planes[set.current][p].stride; }

 private:
  std::vector<std::vector<uint8_t>> storage_;
};

struct DecodedTrack {
  uint32_t rateWord = 0;
  uint32_t id = 0;
  uint32_t largestPacket = 0;
  std::vector<int16_t> samples;
};

struct DecodedMovie {
  char revision = 0;
  uint32_t width = 0, height = 0, frames = 0, headerFlags = 0;
  std::vector<bool> key;
  // Per frame: header-size luma, chroma 1 and chroma 2 ((w+1)/2 x (h+1)/2), alpha.
  std::vector<std::vector<uint8_t>> y, c1, c2, a;
  std::vector<DecodedTrack> tracks;
  uint32_t corruptFrames = 0;
  uint32_t packetMismatches = 0;  // packets whose blocks did not fill them exactly
};

// False with a reason on a malformed container.
bool DecodeMovieImage(const std::vector<uint8_t>& movie, DecodedMovie& out, std::string* why);

double Psnr(const uint8_t* a, const uint8_t* b, size_t n);

}  // namespace tarn::test
