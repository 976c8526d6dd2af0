// Changing the sound of an existing movie: tracks dropped, tracks added or
// replaced from sound files, the lead of the kept tracks packed anew. Every
// frame's video data, key bit and the header's picture fields are copied
// byte for byte; a kept track's compressed blocks are moved between frames,
// never coded again, so it decodes to the same samples.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "encoder/inputs.h"
#include "encoder/movie_encoder.h"

namespace tarn::encoder {

struct RemuxTrack {
  Sound sound;
  uint32_t id = 0;
  bool hasId = false;  // else the lowest id no other track has
};

struct RemuxOptions {
  std::vector<uint32_t> dropIds;   // each must name a track of the movie
  std::vector<RemuxTrack> add;     // an id of a kept track replaces it in place
  bool repack = false;             // pack the kept tracks with audioLeadMs
  uint32_t audioLeadMs = kAudioLeadMs;  // for the added tracks, and the kept ones when repack
  int audioQuality = 70;
  bool audioDct = true;
};

// frames done, frames in all.
using RemuxProgress = std::function<void(uint32_t, uint32_t)>;

// The movie image in, the new one in out. False with a reason in *why.
bool RemuxMovie(const std::vector<uint8_t>& in, const RemuxOptions& options, std::vector<uint8_t>& out,
                std::string* why, const RemuxProgress& progress = nullptr);

}  // namespace tarn::encoder
