// Writes movie containers: header, track table, index with key bits and the
// frame records, from audio packets and video data the caller supplies. The
// writer computes size-minus-8, the largest frame and the index count itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarn {

struct MovieWriterTrack {
  uint32_t rateWord = 0;       // sample rate | TRACK_* flags
  uint32_t id = 0;
  uint32_t largestPacket = 0;  // 0: the largest decoded byte count of the track's packets
};

struct MovieWriterInfo {
  char revision = 'i';  // 'f', 'g', 'h' or 'i'
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t rateNumerator = 30;
  uint32_t rateDenominator = 1;
  uint32_t headerFlags = 0;  // HDR_* bits
  std::vector<MovieWriterTrack> tracks{};
};

// One track's packet in one frame: the decoded byte count and the compressed
// bytes. An absent packet is stored as length 0.
struct MovieAudioPacket {
  bool present = false;
  uint32_t decodedBytes = 0;
  std::vector<uint8_t> data;
};

class MovieWriter {
 public:
  explicit MovieWriter(MovieWriterInfo info);

  // Appends one frame. audio holds one entry per track (missing trailing
  // entries mean no packet). The first frame should be a key frame.
  void AddFrame(bool keyFrame, std::span<const MovieAudioPacket> audio, std::span<const uint8_t> video);
  uint32_t FrameCount() const { return uint32_t(frames_.size()); }

  // The whole movie. False when it would not fit the format's 32-bit offsets
  // or the revision letter is not one of f, g, h, i. Zero frames are allowed
  // (such a file is refused by readers, which tests rely on).
  [[nodiscard]] bool Finish(std::vector<uint8_t>& out) const;
  // Writes the movie to path (replacing it). False with a reason in *why.
  [[nodiscard]] bool WriteFile(const std::string& path, std::string* why = nullptr) const;

 private:
  struct Frame {
    bool key;
    std::vector<uint8_t> record;
  };
  MovieWriterInfo info_;
  std::vector<uint32_t> largestDecoded_;  // per track
  std::vector<Frame> frames_;
};

}  // namespace tarn
