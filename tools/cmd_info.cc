// `tarn info MOVIE [--json]`: describes a movie's header, tracks and index.
// MOVIE is a file name, or "file|offset" for a movie inside another file.
// --check also decodes every frame and reports corrupt frames and read errors.
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "movie/container.h"
#include "common/last_error.h"
#include "movie/movie.h"
#include "platform/file.h"
#include "tools/command.h"

namespace tarn::tools {
namespace {

std::string FlagNames(uint32_t flags) {
  std::string s;
  auto add = [&](const char* n) {
    if (!s.empty()) s += ' ';
    s += n;
  };
  if (flags & HDR_GRAYSCALE) add("grayscale");
  if (flags & HDR_ALPHA) add("alpha");
  if (const uint32_t mode = (flags & HDR_DISPLAY_MODE) >> OPEN_DISPLAY_SHIFT) {
    static const char* const kModes[] = {"",
                                         "height-doubled",
                                         "height-interlaced",
                                         "width-doubled",
                                         "both-doubled",
                                         "both-interlaced",
                                         "interlaced",
                                         "force-none"};
    add(kModes[mode]);
  }
  const uint32_t other = flags & ~(HDR_GRAYSCALE | HDR_ALPHA | HDR_DISPLAY_MODE);
  if (other) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "other=0x%08" PRIX32, other);
    add(buf);
  }
  return s.empty() ? "none" : s;
}

const char* Variant(uint32_t word) {
  if (word & TRACK_CODEC_A) return "rdft";
  if (word & TRACK_CODEC_B) return "dct";
  return "unplayable";
}

std::string JsonString(const std::string& in) {
  std::string out = "\"";
  for (const char c : in) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Each track's sound lead in ms, from frame 1's record; 0 for every track when
// the record cannot be read (the container itself was readable).
std::vector<uint32_t> TrackLeads(File& file, uint64_t base, const MovieContainer& c) {
  constexpr uint64_t kMaxRecord = uint64_t(1) << 28;  // frame 1 of any sane movie is far smaller
  std::vector<uint32_t> leads(c.trackId.size(), 0);
  const FrameIndexView index = c.Index();
  const int64_t size = file.Size();
  if (leads.empty() || index.count < 2 || size < 0 || base > uint64_t(size)) return leads;
  const uint64_t start = index.Offset(0), stop = index.Offset(1);
  const uint64_t available = uint64_t(size) - base;
  if (stop <= start || stop > available || stop - start > kMaxRecord) return leads;
  std::vector<uint8_t> record(size_t(stop - start));
  if (!file.Seek(int64_t(base + start)) || file.Read(record.data(), record.size()) != int64_t(record.size())) {
    return leads;
  }
  const MovieHeader& h = c.header;
  for (uint32_t t = 0; t < leads.size(); ++t) {
    const uint32_t decoded = FramePacketDecodedBytes(record.data(), record.size(), h.trackCount, t);
    leads[t] = TrackLeadMs(TrackLeadBytes(decoded, c.rateWord[t], h.rateNumerator, h.rateDenominator), c.rateWord[t]);
  }
  return leads;
}

int LibraryError(const char* text) {
  std::fprintf(stderr, "%s\n", text);
  return 1;
}

// Decodes every frame once through the library. Returns false when the movie
// cannot be opened (the library's text is in MovieGetError).
struct CheckResult {
  uint32_t decoded = 0;
  uint32_t corrupt = 0;
  uint32_t firstCorrupt = 0;  // frame number, 0: none
  uint32_t readErrorAt = 0;   // frame number, 0: none
};

bool CheckFrames(const std::string& path, uint64_t offset, CheckResult& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    MovieSetError("Error opening file.");
    return false;
  }
  if (::lseek(fd, off_t(offset), SEEK_SET) != off_t(offset)) {
    ::close(fd);
    MovieSetError("Error opening file.");
    return false;
  }
  Movie* m = MovieOpen(reinterpret_cast<const void*>(intptr_t(fd)), OPEN_FILE_HANDLE | OPEN_NO_THREAD);
  if (!m) {
    ::close(fd);
    return false;
  }
  for (uint32_t f = 1; f <= m->frameCount; ++f) {
    if (MovieDoFrame(m) != 0) {
      out.readErrorAt = f;
      break;
    }
    ++out.decoded;
    if (MovieLastFrameCorrupt(m) && out.corrupt++ == 0) out.firstCorrupt = f;
    if (f < m->frameCount) MovieNextFrame(m);
  }
  MovieClose(m);
  ::close(fd);
  return true;
}

int RunInfo(const std::vector<std::string>& args) {
  std::string source;
  bool json = false;
  bool check = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a == "--check") {
      check = true;
    } else if (source.empty()) {
      source = a;
    } else {
      return Fail("info: usage: tarn info MOVIE [--json] [--check]");
    }
  }
  if (source.empty()) return Fail("info: usage: tarn info MOVIE [--json] [--check]");

  std::string path = source;
  uint64_t offset = 0;
  if (const size_t bar = source.rfind('|'); bar != std::string::npos) {
    path = source.substr(0, bar);
    const std::string num = source.substr(bar + 1);
    char* end = nullptr;
    offset = std::strtoull(num.c_str(), &end, 0);
    if (num.empty() || *end != '\0' || num[0] == '-') return Fail("info: bad offset '" + num + "'");
  }

  // The library's own texts, as the player would show them.
  File file;
  if (!file.Open(path.c_str())) return LibraryError("Error opening file.");
  MovieContainer c;
  const ContainerStatus status = ReadContainer(file, offset, c);
  if (status != ContainerStatus::Ok) return LibraryError(ContainerStatusText(status));
  const MovieHeader& h = c.header;
  const IndexFacts& f = c.facts;
  const char revision[2] = {MovieRevisionLetter(h.magic), 0};
  const std::vector<uint32_t> leads = TrackLeads(file, offset, c);
  CheckResult checked;
  if (check && !CheckFrames(path, offset, checked)) return LibraryError(MovieGetError());

  if (json) {
    std::printf("{\n  \"file\": %s,\n  \"offset\": %" PRIu64 ",\n", JsonString(path).c_str(), offset);
    std::printf("  \"revision\": \"%s\",\n  \"size_minus_8\": %" PRIu32 ",\n  \"length\": %" PRIu64 ",\n", revision,
                h.sizeMinus8, MovieLength(h));
    std::printf("  \"width\": %" PRIu32 ",\n  \"height\": %" PRIu32 ",\n", h.width, h.height);
    std::printf("  \"rate_numerator\": %" PRIu32 ",\n  \"rate_denominator\": %" PRIu32 ",\n", h.rateNumerator,
                h.rateDenominator);
    std::printf("  \"flags\": %" PRIu32 ",\n  \"flag_names\": %s,\n", h.flags, JsonString(FlagNames(h.flags)).c_str());
    std::printf("  \"frames\": %" PRIu32 ",\n  \"index_frame_count\": %" PRIu32 ",\n", h.frameCount, h.indexFrameCount);
    std::printf("  \"key_frames\": %" PRIu32 ",\n  \"all_key_frames\": %s,\n", f.keyFrameCount,
                f.allKeyFrames ? "true" : "false");
    std::printf("  \"largest_frame\": %" PRIu32 ",\n  \"largest_record\": %" PRIu32 ",\n", h.largestFrame,
                f.largestRecord);
    std::printf("  \"rounded_rate\": %" PRIu32 ",\n  \"peak_second_bytes\": %" PRIu32 ",\n", f.roundedRate,
                f.peakAmount);
    std::printf("  \"peak_window_frame\": %" PRIu32 ",\n  \"tracks\": [", f.peakStart + 1);
    for (uint32_t t = 0; t < h.trackCount; ++t) {
      const uint32_t w = c.rateWord[t];
      std::printf("%s\n    {\"id\": %" PRIu32 ", \"rate\": %" PRIu32 ", \"bits\": %d, \"channels\": %d, "
                  "\"variant\": \"%s\", \"largest_packet\": %" PRIu32 ", \"lead_ms\": %" PRIu32 "}",
                  t ? "," : "", c.trackId[t], w & 0xFFFF, (w & TRACK_16BIT) ? 16 : 8, (w & TRACK_STEREO) ? 2 : 1,
                  Variant(w), c.largestPacket[t], leads[t]);
    }
    std::printf("%s]", h.trackCount ? "\n  " : "");
    if (check) {
      std::printf(",\n  \"checked_frames\": %" PRIu32 ",\n  \"corrupt_frames\": %" PRIu32
                  ",\n  \"first_corrupt_frame\": %" PRIu32 ",\n  \"read_error_frame\": %" PRIu32,
                  checked.decoded, checked.corrupt, checked.firstCorrupt, checked.readErrorAt);
    }
    std::printf("\n}\n");
    return 0;
  }

  std::printf("file:              %s", path.c_str());
  if (offset) std::printf(" (movie at offset %" PRIu64 ")", offset);
  std::printf("\nrevision:          %s\n", revision);
  std::printf("size:              %" PRIu64 " bytes (size minus 8: %" PRIu32 ")\n", MovieLength(h), h.sizeMinus8);
  std::printf("picture:           %" PRIu32 " x %" PRIu32 "\n", h.width, h.height);
  std::printf("rate:              %" PRIu32 "/%" PRIu32 " (rounded %" PRIu32 ")\n", h.rateNumerator,
              h.rateDenominator, f.roundedRate);
  std::printf("flags:             0x%08" PRIX32 " (%s)\n", h.flags, FlagNames(h.flags).c_str());
  std::printf("frames:            %" PRIu32 " (index frame count %" PRIu32 ")\n", h.frameCount, h.indexFrameCount);
  std::printf("key frames:        %" PRIu32 "%s\n", f.keyFrameCount, f.allKeyFrames ? " (all)" : "");
  std::printf("largest frame:     %" PRIu32 " bytes (largest record in the index: %" PRIu32 ")\n", h.largestFrame,
              f.largestRecord);
  std::printf("peak second:       %" PRIu32 " bytes from frame %" PRIu32 "\n", f.peakAmount, f.peakStart + 1);
  std::printf("tracks:            %" PRIu32 "\n", h.trackCount);
  for (uint32_t t = 0; t < h.trackCount; ++t) {
    const uint32_t w = c.rateWord[t];
    std::printf("  track %" PRIu32 ": id %" PRIu32 ", %" PRIu32 " Hz, %d-bit, %s, %s, largest packet %" PRIu32
                " bytes, lead %" PRIu32 " ms\n",
                t, c.trackId[t], w & 0xFFFF, (w & TRACK_16BIT) ? 16 : 8, (w & TRACK_STEREO) ? "stereo" : "mono",
                Variant(w), c.largestPacket[t], leads[t]);
  }
  if (check) {
    std::printf("checked frames:    %" PRIu32 ", corrupt %" PRIu32, checked.decoded, checked.corrupt);
    if (checked.firstCorrupt) std::printf(" (first at frame %" PRIu32 ")", checked.firstCorrupt);
    if (checked.readErrorAt) std::printf(", read error at frame %" PRIu32, checked.readErrorAt);
    std::printf("\n");
  }
  return 0;
}

const TarnCommand kInfo("info", "info MOVIE [--json] [--check]   describe a movie (MOVIE may be file|offset)", RunInfo);

}  // namespace
}  // namespace tarn::tools
