// The container writer. Frame records are kept in memory until Finish lays
// out header, track table, index and records in one buffer. Records are
// padded to even sizes, as the index keeps the key flag in bit 0.
#include "movie/movie_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/little_endian.h"
#include "movie/container.h"

namespace tarn {

MovieWriter::MovieWriter(MovieWriterInfo info) : info_(std::move(info)), largestDecoded_(info_.tracks.size(), 0) {}

void MovieWriter::AddFrame(bool keyFrame, std::span<const MovieAudioPacket> audio, std::span<const uint8_t> video) {
  Frame f{keyFrame, {}};
  for (size_t t = 0; t < info_.tracks.size(); ++t) {
    uint8_t word[4];
    if (t < audio.size() && audio[t].present) {
      const MovieAudioPacket& p = audio[t];
      StoreLe32(word, uint32_t(p.data.size() + 4));
      f.record.insert(f.record.end(), word, word + 4);
      StoreLe32(word, p.decodedBytes);
      f.record.insert(f.record.end(), word, word + 4);
      f.record.insert(f.record.end(), p.data.begin(), p.data.end());
      largestDecoded_[t] = std::max(largestDecoded_[t], p.decodedBytes);
    } else {
      StoreLe32(word, 0);
      f.record.insert(f.record.end(), word, word + 4);
    }
  }
  f.record.insert(f.record.end(), video.begin(), video.end());
  // Bit 0 of an index entry is the key flag, so every record starts at an even
  // offset: an odd record gets one zero byte after its video data.
  if (f.record.size() % 2) f.record.push_back(0);
  frames_.push_back(std::move(f));
}

bool MovieWriter::Finish(std::vector<uint8_t>& out) const {
  uint32_t magic;
  switch (info_.revision) {
    case 'f': magic = kMagicRevF; break;
    case 'g': magic = kMagicRevG; break;
    case 'h': magic = kMagicRevH; break;
    case 'i': magic = kMagicRevI; break;
    default: return false;
  }
  const uint64_t tracks = info_.tracks.size();
  const uint64_t frames = frames_.size();
  const uint64_t firstFrame = kMovieHeaderSize + 12 * tracks + 4 * (frames + 1);
  uint64_t total = firstFrame;
  uint32_t largest = 0;
  for (const Frame& f : frames_) {
    total += f.record.size();
    largest = uint32_t(std::max<uint64_t>(largest, f.record.size()));
  }
  // Offsets are 32-bit: refuse a movie that cannot be represented.
  if (total > UINT32_MAX || total < 8) return false;

  out.assign(size_t(total), 0);
  uint8_t* p = out.data();
  StoreLe32(p + 0, magic);
  StoreLe32(p + 4, uint32_t(total - 8));
  StoreLe32(p + 8, uint32_t(frames));
  StoreLe32(p + 12, largest);
  StoreLe32(p + 16, uint32_t(frames));
  StoreLe32(p + 20, info_.width);
  StoreLe32(p + 24, info_.height);
  StoreLe32(p + 28, info_.rateNumerator);
  StoreLe32(p + 32, info_.rateDenominator);
  StoreLe32(p + 36, info_.headerFlags);
  StoreLe32(p + 40, uint32_t(tracks));
  uint8_t* table = p + kMovieHeaderSize;
  for (size_t t = 0; t < tracks; ++t) {
    const MovieWriterTrack& tr = info_.tracks[t];
    const uint32_t largestPacket = tr.largestPacket ? tr.largestPacket : largestDecoded_[t];
    StoreLe32(table + 4 * t, largestPacket);
    StoreLe32(table + 4 * (tracks + t), tr.rateWord);
    StoreLe32(table + 4 * (2 * tracks + t), tr.id);
  }
  uint8_t* index = table + 12 * tracks;
  uint64_t offset = firstFrame;
  for (size_t i = 0; i < frames; ++i) {
    StoreLe32(index + 4 * i, uint32_t(offset) | (frames_[i].key ? 1u : 0u));
    std::copy(frames_[i].record.begin(), frames_[i].record.end(), p + offset);
    offset += frames_[i].record.size();
  }
  StoreLe32(index + 4 * frames, uint32_t(offset));
  return true;
}

bool MovieWriter::WriteFile(const std::string& path, std::string* why) const {
  std::vector<uint8_t> bytes;
  if (!Finish(bytes)) {
    if (why) *why = "the movie does not fit the container";
    return false;
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    if (why) *why = std::strerror(errno);
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  if (!(ok && closed)) {
    if (why) *why = "write failed";
    return false;
  }
  return true;
}

}  // namespace tarn
