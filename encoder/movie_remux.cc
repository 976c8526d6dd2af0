// The remux: the container parsed, each kept track's packets split into
// blocks (with the audio decoder, which alone knows where a block ends) and
// packed again, new tracks cut by the encoder, and every frame written anew
// around its unchanged video data. Reads only inside the image it is given.
#include "encoder/movie_remux.h"

#include <algorithm>
#include <memory>

#include "audio/audio_decoder.h"
#include "common/little_endian.h"
#include "movie/container.h"
#include "movie/movie.h"
#include "movie/movie_writer.h"

namespace tarn::encoder {
namespace {

// One frame record split at its packets.
struct Record {
  std::vector<std::pair<const uint8_t*, uint32_t>> packets;  // per file track: the L bytes after the length
  const uint8_t* video = nullptr;
  size_t videoSize = 0;
  bool key = false;
};

bool SplitRecords(const std::vector<uint8_t>& in, const MovieContainer& c, std::vector<Record>& records,
                  std::string* why) {
  const FrameIndexView index = c.Index();
  const uint32_t tracks = c.header.trackCount;
  for (uint32_t f = 0; f < c.header.frameCount; ++f) {
    const uint64_t start = index.Offset(f), stop = index.Offset(f + 1);
    if (start > in.size() || stop < start || stop - start > in.size() - start) {
      *why = "frame " + std::to_string(f + 1) + ": record lies outside the file";
      return false;
    }
    Record r;
    r.key = index.IsKey(f);
    const uint8_t* p = in.data() + start;
    size_t size = size_t(stop - start), pos = 0;
    for (uint32_t t = 0; t < tracks; ++t) {
      if (size - pos < 4) {
        *why = "frame " + std::to_string(f + 1) + ": record ends inside the audio packets";
        return false;
      }
      const uint32_t length = LoadLe32(p + pos);
      pos += 4;
      if (length > size - pos || (length != 0 && length < 4)) {
        *why = "frame " + std::to_string(f + 1) + ": audio packet runs past the record";
        return false;
      }
      r.packets.emplace_back(p + pos, length);
      pos += length;
    }
    r.video = p + pos;
    r.videoSize = size - pos;
    records.push_back(std::move(r));
  }
  return true;
}

MovieAudioPacket Copied(const std::pair<const uint8_t*, uint32_t>& packet) {
  MovieAudioPacket p;
  if (packet.second == 0) return p;
  p.present = true;
  p.decodedBytes = LoadLe32(packet.first);
  p.data.assign(packet.first + 4, packet.first + packet.second);
  return p;
}

struct DecoderCloser {
  void operator()(AudioDecoder* d) const { AudioDecoderClose(d); }
};

// A track's blocks as the player decodes them: where each lies and how many
// of its decoded bytes the player takes. A block it takes only part of ended
// its packet and must end one again.
struct Block {
  const uint8_t* data;
  uint32_t size;
  uint32_t take;
  bool cut;
};

bool SplitBlocks(const std::vector<Record>& records, size_t track, uint32_t rateWord, std::vector<Block>& blocks,
                 std::string* why) {
  const bool dct = TrackUsesDct(rateWord);
  std::unique_ptr<AudioDecoder, DecoderCloser> decoder(
      AudioDecoderOpen(rateWord & 0xFFFF, (rateWord & TRACK_STEREO) ? 2 : 1, dct));
  if (!decoder) {
    *why = "cannot create the audio decoder";
    return false;
  }
  for (const Record& r : records) {
    const auto [p, length] = r.packets[track];
    if (length == 0) continue;
    uint32_t owed = LoadLe32(p);
    const uint8_t* in = p + 4;
    const uint8_t* end = p + length;
    while (owed > 0 && in < end) {
      const int16_t* samples = nullptr;
      uint32_t bytes = 0;
      const uint8_t* next = in;
      AudioDecodeBlock(decoder.get(), in, end, &samples, &bytes, &next);
      if (bytes == 0 || samples == nullptr || next <= in) break;
      const uint32_t take = std::min(bytes, owed);
      blocks.push_back({in, uint32_t(next - in), take, take < bytes});
      owed -= take;
      in = next;
    }
  }
  return true;
}

// Packs blocks so that frame i has delivered AudioFramesDue(i) sample frames;
// a cut block ends its packet. The last frame takes what is left.
bool PackBlocks(const std::vector<Block>& blocks, uint32_t rateWord, const MovieHeader& h, uint32_t leadMs,
                std::vector<MovieAudioPacket>& packets, std::string* why) {
  const uint64_t frameBytes = (rateWord & TRACK_STEREO) ? 4 : 2;
  size_t next = 0;
  uint64_t delivered = 0;
  for (uint32_t f = 0; f < h.frameCount; ++f) {
    const bool last = f + 1 == h.frameCount;
    const uint64_t due = AudioFramesDue(f, rateWord & 0xFFFF, h.rateNumerator, h.rateDenominator, leadMs) * frameBytes;
    MovieAudioPacket p;
    while (next < blocks.size() && (last || delivered < due)) {
      const Block& b = blocks[next++];
      p.data.insert(p.data.end(), b.data, b.data + b.size);
      p.decodedBytes += b.take;
      delivered += b.take;
      if (b.cut && !(last && next == blocks.size())) {
        if (last) {
          *why = "its sound cannot be packed into the movie's frames";
          return false;
        }
        break;
      }
    }
    p.present = !p.data.empty();
    packets.push_back(std::move(p));
  }
  return true;
}

uint32_t FreeId(const std::vector<MovieWriterTrack>& tracks, const RemuxOptions& o) {
  for (uint32_t id = 0;; ++id) {
    const bool used = std::any_of(tracks.begin(), tracks.end(), [&](const MovieWriterTrack& t) { return t.id == id; }) ||
                      std::any_of(o.add.begin(), o.add.end(), [&](const RemuxTrack& t) { return t.hasId && t.id == id; });
    if (!used) return id;
  }
}

}  // namespace

bool RemuxMovie(const std::vector<uint8_t>& in, const RemuxOptions& o, std::vector<uint8_t>& out, std::string* why,
                const RemuxProgress& progress) {
  std::string local;
  if (!why) why = &local;
  MovieContainer c;
  if (const ContainerStatus s = ReadContainer(in.data(), in.size(), c); s != ContainerStatus::Ok) {
    *why = ContainerStatusText(s);
    return false;
  }
  const MovieHeader& h = c.header;
  if (h.rateNumerator == 0 || h.rateDenominator == 0) {
    *why = "the movie has no frame rate to pack sound by";
    return false;
  }
  if (o.audioLeadMs > kMaxAudioLeadMs) {
    *why = "the sound lead must be 0.." + std::to_string(kMaxAudioLeadMs) + " ms";
    return false;
  }
  for (uint32_t id : o.dropIds) {
    if (std::find(c.trackId.begin(), c.trackId.end(), id) == c.trackId.end()) {
      *why = "no audio track with id " + std::to_string(id);
      return false;
    }
  }
  std::vector<Record> records;
  if (!SplitRecords(in, c, records, why)) return false;

  // The new track table: kept tracks in their order (a replaced one keeps its
  // place), then the added ones; packets per track and frame.
  MovieWriterInfo info;
  info.revision = MovieRevisionLetter(h.magic);
  info.width = h.width;
  info.height = h.height;
  info.rateNumerator = h.rateNumerator;
  info.rateDenominator = h.rateDenominator;
  info.headerFlags = h.flags;
  std::vector<std::vector<MovieAudioPacket>> packets;
  std::vector<const RemuxTrack*> placed;
  auto addNew = [&](const RemuxTrack& t, uint32_t id) {
    info.tracks.push_back({TrackRateWord(t.sound, o.audioDct), id, 0});
    TrackCutter cutter(t.sound, o.audioQuality, o.audioDct);
    std::vector<MovieAudioPacket> list;
    for (uint32_t f = 0; f < h.frameCount; ++f)
      list.push_back(cutter.Packet(AudioFramesDue(f, t.sound.sampleRate, h.rateNumerator, h.rateDenominator, o.audioLeadMs)));
    packets.push_back(std::move(list));
    placed.push_back(&t);
  };
  for (size_t t = 0; t < c.trackId.size(); ++t) {
    const uint32_t id = c.trackId[t];
    if (std::find(o.dropIds.begin(), o.dropIds.end(), id) != o.dropIds.end()) continue;
    const auto replace = std::find_if(o.add.begin(), o.add.end(), [&](const RemuxTrack& a) { return a.hasId && a.id == id; });
    if (replace != o.add.end()) {
      addNew(*replace, id);
      continue;
    }
    const uint32_t word = c.rateWord[t];
    std::vector<MovieAudioPacket> list;
    if (o.repack && (word & (TRACK_CODEC_A | TRACK_CODEC_B))) {
      std::vector<Block> blocks;
      if (!SplitBlocks(records, t, word, blocks, why) || !PackBlocks(blocks, word, h, o.audioLeadMs, list, why)) {
        *why = "track id " + std::to_string(id) + ": " + *why;
        return false;
      }
      info.tracks.push_back({word, id, 0});
    } else {
      for (const Record& r : records) list.push_back(Copied(r.packets[t]));
      info.tracks.push_back({word, id, c.largestPacket[t]});
    }
    packets.push_back(std::move(list));
  }
  for (const RemuxTrack& t : o.add) {
    if (std::find(placed.begin(), placed.end(), &t) != placed.end()) continue;
    if (t.hasId && std::any_of(info.tracks.begin(), info.tracks.end(), [&](const MovieWriterTrack& w) { return w.id == t.id; })) {
      *why = "two added tracks have id " + std::to_string(t.id);
      return false;
    }
    addNew(t, t.hasId ? t.id : FreeId(info.tracks, o));
  }

  MovieWriter writer(info);
  std::vector<MovieAudioPacket> frame(packets.size());
  for (uint32_t f = 0; f < h.frameCount; ++f) {
    for (size_t t = 0; t < packets.size(); ++t) frame[t] = std::move(packets[t][f]);
    const Record& r = records[f];
    writer.AddFrame(r.key, frame, std::span<const uint8_t>(r.video, r.videoSize));
    if (progress) progress(f + 1, h.frameCount);
  }
  if (!writer.Finish(out)) {
    *why = "the new movie is too large for the format";
    return false;
  }
  return true;
}

}  // namespace tarn::encoder
