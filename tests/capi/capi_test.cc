// The C interface against the movie library it wraps: every kind of source
// gives the same movie, pictures match the library's own copy in every
// format and display mode, sound fetched frame by frame adds up to the whole
// track, every entry point refuses bad handles and arguments with a code,
// and damaged images end in codes, never in a crash.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capi/tarn.h"
#include "convert/copy.h"
#include "encoder/movie_encoder.h"
#include "movie/movie.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

struct Recipe {
  uint32_t width = 37, height = 22, frames = 6, tracks = 1, display = 0;
  bool alpha = false, grey = false;
  char revision = 'i';
};

// A real encoded movie: a moving colour pattern, optional alpha, and tracks
// of 22050 Hz stereo tones.
std::vector<uint8_t> Encoded(const Recipe& r) {
  std::vector<encoder::Picture> pictures(r.frames);
  for (uint32_t f = 0; f < r.frames; ++f) {
    encoder::Picture& p = pictures[f];
    p.Resize(r.width, r.height, r.alpha);
    for (uint32_t y = 0; y < r.height; ++y) {
      for (uint32_t x = 0; x < r.width; ++x) {
        p.y[size_t(y) * r.width + x] = uint8_t(16 + (x * 5 + y * 3 + f * 11) % 200);
        if (r.alpha) p.a[size_t(y) * r.width + x] = uint8_t(x * 7 + f);
      }
    }
    for (size_t i = 0; i < p.cb.size(); ++i) {
      p.cb[i] = uint8_t(64 + (i * 3 + f * 5) % 128);
      p.cr[i] = uint8_t(200 - (i * 2 + f) % 128);
    }
  }
  std::vector<encoder::MemoryTrack> tracks(r.tracks);
  for (uint32_t t = 0; t < r.tracks; ++t) {
    encoder::Sound& s = tracks[t].sound;
    s.sampleRate = 22050;
    s.channels = 2;
    s.samples.resize(size_t(22050) * r.frames / 10 * 2);
    for (size_t i = 0; i < s.samples.size(); ++i) s.samples[i] = int16_t(7000 * std::sin(0.03 * double(i) * (t + 1)));
    tracks[t].id = 40 + t;
  }
  encoder::EncodeOptions o;
  o.rateNumerator = 10;
  o.alpha = r.alpha;
  o.grey = r.grey;
  o.display = r.display;
  o.revision = r.revision;
  o.keyInterval = 3;
  std::vector<uint8_t> movie;
  std::string why;
  EXPECT_TRUE(encoder::EncodeMovieMemory(pictures, tracks, o, movie, &why)) << why;
  return movie;
}

struct Handle {
  tarn_movie* m = nullptr;
  ~Handle() {
    if (m) tarn_close(m);
  }
};

std::vector<uint8_t> Picture(tarn_movie* m, tarn_format format, uint32_t options) {
  size_t bytes = 0;
  EXPECT_EQ(tarn_picture_size(m, format, options, nullptr, nullptr, &bytes), TARN_OK);
  std::vector<uint8_t> out(bytes);
  EXPECT_EQ(tarn_get_picture(m, format, options, out.data(), out.size(), 0), TARN_OK) << tarn_last_error(m);
  return out;
}

std::vector<int16_t> Sound(tarn_movie* m, uint32_t track, bool whole) {
  auto fetch = whole ? tarn_get_track_audio : tarn_get_frame_audio;
  size_t count = 0;
  EXPECT_EQ(fetch(m, track, nullptr, 0, &count), TARN_OK) << tarn_last_error(m);
  std::vector<int16_t> out(count);
  EXPECT_EQ(fetch(m, track, out.data(), out.size(), &count), TARN_OK);
  return out;
}

// Every frame's RGBA picture and sound, decoded to the end.
struct Played {
  tarn_info info{};
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<int16_t> sound;
};
Played Play(tarn_movie* m) {
  Played p;
  EXPECT_EQ(tarn_get_info(m, &p.info), TARN_OK);
  tarn_status s;
  while ((s = tarn_next_frame(m)) == TARN_OK) {
    p.pictures.push_back(Picture(m, TARN_FORMAT_RGBA, 0));
    if (p.info.track_count) {
      const std::vector<int16_t> v = Sound(m, 0, false);
      p.sound.insert(p.sound.end(), v.begin(), v.end());
    }
  }
  EXPECT_EQ(s, TARN_END) << tarn_last_error(m);
  EXPECT_EQ(tarn_next_frame(m), TARN_END);
  return p;
}

TEST(CApi, EverySourceGivesTheSameMovie) {
  const std::vector<uint8_t> movie = Encoded({});
  Handle memory;
  ASSERT_EQ(tarn_open_memory(movie.data(), movie.size(), 0, &memory.m), TARN_OK);
  const Played reference = Play(memory.m);
  EXPECT_EQ(reference.info.width, 37u);
  EXPECT_EQ(reference.info.frame_count, 6u);
  EXPECT_EQ(reference.info.key_frame_count, 2u);
  EXPECT_EQ(reference.info.revision, uint32_t('i'));
  EXPECT_EQ(reference.info.track_count, 1u);
  EXPECT_EQ(reference.pictures.size(), 6u);
  tarn_track track{};
  ASSERT_EQ(tarn_get_track(memory.m, 0, &track), TARN_OK);
  EXPECT_EQ(track.id, 40u);
  EXPECT_EQ(track.sample_rate, 22050u);
  EXPECT_EQ(track.channels, 2u);
  EXPECT_EQ(track.codec, TARN_CODEC_DCT);
  // Frame by frame, the sound is the whole track.
  EXPECT_EQ(reference.sound, Sound(memory.m, 0, true));
  EXPECT_GT(reference.sound.size(), size_t(22050 / 2));

  // The same bytes inside a larger file, after 1000 bytes of something else.
  std::vector<uint8_t> carrier(1000 + movie.size() + 77, 0x5A);
  std::copy(movie.begin(), movie.end(), carrier.begin() + 1000);
  const std::string plain = test::WriteTempFile(movie, "capi_plain.trn");
  const std::string inside = test::WriteTempFile(carrier, "capi_inside.bin");
  Handle path, offset, fd;
  ASSERT_EQ(tarn_open_path(plain.c_str(), 0, &path.m), TARN_OK) << tarn_last_error(nullptr);
  ASSERT_EQ(tarn_open_path_offset(inside.c_str(), 1000, TARN_OPEN_READ_AHEAD, &offset.m), TARN_OK);
  const int descriptor = ::open(inside.c_str(), O_RDONLY);
  ASSERT_GE(descriptor, 0);
  ASSERT_EQ(::lseek(descriptor, 1000, SEEK_SET), 1000);
  ASSERT_EQ(tarn_open_fd(descriptor, 0, &fd.m), TARN_OK) << tarn_last_error(nullptr);
  EXPECT_EQ(::lseek(descriptor, 0, SEEK_CUR), 1000) << "the caller's position moved";
  ::close(descriptor);  // the handle reads through its own description
  for (tarn_movie* m : {path.m, offset.m, fd.m}) {
    const Played p = Play(m);
    EXPECT_EQ(std::memcmp(&p.info, &reference.info, sizeof p.info), 0);
    EXPECT_EQ(p.pictures, reference.pictures);
    EXPECT_EQ(p.sound, reference.sound);
    EXPECT_EQ(Sound(m, 0, true), reference.sound);
  }
  // A jump shows what playing shows there, and decoding goes on from it; a
  // frame past the end is the last one.
  for (uint32_t n : {4u, 1u, 6u, 2u, 99u}) {
    ASSERT_EQ(tarn_goto_frame(fd.m, n), TARN_OK) << n;
    tarn_frame f{};
    ASSERT_EQ(tarn_get_frame(fd.m, &f), TARN_OK);
    EXPECT_EQ(f.number, std::min(n, 6u));
    EXPECT_EQ(Picture(fd.m, TARN_FORMAT_RGBA, 0), reference.pictures[f.number - 1]) << n;
    if (f.number < 6) {
      ASSERT_EQ(tarn_next_frame(fd.m), TARN_OK);
      EXPECT_EQ(Picture(fd.m, TARN_FORMAT_RGBA, 0), reference.pictures[f.number]) << n;
    }
  }
  EXPECT_EQ(tarn_goto_frame(fd.m, 0), TARN_ERROR_ARGUMENT);
  std::remove(plain.c_str());
  std::remove(inside.c_str());
}

// Each format and display mode against MovieCopyToBuffer on a movie opened
// with that mode; I420 against the decoder's planes.
TEST(CApi, PicturesMatchTheLibrarysCopy) {
  struct Case {
    Recipe recipe;
    tarn_format format;
    uint32_t copyFormat;
  };
  const Case cases[] = {
      {{.alpha = true}, TARN_FORMAT_RGBA, COPY_FORMAT_32_ABGR},
      {{.alpha = true}, TARN_FORMAT_BGRA, COPY_FORMAT_32_ARGB},
      {{.display = 4}, TARN_FORMAT_RGBA, COPY_FORMAT_32_XBGR},
      {{.display = 1, .revision = 'g'}, TARN_FORMAT_RGB24, COPY_FORMAT_24_BGR},
      {{.display = 3, .grey = true}, TARN_FORMAT_BGRA, COPY_FORMAT_32_XRGB},
      {{.display = 5}, TARN_FORMAT_RGB24, COPY_FORMAT_24_BGR},
      {{.display = 6}, TARN_FORMAT_RGBA, COPY_FORMAT_32_XBGR},
      {{.width = 36, .display = 2, .revision = 'f'}, TARN_FORMAT_RGBA, COPY_FORMAT_32_XBGR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("display " + std::to_string(c.recipe.display) + " format " + std::to_string(c.format));
    const std::vector<uint8_t> bytes = Encoded(c.recipe);
    Handle h;
    ASSERT_EQ(tarn_open_memory(bytes.data(), bytes.size(), 0, &h.m), TARN_OK);
    Movie* shown = MovieOpenMemory(bytes.data(), bytes.size(), OPEN_NO_THREAD | OPEN_ALPHA);
    ASSERT_NE(shown, nullptr);
    tarn_info info{};
    ASSERT_EQ(tarn_get_info(h.m, &info), TARN_OK);
    EXPECT_EQ(info.display_mode, c.recipe.display);
    EXPECT_EQ(info.display_width, shown->width);
    EXPECT_EQ(info.display_height, shown->height);
    const uint32_t bpp = CopyFormatBytesPerPixel(c.copyFormat);
    for (uint32_t f = 0; f < 3; ++f) {
      ASSERT_EQ(tarn_next_frame(h.m), TARN_OK);
      if (f) MovieNextFrame(shown);
      ASSERT_EQ(MovieDoFrame(shown), 0u);
      // A pitch wider than a line, with guard bytes after it.
      const size_t pitch = size_t(shown->width) * bpp + 5;
      std::vector<uint8_t> ours(pitch * shown->height, 0xEE), theirs(pitch * shown->height, 0);
      ASSERT_EQ(tarn_get_picture(h.m, c.format, TARN_PICTURE_DISPLAY_MODE, ours.data(), ours.size(), int32_t(pitch)),
                TARN_OK);
      (void)MovieCopyToBuffer(shown, theirs.data(), int32_t(pitch), shown->height, 0, 0, 0, 0, shown->width,
                              shown->height, c.copyFormat | COPY_FULL | COPY_NEVER_SKIP);
      for (size_t y = 0; y < shown->height; ++y) {
        for (size_t x = 0; x < size_t(shown->width) * bpp; ++x) {
          const bool opaqueByte = bpp == 4 && x % 4 == 3 && !c.recipe.alpha;
          const uint8_t want = opaqueByte ? 255 : theirs[y * pitch + x];
          ASSERT_EQ(ours[y * pitch + x], want) << "at byte " << x << " of line " << y;
        }
        for (size_t x = size_t(shown->width) * bpp; x < pitch; ++x) ASSERT_EQ(ours[y * pitch + x], 0xEE);
      }
      // I420 at the coded size is the decoder's planes, Cb first; doubled, each
      // sample covers its 2 x 2 pixels.
      MoviePlanes planes{};
      ASSERT_TRUE(MovieGetPlanes(shown, &planes));
      const int cb = planes.chromaSwapped ? PLANE_CHROMA1 : PLANE_CHROMA2;
      const int cr = planes.chromaSwapped ? PLANE_CHROMA2 : PLANE_CHROMA1;
      const uint32_t w = planes.pictureWidth, ht = planes.pictureHeight, cw = (w + 1) / 2, ch = (ht + 1) / 2;
      const std::vector<uint8_t> i420 = Picture(h.m, TARN_FORMAT_I420, 0);
      ASSERT_EQ(i420.size(), size_t(w) * ht + 2 * size_t(cw) * ch);
      for (uint32_t y = 0; y < ht; ++y)
        for (uint32_t x = 0; x < w; ++x) ASSERT_EQ(i420[y * w + x], planes.plane[PLANE_LUMA][y * planes.stride[PLANE_LUMA] + x]);
      for (int p : {cb, cr}) {
        const uint8_t* want = planes.plane[p];
        const uint8_t* got = i420.data() + size_t(w) * ht + (p == cb ? 0 : size_t(cw) * ch);
        for (uint32_t y = 0; y < ch; ++y)
          for (uint32_t x = 0; x < cw; ++x) ASSERT_EQ(got[y * cw + x], c.recipe.grey ? 128 : want[y * planes.stride[p] + x]);
      }
      if (c.recipe.display == 2) {  // interlaced: the lines left out are black
        const std::vector<uint8_t> tall = Picture(h.m, TARN_FORMAT_I420, TARN_PICTURE_DISPLAY_MODE);
        ASSERT_EQ(tall.size(), size_t(w) * 2 * ht + 2 * size_t(cw) * ht);
        for (uint32_t y = 0; y < 2 * ht; ++y) {
          for (uint32_t x = 0; x < w; ++x) {
            ASSERT_EQ(tall[y * w + x], y % 2 ? 16 : i420[(y / 2) * w + x]) << "line " << y;
          }
        }
        for (uint32_t y = 0; y < 2 * ht; ++y) {  // both chroma planes, ht lines each
          for (uint32_t x = 0; x < cw; ++x) {
            const size_t from = size_t(w) * ht + (y / ht) * size_t(cw) * ch + (y % ht / 2) * cw + x;
            ASSERT_EQ(tall[size_t(w) * 2 * ht + y * cw + x], y % 2 ? 128 : i420[from]) << "chroma line " << y;
          }
        }
      }
      if (c.recipe.display == 4) {
        const std::vector<uint8_t> big = Picture(h.m, TARN_FORMAT_I420, TARN_PICTURE_DISPLAY_MODE);
        ASSERT_EQ(big.size(), size_t(2 * w) * 2 * ht + 2 * size_t(w) * ht);
        for (uint32_t y = 0; y < 2 * ht; ++y)
          for (uint32_t x = 0; x < 2 * w; ++x) ASSERT_EQ(big[y * 2 * w + x], i420[(y / 2) * w + x / 2]);
        for (uint32_t y = 0; y < ht; ++y)
          for (uint32_t x = 0; x < w; ++x)
            ASSERT_EQ(big[4 * size_t(w) * ht + y * w + x], i420[size_t(w) * ht + (y / 2) * cw + x / 2]);
      }
    }
    MovieClose(shown);
  }
}

// Every entry point, on bad handles and bad arguments.
TEST(CApi, BadHandlesAndArgumentsGiveCodes) {
  const std::vector<uint8_t> bytes = Encoded({.frames = 2});
  Handle open, closed, blind;
  ASSERT_EQ(tarn_open_memory(bytes.data(), bytes.size(), 0, &open.m), TARN_OK);
  ASSERT_EQ(tarn_open_memory(bytes.data(), bytes.size(), 0, &closed.m), TARN_OK);
  ASSERT_EQ(tarn_open_memory(bytes.data(), bytes.size(), TARN_OPEN_NO_PICTURES, &blind.m), TARN_OK);
  ASSERT_EQ(tarn_close(closed.m), TARN_OK);
  tarn_movie* const stale = closed.m;
  closed.m = nullptr;
  tarn_movie* const madeUp = reinterpret_cast<tarn_movie*>(uintptr_t(0x7A000003) + 0x1000);
  tarn_info info;
  tarn_track track;
  tarn_frame frame;
  tarn_planes planes;
  int key;
  size_t count;
  uint8_t pixels[64];
  int16_t samples[8];
  for (tarn_movie* bad : {static_cast<tarn_movie*>(nullptr), stale, madeUp}) {
    EXPECT_EQ(tarn_close(bad), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_get_info(bad, &info), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_is_key_frame(bad, 1, &key), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_get_track(bad, 0, &track), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_next_frame(bad), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_goto_frame(bad, 1), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_get_frame(bad, &frame), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_picture_size(bad, TARN_FORMAT_RGBA, 0, nullptr, nullptr, nullptr), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_get_picture(bad, TARN_FORMAT_RGBA, 0, pixels, sizeof pixels, 0), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_get_planes(bad, &planes), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_get_frame_audio(bad, 0, samples, 8, &count), TARN_ERROR_HANDLE);
    EXPECT_EQ(tarn_get_track_audio(bad, 0, samples, 8, &count), TARN_ERROR_HANDLE);
    EXPECT_STRNE(tarn_last_error(bad), "");
  }
  tarn_movie* m = open.m;
  struct Call {
    const char* what;
    tarn_status got, want;
  };
  const Call calls[] = {
      {"no frame yet", tarn_get_picture(m, TARN_FORMAT_RGBA, 0, pixels, sizeof pixels, 0), TARN_ERROR_NO_FRAME},
      {"no frame yet (planes)", tarn_get_planes(m, &planes), TARN_ERROR_NO_FRAME},
      {"no frame yet (sound)", tarn_get_frame_audio(m, 0, samples, 8, &count), TARN_ERROR_NO_FRAME},
      {"null info", tarn_get_info(m, nullptr), TARN_ERROR_ARGUMENT},
      {"frame 0", tarn_is_key_frame(m, 0, &key), TARN_ERROR_ARGUMENT},
      {"frame past the end", tarn_is_key_frame(m, 3, &key), TARN_ERROR_ARGUMENT},
      {"null key", tarn_is_key_frame(m, 1, nullptr), TARN_ERROR_ARGUMENT},
      {"track out of range", tarn_get_track(m, 1, &track), TARN_ERROR_ARGUMENT},
      {"null track", tarn_get_track(m, 0, nullptr), TARN_ERROR_ARGUMENT},
      {"null frame", tarn_get_frame(m, nullptr), TARN_ERROR_ARGUMENT},
      {"unknown format", tarn_picture_size(m, tarn_format(9), 0, nullptr, nullptr, nullptr), TARN_ERROR_ARGUMENT},
      {"unknown option", tarn_picture_size(m, TARN_FORMAT_RGBA, 0x80, nullptr, nullptr, nullptr), TARN_ERROR_ARGUMENT},
      {"first frame", tarn_next_frame(m), TARN_OK},
      {"null buffer", tarn_get_picture(m, TARN_FORMAT_RGBA, 0, nullptr, 1 << 20, 0), TARN_ERROR_ARGUMENT},
      {"small buffer", tarn_get_picture(m, TARN_FORMAT_RGBA, 0, pixels, sizeof pixels, 0), TARN_ERROR_BUFFER},
      {"negative pitch", tarn_get_picture(m, TARN_FORMAT_RGBA, 0, pixels, sizeof pixels, -148), TARN_ERROR_ARGUMENT},
      {"narrow pitch", tarn_get_picture(m, TARN_FORMAT_RGB24, 0, pixels, sizeof pixels, 3), TARN_ERROR_ARGUMENT},
      {"I420 with a pitch", tarn_get_picture(m, TARN_FORMAT_I420, 0, pixels, sizeof pixels, 40), TARN_ERROR_ARGUMENT},
      {"null planes", tarn_get_planes(m, nullptr), TARN_ERROR_ARGUMENT},
      {"null count", tarn_get_frame_audio(m, 0, samples, 8, nullptr), TARN_ERROR_ARGUMENT},
      {"small sound buffer", tarn_get_frame_audio(m, 0, samples, 8, &count), TARN_ERROR_BUFFER},
      {"sound of no track", tarn_get_track_audio(m, 5, samples, 8, &count), TARN_ERROR_ARGUMENT},
      {"no pictures", tarn_get_picture(blind.m, TARN_FORMAT_RGBA, 0, pixels, sizeof pixels, 0), TARN_ERROR_NO_PICTURE},
      {"unknown open flag", tarn_open_memory(bytes.data(), bytes.size(), 0x100, &m), TARN_ERROR_ARGUMENT},
      {"null handle place", tarn_open_memory(bytes.data(), bytes.size(), 0, nullptr), TARN_ERROR_ARGUMENT},
      {"no path", tarn_open_path(nullptr, 0, &m), TARN_ERROR_ARGUMENT},
      {"bad descriptor", tarn_open_fd(-1, 0, &m), TARN_ERROR_ARGUMENT},
  };
  for (const Call& c : calls) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(m, nullptr);  // failed opens leave no handle
  EXPECT_EQ(tarn_get_frame_audio(open.m, 0, samples, 8, &count), TARN_ERROR_BUFFER);
  EXPECT_GT(count, 8u) << "a small buffer reports the size needed";
  // Open failures carry the movie library's texts.
  EXPECT_EQ(tarn_open_path("/nonexistent/movie.trn", 0, &m), TARN_ERROR_OPEN);
  EXPECT_NE(std::string(tarn_last_error(nullptr)).find("Error opening file."), std::string::npos);
  EXPECT_EQ(tarn_open_memory(pixels, sizeof pixels, 0, &m), TARN_ERROR_OPEN);
  EXPECT_STREQ(tarn_last_error(nullptr), "Not a Tarn file.");
}

// Any prefix and many single-byte damages of a movie with sound, through
// every fetch: each call ends in a status, nothing reads outside the image.
TEST(CApi, DamagedImagesEndInCodes) {
  const std::vector<uint8_t> movie = Encoded({.width = 19, .height = 9, .frames = 3});
  auto playAll = [](const std::vector<uint8_t>& image) {
    auto exact = std::make_unique<uint8_t[]>(image.size() + 1);  // exact size, so overreads trap
    std::copy(image.begin(), image.end(), exact.get());
    Handle h;
    if (tarn_open_memory(exact.get(), image.size(), 0, &h.m) != TARN_OK) {
      EXPECT_STRNE(tarn_last_error(nullptr), "");
      return;
    }
    tarn_info info{};
    ASSERT_EQ(tarn_get_info(h.m, &info), TARN_OK);
    size_t count = 0;
    for (uint32_t t = 0; t < info.track_count; ++t) (void)tarn_get_track_audio(h.m, t, nullptr, 0, &count);
    tarn_status s;
    for (uint32_t f = 0; f < 8 && (s = tarn_next_frame(h.m)) == TARN_OK; ++f) {
      for (tarn_format format : {TARN_FORMAT_RGBA, TARN_FORMAT_I420}) {
        size_t bytes = 0;
        ASSERT_EQ(tarn_picture_size(h.m, format, TARN_PICTURE_DISPLAY_MODE, nullptr, nullptr, &bytes), TARN_OK);
        std::vector<uint8_t> out(bytes);
        EXPECT_EQ(tarn_get_picture(h.m, format, TARN_PICTURE_DISPLAY_MODE, out.data(), out.size(), 0), TARN_OK);
      }
      for (uint32_t t = 0; t < info.track_count; ++t) (void)tarn_get_frame_audio(h.m, t, nullptr, 0, &count);
    }
  };
  for (size_t n = 0; n < movie.size(); n += 1 + n / 64) playAll({movie.begin(), movie.begin() + ptrdiff_t(n)});
  for (size_t at = 0; at < movie.size(); at += 3) {
    std::vector<uint8_t> damaged = movie;
    damaged[at] ^= uint8_t(0x5B + at);
    playAll(damaged);
  }
}

// Handles on their own threads, and one handle shared by two threads: the
// library serialises the shared handle's calls, so together they decode each
// frame once.
TEST(CApiThreads, HandlesWorkInParallelAndSharedOnesInTurn) {
  const std::vector<uint8_t> movie = Encoded({.frames = 8});
  Handle reference;
  ASSERT_EQ(tarn_open_memory(movie.data(), movie.size(), 0, &reference.m), TARN_OK);
  const Played want = Play(reference.m);
  std::vector<Played> got(3);
  {
    std::vector<std::jthread> threads;
    for (Played& p : got) {
      threads.emplace_back([&movie, &p] {
        Handle h;
        if (tarn_open_memory(movie.data(), movie.size(), TARN_OPEN_READ_AHEAD, &h.m) == TARN_OK) p = Play(h.m);
      });
    }
  }
  for (const Played& p : got) EXPECT_EQ(p.pictures, want.pictures);

  Handle shared;
  ASSERT_EQ(tarn_open_memory(movie.data(), movie.size(), 0, &shared.m), TARN_OK);
  std::atomic<uint32_t> decoded{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&] {
        while (tarn_next_frame(shared.m) == TARN_OK) {
          ++decoded;
          std::vector<uint8_t> out(37 * 22 * 4);
          (void)tarn_get_picture(shared.m, TARN_FORMAT_RGBA, 0, out.data(), out.size(), 0);
        }
      });
    }
  }
  EXPECT_EQ(decoded.load(), 8u);
}

}  // namespace
}  // namespace tarn
