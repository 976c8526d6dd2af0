// Hostile movie files through the public calls: truncation at every section
// boundary, disordered or outlying index entries, extreme picture sizes and
// track counts, and packets that run past their frame. Each case ends in the
// open's defined text or the defined frame outcome (decoded, corrupt frame or
// read error) within kCaseByteLimit of library memory and kCaseSecondLimit.
// The cases from memory and from a preloaded file also go through every call
// of the C interface, which must end the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "capi/tarn.h"
#include "common/little_endian.h"
#include "common/last_error.h"
#include "convert/copy.h"
#include "movie/movie.h"
#include "platform/fake/fake_clock.h"
#include "movie/track_service.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/movie_builder.h"
#include "tests/support/movie_fake_sound.h"

namespace tarn {
namespace {

using test::AllocationMeter;
using test::CaseTimer;
using test::MoviePtr;
using test::PlayOutcome;

constexpr uint32_t kQuiet = OPEN_NO_THREAD;

struct TempFile {
  TempFile(const std::vector<uint8_t>& bytes, const char* name) : path(test::WriteTempFile(bytes, name)) {}
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

uint32_t Word(const std::vector<uint8_t>& b, size_t at) { return LoadLe32(b.data() + at); }
uint32_t Tracks(const std::vector<uint8_t>& b) { return Word(b, 40); }
uint32_t Frames(const std::vector<uint8_t>& b) { return Word(b, 8); }
size_t IndexAt(const std::vector<uint8_t>& b) { return 44 + 12 * size_t(Tracks(b)); }
uint32_t Entry(const std::vector<uint8_t>& b, uint32_t i) { return Word(b, IndexAt(b) + 4 * i) & ~1u; }

// Whether frame i's record can be read from a source of `available` bytes:
// it lies inside the movie and the source, ends after it starts and fits the
// header's largest frame. Otherwise loading it is a read error.
bool Readable(const std::vector<uint8_t>& b, uint32_t i, uint64_t available) {
  const uint64_t start = Entry(b, i), end = Entry(b, i + 1);
  const uint64_t length = uint64_t(Word(b, 4)) + 8;
  return start <= end && end <= length && end <= available && end - start <= Word(b, 12);
}

// The frame outcomes an image of `available` bytes must give: clean frames
// ('0') up to the first unreadable record, read errors ('E') from there on.
std::string ExpectedOutcome(const std::vector<uint8_t>& b, uint64_t available) {
  std::string out;
  bool failed = false;
  for (uint32_t i = 0; i < Frames(b); ++i) {
    failed = failed || !Readable(b, i, available);
    out += failed ? 'E' : '0';
  }
  return out;
}

// One case: the open's text when it fails, else the frame outcomes; the
// library memory and the time it took are checked against the limits.
struct Result {
  bool opened = false;
  std::string error;    // when not opened
  std::string outcome;  // when opened
  uint32_t flags = 0;
};

// The C interface on an opened image: the facts, the first tracks' whole
// sound, then frame by frame both picture formats with the display mode and
// each track's frame sound, up to the end or the first read error. The
// outcome is written as PlayOutcome's, ending at the read error.
std::string CApiOutcome(tarn_movie* m, uint32_t frames) {
  tarn_info info{};
  EXPECT_EQ(tarn_get_info(m, &info), TARN_OK);
  const uint32_t tracks = std::min(info.track_count, 4u);
  size_t count = 0;
  for (uint32_t t = 0; t < tracks; ++t) (void)tarn_get_track_audio(m, t, nullptr, 0, &count);
  std::string out;
  for (uint32_t f = 0; f < frames; ++f) {
    const tarn_status s = tarn_next_frame(m);
    if (s == TARN_END) break;
    if (s != TARN_OK) {
      EXPECT_EQ(s, TARN_ERROR_READ) << tarn_last_error(m);
      out += 'E';
      break;
    }
    tarn_frame frame{};
    EXPECT_EQ(tarn_get_frame(m, &frame), TARN_OK);
    out += frame.damaged ? 'c' : '0';
    for (tarn_format format : {TARN_FORMAT_RGBA, TARN_FORMAT_I420}) {
      size_t bytes = 0;
      EXPECT_EQ(tarn_picture_size(m, format, TARN_PICTURE_DISPLAY_MODE, nullptr, nullptr, &bytes), TARN_OK);
      if (bytes == 0) continue;
      auto picture = std::make_unique<uint8_t[]>(bytes);  // exact size, so overwrites trap
      EXPECT_EQ(tarn_get_picture(m, format, TARN_PICTURE_DISPLAY_MODE, picture.get(), bytes, 0), TARN_OK)
          << tarn_last_error(m);
    }
    for (uint32_t t = 0; t < tracks; ++t) (void)tarn_get_frame_audio(m, t, nullptr, 0, &count);
  }
  return out;
}

// capiOpen (tarn_status(tarn_movie**), or nullptr to skip the C interface)
// opens the same image through the C interface: it must open exactly when
// the movie did, with the same text, and play the movie's outcome up to its
// first read error.
template <typename OpenFn, typename CApiOpenFn = std::nullptr_t>
Result RunCase(const std::string& what, uint32_t frames, OpenFn&& open, CApiOpenFn&& capiOpen = nullptr) {
  Result r;
  AllocationMeter meter;
  CaseTimer timer;
  {
    MoviePtr m(open());
    r.opened = m != nullptr;
    if (m) {
      r.flags = m->flags;
      r.outcome = PlayOutcome(m.get(), frames);
    } else {
      r.error = MovieGetError();
    }
  }
  if constexpr (!std::is_same_v<std::decay_t<CApiOpenFn>, std::nullptr_t>) {
    tarn_movie* c = nullptr;
    const tarn_status s = capiOpen(&c);
    EXPECT_EQ(s == TARN_OK, r.opened) << what << " (C interface): " << tarn_last_error(nullptr);
    if (s == TARN_OK) {
      const size_t failed = r.outcome.find('E');
      EXPECT_EQ(CApiOutcome(c, frames), r.outcome.substr(0, failed == std::string::npos ? failed : failed + 1))
          << what << " (C interface)";
      EXPECT_EQ(tarn_close(c), TARN_OK);
    } else {
      EXPECT_EQ(s, TARN_ERROR_OPEN) << what;
      EXPECT_EQ(tarn_last_error(nullptr), r.error) << what << " (C interface)";
    }
  }
  EXPECT_EQ(meter.Live(), 0u) << what << ": the close releases everything";
  EXPECT_LE(meter.Peak(), test::kCaseByteLimit) << what;
  EXPECT_LE(timer.Seconds(), test::kCaseSecondLimit) << what;
  test::NoteCaseCost(meter.Peak(), timer.Seconds());
  return r;
}

Result FromMemory(const std::string& what, const std::vector<uint8_t>& b, size_t size, uint32_t frames) {
  auto image = std::make_unique<uint8_t[]>(size + 1);  // size + 1: a zero size still has an address
  std::copy_n(b.data(), size, image.get());
  return RunCase(what, frames, [&] { return MovieOpenMemory(image.get(), size, kQuiet); },
                 [&](tarn_movie** c) { return tarn_open_memory(image.get(), size, 0, c); });
}

Result FromFile(const std::string& what, const std::vector<uint8_t>& b, uint32_t frames, uint32_t readBuffer = kMovieUnset) {
  TempFile file(b, "hostile.trn");
  auto open = [&] {
    MovieSetReadBufferSize(readBuffer);
    return MovieOpen(file.path.c_str(), kQuiet | (readBuffer != kMovieUnset ? OPEN_READ_BUFFER_SIZE : 0));
  };
  // The C interface reads a file as the movie does by default.
  if (readBuffer != kMovieUnset) return RunCase(what, frames, open);
  return RunCase(what, frames, open, [&](tarn_movie** c) { return tarn_open_path(file.path.c_str(), 0, c); });
}

// A movie cut at any section boundary: inside the header it is not a movie,
// inside the track table or index the header cannot be read, and after the
// index the frames wholly inside play while the first cut one is a read error.
TEST(HostileMovie, TruncationAtEverySectionBoundary) {
  ScopedFakeClock clock;
  const std::vector<uint8_t> full = test::EncodedMovie(64, 48, 4, 2);
  ASSERT_GT(full.size(), 8192u) << "too small to be read through the ring";
  const uint32_t frames = Frames(full);
  const size_t tableAt = 44, indexAt = IndexAt(full), indexEnd = indexAt + 4 * (frames + 1);
  std::vector<size_t> cuts = {0, 1, 43, 44, tableAt + 4, tableAt + 12 * 2 - 1, indexAt, indexAt + 4, indexEnd - 1, indexEnd};
  for (uint32_t i = 0; i <= frames; ++i) {
    const size_t start = Entry(full, i);
    for (size_t d : {0, 1, 4, 9}) cuts.push_back(start + d);  // each length field, the first video bytes
    if (start > 0) cuts.push_back(start - 1);
  }
  for (size_t n : cuts) {
    if (n > full.size()) continue;
    const std::string what = "cut at " + std::to_string(n) + " of " + std::to_string(full.size());
    const char* text = n < 44 ? "Not a Tarn file." : n < indexEnd ? "Error reading Tarn header." : nullptr;

    const Result mem = FromMemory(what + " (memory)", full, n, frames);
    const std::vector<uint8_t> prefix(full.begin(), full.begin() + n);
    const Result preload = FromFile(what + " (file)", prefix, frames);
    const Result ring = FromFile(what + " (file, ring)", prefix, frames, 0);
    for (const Result* r : {&mem, &preload, &ring}) {
      const char* source = r == &mem ? " (memory)" : r == &preload ? " (file)" : " (file, ring)";
      ASSERT_EQ(r->opened, text == nullptr) << what << source << ": " << r->error << r->outcome;
      if (text) {
        EXPECT_EQ(r->error, text) << what;
      }
    }
    if (text) continue;
    EXPECT_EQ(mem.outcome, ExpectedOutcome(full, n)) << what;
    EXPECT_TRUE(preload.flags & OPEN_PRELOAD);
    EXPECT_EQ(preload.outcome, ExpectedOutcome(full, n)) << what << " (file)";
    // Read-ahead through the ring may meet the cut before the frame that lies
    // across it, so reading can fail earlier, never later.
    EXPECT_FALSE(ring.flags & OPEN_PRELOAD);
    const std::string expected = ExpectedOutcome(full, n);
    ASSERT_EQ(ring.outcome.size(), expected.size());
    for (size_t f = 0; f < expected.size(); ++f) {
      if (expected[f] == 'E') {
        EXPECT_EQ(ring.outcome[f], 'E') << what << " (ring) frame " << f + 1;
      }
    }
  }
}

// Index entries out of order, pointing into the header, past the end of the
// movie or of the file: each unreadable record is a read error at its frame;
// records that stay inside the movie decode (as corrupt frames at worst).
TEST(HostileMovie, IndexEntriesOutOfOrderOrBeyondTheFile) {
  ScopedFakeClock clock;
  const std::vector<uint8_t> good = test::EncodedMovie(32, 24, 5, 1);
  const uint32_t frames = Frames(good);
  const size_t at = IndexAt(good);
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, uint32_t>> entries;  // index entry, new value
  };
  const uint32_t size = uint32_t(good.size());
  const Case cases[] = {
      {"frames 2 and 3 swapped", {{2, Word(good, at + 12)}, {3, Word(good, at + 8)}}},
      {"entry 3 below entry 2", {{3, Entry(good, 2) - 2}}},
      {"frame 4 starts past the end", {{3, size + 64}}},
      {"end entry past the end", {{frames, size + 64}}},
      {"end entry at 4 GB", {{frames, 0xFFFFFFFEu}}},
      {"entry 2 inside the header", {{1, 8}}},
      {"first frame at the header", {{0, 1}}},
      {"all records empty", {{1, Entry(good, 0)}, {2, Entry(good, 0)}, {3, Entry(good, 0)}, {4, Entry(good, 0)}, {5, Entry(good, 0)}}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b = good;
    for (const auto& [i, v] : c.entries) StoreLe32(&b[at + 4 * i], v);
    for (bool file : {false, true}) {
      const std::string what = std::string(c.what) + (file ? " (file)" : " (memory)");
      const Result r = file ? FromFile(what, b, frames) : FromMemory(what, b, b.size(), frames);
      ASSERT_TRUE(r.opened) << what << ": " << r.error;
      const std::string expected = ExpectedOutcome(b, b.size());
      ASSERT_EQ(r.outcome.size(), expected.size());
      for (size_t f = 0; f < expected.size(); ++f) {
        if (expected[f] == 'E') {
          EXPECT_EQ(r.outcome[f], 'E') << what << " frame " << f + 1 << ": " << r.outcome;
        } else {
          EXPECT_NE(r.outcome[f], 'E') << what << " frame " << f + 1 << ": " << r.outcome;
        }
      }
    }
  }
}

// Width or height 0 opens and plays (nothing to draw); up to the largest side
// the planes are planned and the data decodes as corrupt frames; beyond it the
// open fails as out of memory. The copy never writes outside its buffer.
TEST(HostileMovie, ZeroAndHugePictureSides) {
  ScopedFakeClock clock;
  const std::vector<uint8_t> good = test::EncodedMovie(32, 24, 3, 0);
  const struct {
    uint32_t width, height;
    const char* text;  // nullptr: opens
  } cases[] = {
      {0, 24, nullptr},     {32, 0, nullptr},    {0, 0, nullptr},           {16384, 16, nullptr},
      {16, 16384, nullptr}, {16385, 24, "Out of memory."}, {32, 16385, "Out of memory."},
      {0xFFFFFFFFu, 0xFFFFFFFFu, "Out of memory."},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = good;
    StoreLe32(&b[20], c.width);
    StoreLe32(&b[24], c.height);
    const std::string what = std::to_string(c.width) + " x " + std::to_string(c.height);
    auto image = std::make_unique<uint8_t[]>(b.size());
    std::copy(b.begin(), b.end(), image.get());
    AllocationMeter meter;
    CaseTimer timer;
    {
      MoviePtr m(MovieOpenMemory(image.get(), b.size(), kQuiet));
      ASSERT_EQ(m != nullptr, c.text == nullptr) << what << ": " << MovieGetError();
      if (!m) {
        EXPECT_STREQ(MovieGetError(), c.text) << what;
        continue;
      }
      const uint32_t w = std::max<uint32_t>(m->width, 1), h = std::max<uint32_t>(m->height, 1);
      std::vector<uint8_t> out(size_t(w) * h * 4 + 64, 0xA5);
      for (uint32_t f = 0; f < 3; ++f) {
        ASSERT_EQ(MovieDoFrame(m.get()), 0u) << what;
        MovieCopyToBuffer(m.get(), out.data(), int32_t(w * 4), h, 0, 0, 0, 0, m->width, m->height,
                          COPY_FORMAT_32_ARGB | COPY_NEVER_SKIP | COPY_FULL);
        MovieNextFrame(m.get());
      }
      for (size_t i = size_t(w) * h * 4; i < out.size(); ++i) {
        ASSERT_EQ(out[i], 0xA5) << what << ": wrote past the buffer";
      }
      if (c.width == 0 || c.height == 0) {
        EXPECT_EQ(MovieGetRects(0, m.get()), 0u) << what;
      }
    }
    EXPECT_LE(meter.Peak(), test::kCaseByteLimit) << what;
    EXPECT_LE(timer.Seconds(), test::kCaseSecondLimit) << what;
    test::NoteCaseCost(meter.Peak(), timer.Seconds());
  }
}

// Track counts in the millions: a table the source cannot hold is a header
// read error, found before anything of its size is allocated, also when the
// header claims a movie of 4 GB; a table that is really there opens and
// plays, each frame walking every track's length field.
TEST(HostileMovie, AudioTrackCountsInTheMillions) {
  ScopedFakeClock clock;
  const std::vector<uint8_t> good = test::EncodedMovie(32, 24, 2, 1);
  for (uint32_t count : {1000000u, 100000000u, 0xFFFFFFFFu}) {
    for (bool claimHuge : {false, true}) {
      std::vector<uint8_t> b = good;
      StoreLe32(&b[40], count);
      if (claimHuge) StoreLe32(&b[4], 0xFFFFFFF0u);
      const std::string what = std::to_string(count) + " tracks" + (claimHuge ? ", 4 GB claimed" : "");
      const Result mem = FromMemory(what + " (memory)", b, b.size(), 2);
      const Result file = FromFile(what + " (file)", b, 2);
      for (const Result* r : {&mem, &file}) {
        EXPECT_FALSE(r->opened) << what;
        EXPECT_EQ(r->error, "Error reading Tarn header.") << what;
      }
    }
  }

  // The same for an index of a billion entries.
  {
    std::vector<uint8_t> b = good;
    StoreLe32(&b[16], 0x3FFFFFFFu);
    StoreLe32(&b[4], 0xFFFFFFF0u);
    const Result r = FromFile("an index of 4 GB, 4 GB claimed", b, 2);
    EXPECT_EQ(r.error, "Error reading Tarn header.");
  }

  // A million tracks that are there: 12 MB of table, 4 MB of zero length
  // fields in front of each frame's video data.
  const std::vector<uint8_t> plain = test::EncodedMovie(32, 24, 2, 0);
  const uint32_t tracks = 1000000;
  const uint32_t first = Entry(plain, 0), second = Entry(plain, 1), end = Entry(plain, 2);
  const size_t indexAt = 44 + size_t(12) * tracks;
  const size_t records = indexAt + 12;
  std::vector<uint8_t> b(records);
  std::copy_n(plain.begin(), 44, b.begin());
  StoreLe32(&b[40], tracks);
  for (uint32_t t = 0; t < tracks; ++t) StoreLe32(&b[44 + size_t(4) * (tracks + t)], TRACK_CODEC_B | TRACK_16BIT | 22050);
  std::vector<uint32_t> at;
  for (auto [from, to] : {std::pair{first, second}, std::pair{second, end}}) {
    at.push_back(uint32_t(b.size()));
    b.resize(b.size() + size_t(4) * tracks, 0);
    b.insert(b.end(), plain.begin() + from, plain.begin() + to);
  }
  at.push_back(uint32_t(b.size()));
  for (int i = 0; i < 3; ++i) StoreLe32(&b[indexAt + 4 * i], at[i] | (i == 0 ? 1 : 0));
  StoreLe32(&b[4], uint32_t(b.size() - 8));
  StoreLe32(&b[12], std::max(at[1] - at[0], at[2] - at[1]));
  StoreLe32(&b[16], 2);
  const Result mem = FromMemory("a million tracks present", b, b.size(), 2);
  ASSERT_TRUE(mem.opened) << mem.error;
  EXPECT_EQ(mem.outcome, "00");
}

// A track's packet length that runs past its frame: that frame is corrupt,
// the others clean. A decoded byte count far beyond what the packet holds
// (track 0 is played, through the fake back-end) stops at the packet's end.
TEST(HostileMovie, PacketLengthsBeyondTheFrame) {
  ScopedFakeClock clock;
  test::ResetFakeSound();
  SoundResetSystemForTesting();
  ASSERT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1);
  const std::vector<uint8_t> good = test::EncodedMovie(32, 24, 3, 2);
  const uint32_t start = Entry(good, 1), end = Entry(good, 2);
  const uint32_t firstLength = Word(good, start);
  ASSERT_GT(firstLength, 0u);
  const size_t second = start + 4 + firstLength;  // the second track's length field
  const struct {
    const char* what;
    size_t at;
    uint32_t value;
    const char* outcome;
  } cases[] = {
      {"first length 4 GB", start, 0xFFFFFFFFu, "0c0"},
      {"first length one past the record", start, end - start - 4 + 1, "0c0"},
      {"first length to the record end", start, end - start - 4, "0c0"},
      {"second length past the record", second, end - uint32_t(second), "0c0"},
      {"decoded count 4 GB", start + 4, 0xFFFFFFFFu, "000"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = good;
    StoreLe32(&b[c.at], c.value);
    const Result r = FromMemory(c.what, b, b.size(), 3);
    ASSERT_TRUE(r.opened) << c.what << ": " << r.error;
    EXPECT_EQ(r.outcome, c.outcome) << c.what;
  }
  EXPECT_FALSE(test::FakeSound().opens.empty()) << "track 0 was played";
  SoundResetSystemForTesting();
}

}  // namespace
}  // namespace tarn
