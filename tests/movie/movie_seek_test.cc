// MovieGoto: the picture after a jump equals the picture sequential playback
// shows at that frame, whatever the source; the sound restarts at the frame's
// time with the movie's own lead; the clock, the pause and the summary.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "audio/audio_decoder.h"
#include "common/last_error.h"
#include "common/movie_time.h"
#include "encoder/audio_encoder.h"
#include "encoder/movie_encoder.h"
#include "movie/movie.h"
#include "movie/movie_testing.h"
#include "movie/movie_writer.h"
#include "platform/fake/fake_clock.h"
#include "movie/track_service.h"
#include "tests/support/movie_builder.h"
#include "tests/support/movie_fake_sound.h"

namespace tarn {
namespace {

struct MovieCloser {
  void operator()(Movie* m) const { MovieClose(m); }
};
using MoviePtr = std::unique_ptr<Movie, MovieCloser>;

constexpr uint32_t kFrames = 30;

// Noise drifting over the top half, below it a picture that changes every ten
// frames: inter frames use motion and skip blocks, a destination that missed
// a jump keeps a stale bottom, and a file is large enough for a ring.
std::vector<uint8_t> EncodeMovie(char revision, uint32_t keyInterval, bool alpha, bool grey) {
  std::mt19937 rng(revision * 131 + keyInterval);
  std::vector<encoder::Picture> pictures(kFrames);
  for (uint32_t f = 0; f < kFrames; ++f) {
    encoder::Picture& p = pictures[f];
    p.Resize(176, 120, alpha);
    for (uint32_t y = 0; y < p.height; ++y) {
      for (uint32_t x = 0; x < p.width; ++x) {
        const size_t i = size_t(y) * p.width + x;
        p.y[i] = y < p.height / 2 ? uint8_t((x * 3 + y + f * 5) + rng() % 48) : uint8_t(x + 60 * (f / 10));
        if (alpha) p.a[i] = uint8_t(x + f * 9);
      }
    }
    for (size_t i = 0; i < p.cb.size(); ++i) {
      const bool top = i < p.cb.size() / 2;
      p.cb[i] = uint8_t(100 + (i + (top ? f * 3 : f / 10 * 20)) % 60);
      p.cr[i] = top ? uint8_t(90 + rng() % 80) : uint8_t(120 + f / 10 * 30);
    }
  }
  encoder::EncodeOptions opts;
  opts.rateNumerator = 30;
  opts.revision = revision;
  opts.keyInterval = keyInterval;
  opts.alpha = alpha;
  opts.grey = grey;
  std::vector<uint8_t> movie;
  std::string why;
  EXPECT_TRUE(encoder::EncodeMovieMemory(pictures, {}, opts, movie, &why)) << why;
  return movie;
}

// Copies the current frame into screen (32-bit pixels with alpha), whole or
// only its changed blocks as a player does, and hashes (FNV-1a) what screen
// then shows.
uint64_t CopyAndHash(Movie* m, std::vector<uint8_t>& screen, uint32_t flags) {
  screen.resize(size_t(m->width) * m->height * 4);
  EXPECT_EQ(MovieCopyToBuffer(m, screen.data(), int32_t(m->width * 4), m->height, 0, 0, 0, 0, m->width, m->height,
                              COPY_FORMAT_32_ABGR | flags),
            0);
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : screen) h = (h ^ b) * 1099511628211ull;
  return h;
}

// The sources, by number: memory, a preloaded file, the file through a
// one-slot ring (every jump flushes it or skips inside it), and the movie 777
// bytes into a larger file, through a descriptor and a ring.
constexpr const char* kSources[] = {"memory", "preloaded file", "file, ring", "offset in a file, ring"};

MoviePtr OpenFrom(int source, const std::vector<uint8_t>& image, const std::string& path, const std::string& carrier,
                  uint32_t flags, int& fd) {
  if (source == 0) return MoviePtr(MovieOpenMemory(image.data(), image.size(), flags));
  if (source == 1) return MoviePtr(MovieOpen(path.c_str(), flags | OPEN_PRELOAD));
  MovieSetReadBufferSize(1);
  if (source == 2) return MoviePtr(MovieOpen(path.c_str(), flags | OPEN_READ_BUFFER_SIZE));
  fd = ::open(carrier.c_str(), O_RDONLY);
  EXPECT_EQ(::lseek(fd, 777, SEEK_SET), 777);
  return MoviePtr(MovieOpen(reinterpret_cast<const void*>(intptr_t(fd)), flags | OPEN_FILE_HANDLE | OPEN_READ_BUFFER_SIZE));
}

TEST(MovieGoto, EveryFrameEqualsSequentialPlaybackFromEverySource) {
  struct Case {
    char revision;
    uint32_t keyInterval;  // 1: every frame a key frame (one buffer set); 0: only the first
    bool alpha, grey;
  };
  const Case cases[] = {{'i', 7, true, false}, {'h', 1, false, true}, {'g', 0, false, false}, {'f', 4, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("revision ") + c.revision + ", key frames every " + std::to_string(c.keyInterval));
    const std::vector<uint8_t> image = EncodeMovie(c.revision, c.keyInterval, c.alpha, c.grey);
    const std::string path = test::WriteTempFile(image, "seek.trn");
    std::vector<uint8_t> carrier(777 + image.size(), 0xEE);
    std::copy(image.begin(), image.end(), carrier.begin() + 777);
    const std::string carrierPath = test::WriteTempFile(carrier, "seek_carrier.bin");
    const uint32_t flags = OPEN_NO_THREAD | (c.alpha ? OPEN_ALPHA : 0);

    std::vector<uint64_t> expected(kFrames + 1);
    {
      MoviePtr m(MovieOpenMemory(image.data(), image.size(), flags));
      ASSERT_TRUE(m) << MovieGetError();
      for (uint32_t f = 1; f <= kFrames; ++f) {
        ASSERT_EQ(MovieDoFrame(m.get()), 0u);
        std::vector<uint8_t> fresh;
        expected[f] = CopyAndHash(m.get(), fresh, COPY_FULL);
        MovieNextFrame(m.get());
      }
    }
    std::vector<uint32_t> order(kFrames);
    std::iota(order.begin(), order.end(), 1u);
    std::shuffle(order.begin(), order.end(), std::mt19937(c.keyInterval));
    for (int source = 0; source < 4; ++source) {
      SCOPED_TRACE(kSources[source]);
      int fd = -1;
      MoviePtr m = OpenFrom(source, image, path, carrierPath, flags, fd);
      ASSERT_TRUE(m) << MovieGetError();
      ASSERT_EQ((m->flags & OPEN_PRELOAD) != 0, source == 1) << "a ring is in use";
      uint32_t shown = 0;
      std::vector<uint8_t> screen;
      auto show = [&](uint32_t n) {
        ASSERT_EQ(MovieDoFrame(m.get()), 0u);
        ++shown;
        ASSERT_EQ(CopyAndHash(m.get(), screen, 0), expected[n]) << "frame " << n;
      };
      for (uint32_t n : order) {
        ASSERT_EQ(MovieGoto(m.get(), n), 1u) << MovieGetError();
        show(n);
        if (n < kFrames && n % 3 == 0) {  // playback goes on from there
          MovieNextFrame(m.get());
          show(n + 1);
        }
      }
      PlaybackSummary sum{};
      MovieGetSummary(m.get(), &sum);
      EXPECT_EQ(sum.framesPlayed, shown) << "frames decoded only on the way are not counted";
      m.reset();
      if (fd >= 0) ::close(fd);
    }
  }
}

// A mono track whose every frame lasts one audio block; frame 1 brings three
// more blocks of lead, so frame k (k >= 2) carries block k + 2.
struct LeadMovie {
  std::vector<uint8_t> image;
  std::vector<uint8_t> stream;  // every block decoded in order
  uint32_t blockBytes = 0;      // decoded bytes of one block
  uint32_t overlapBytes = 0;    // of them, cross-faded with the block before
};

LeadMovie MakeLeadMovie(uint32_t frames) {
  encoder::AudioEncoder enc({22050, 1, true, 70});
  const uint32_t advance = enc.BlockAdvance();
  std::vector<std::vector<uint8_t>> blocks(frames + 3);
  std::vector<int16_t> samples(enc.FrameLength());
  for (size_t b = 0; b < blocks.size(); ++b) {
    for (uint32_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(9000 * std::sin(0.031 * double(b * advance + i)) + 500 * ((b * 7 + i) % 5));
    enc.EncodeBlock(samples.data(), blocks[b]);
  }
  LeadMovie out;
  out.blockBytes = advance * 2;
  MovieWriterInfo info{.width = 16, .height = 16, .rateNumerator = 22050, .rateDenominator = advance};
  info.tracks.push_back({.rateWord = 22050 | TRACK_CODEC_B | TRACK_16BIT, .id = 0});
  MovieWriter w(info);
  const std::vector<uint8_t> video(16, 0);
  for (uint32_t f = 0; f < frames; ++f) {
    MovieAudioPacket p{true, 0, {}};
    for (uint32_t b = f == 0 ? 0 : f + 3; b <= f + 3; ++b) {
      p.data.insert(p.data.end(), blocks[b].begin(), blocks[b].end());
      p.decodedBytes += out.blockBytes;
    }
    w.AddFrame(true, std::span<const MovieAudioPacket>(&p, 1), video);
  }
  EXPECT_TRUE(w.Finish(out.image));
  AudioDecoder* d = AudioDecoderOpen(22050, 1, true);
  out.overlapBytes = AudioDecoderOverlapBytes(d);
  for (const auto& b : blocks) {
    const int16_t* s = nullptr;
    uint32_t n = 0;
    AudioDecodeBlock(d, b.data(), b.data() + b.size(), &s, &n, nullptr);
    out.stream.insert(out.stream.end(), reinterpret_cast<const uint8_t*>(s), reinterpret_cast<const uint8_t*>(s) + n);
  }
  AudioDecoderClose(d);
  return out;
}

std::vector<uint8_t> RingBytes(const SoundTrack& t) {
  std::vector<uint8_t> out;
  const uint8_t* p = t.readPos;
  for (uint32_t i = 0; i < t.fillCount; ++i) {
    out.push_back(*p);
    if (++p == t.ringEnd) p = t.ringStart;
  }
  return out;
}

TEST(MovieGoto, SoundRestartsAtTheFrameWithTheMoviesLead) {
  const LeadMovie lm = MakeLeadMovie(24);
  test::ResetFakeSound();
  SoundResetSystemForTesting();
  ASSERT_EQ(MovieSetSoundSystem(test::FakeSoundProvider, nullptr), 1);
  test::FakeSoundDevice& dev = test::FakeSound().devices[0];
  dev.ready = false;  // nothing drains: the ring shows what was decoded
  MoviePtr m(MovieOpenMemory(lm.image.data(), lm.image.size(), OPEN_NO_THREAD | OPEN_NO_VIDEO_BUFFERS));
  ASSERT_TRUE(m) << MovieGetError();
  const SoundTrack& t = MovieInternalsForTesting(m.get()).tracks[0];
  const uint32_t b = lm.blockBytes;
  // Frame n's time is block n - 1: after the jump and frame n's decode the ring
  // holds the three blocks of lead from there, then frame n's own block,
  // exactly as decoding the track from its start gives them.
  for (uint32_t n : {9u, 3u, 2u, 20u, 24u, 30u, 1u, 12u}) {
    SCOPED_TRACE(n);
    const bool paused = n == 20;
    if (paused) MoviePause(m.get(), 1);
    const int enables = dev.enableCalls, pauses = dev.pauseCalls;
    ASSERT_EQ(MovieGoto(m.get(), n), 1u);
    EXPECT_EQ(dev.enableCalls, enables + 2) << "switched off and on";
    if (paused) {
      EXPECT_TRUE(dev.pauseCalls == pauses + 1 && dev.lastPause == 1) << "a paused movie keeps its sound paused";
    }
    const uint32_t frame = std::min(n, 24u);
    if (frame == 1) {
      EXPECT_EQ(t.fillCount, 0u) << "frame 1 brings its own lead, as at the start";
    }
    ASSERT_EQ(MovieDoFrame(m.get()), 0u);
    // Frame 1's first block cross-fades with the last one decoded before the
    // jump, as any first block after a jump does; later ones are exact.
    const size_t from = size_t(frame - 1) * b, to = frame == 1 ? 4 * b : size_t(frame + 3) * b;
    const size_t faded = frame == 1 ? lm.overlapBytes : 0;
    const std::vector<uint8_t> ring = RingBytes(t);
    ASSERT_EQ(ring.size(), to - from);
    EXPECT_TRUE(std::equal(ring.begin() + faded, ring.end(), lm.stream.begin() + from + faded));
    if (paused) MoviePause(m.get(), 0);
  }
  m.reset();
  SoundResetSystemForTesting();
}

// The clock, the pause, a number beyond the movie, frame 0, and a damaged
// record, which fails only the jumps that read it.
TEST(MovieGoto, ClockPauseClampAndRefusals) {
  ScopedFakeClock clock;
  std::vector<uint8_t> image = test::BuildMovie({.frames = 10, .keyEvery = 3});  // key frames 1, 4, 7, 10
  const uint32_t bad = 0xFFFFFF00u;  // frame 9's index entry points past the movie (frames 8 and 9 unreadable)
  std::memcpy(&image[44 + 8 * 4], &bad, 4);
  MoviePtr m(MovieOpenMemory(image.data(), image.size(), OPEN_NO_THREAD | OPEN_NO_VIDEO_BUFFERS));
  ASSERT_TRUE(m);
  ASSERT_EQ(MovieDoFrame(m.get()), 0u);
  MovieNextFrame(m.get());
  clock.clock.Advance(5000);  // far behind: the jump forgives it
  EXPECT_EQ(MovieGoto(m.get(), 4), 1u);
  EXPECT_EQ(MovieWait(m.get()), 0u) << "due at once";
  ASSERT_EQ(MovieDoFrame(m.get()), 0u);
  EXPECT_EQ(m->previousFrame, 4u);
  MovieNextFrame(m.get());
  EXPECT_EQ(MovieWait(m.get()), 1u) << "the next one a frame later";
  clock.clock.Advance(34);
  EXPECT_EQ(MovieWait(m.get()), 0u);

  EXPECT_EQ(MoviePause(m.get(), 1), 1u);
  EXPECT_EQ(MovieGoto(m.get(), 99), 1u);
  EXPECT_EQ(m->currentFrame, 10u) << "beyond the movie: the last frame";
  EXPECT_EQ(MovieWait(m.get()), 1u) << "still paused";
  EXPECT_EQ(MoviePause(m.get(), 0), 0u);
  EXPECT_EQ(MovieWait(m.get()), 0u);

  EXPECT_EQ(MovieGoto(m.get(), 0), 0u);
  EXPECT_STREQ(MovieGetError(), "Frame numbers count from 1.");
  EXPECT_EQ(m->currentFrame, 10u) << "a refused jump changes nothing";
  EXPECT_EQ(MovieGoto(nullptr, 3), 0u);
  EXPECT_EQ(MovieKeyFrame(m.get(), 6), 4u);
  EXPECT_EQ(MovieKeyFrame(m.get(), 99), 10u);
  EXPECT_EQ(MovieKeyFrame(m.get(), 0), 0u);

  EXPECT_EQ(MovieGoto(m.get(), 9), 0u);
  EXPECT_STREQ(MovieGetError(), "Error reading frame 9.");
  EXPECT_EQ(MovieDoFrame(m.get()), 1u);
  EXPECT_EQ(MovieGoto(m.get(), 6), 1u) << "records elsewhere still read";
  EXPECT_EQ(MovieDoFrame(m.get()), 0u);
}

}  // namespace
}  // namespace tarn
