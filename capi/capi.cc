// The C interface over the movie library: a registry of handles (tokens that
// are checked on every call, so a stale or made-up handle is an error, not a
// crash), one lock per handle, and the picture and sound fetches. Buffers
// belong to the caller; the handle's own scratch (I420 staging, decoded
// sound) lives until the next call that replaces it or tarn_close.
#include "capi/tarn.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio/audio_decoder.h"
#include "common/cpu_features.h"
#include "common/last_error.h"
#include "convert/copy.h"
#include "movie/movie.h"

namespace tarn {
namespace {

constexpr uint32_t kKnownOpenFlags = TARN_OPEN_READ_AHEAD | TARN_OPEN_NO_PICTURES;

struct MovieCloser {
  void operator()(Movie* m) const { MovieClose(m); }
};
using MoviePtr = std::unique_ptr<Movie, MovieCloser>;

struct DecoderCloser {
  void operator()(AudioDecoder* d) const { AudioDecoderClose(d); }
};
using DecoderPtr = std::unique_ptr<AudioDecoder, DecoderCloser>;

struct Fd {  // a descriptor the handle owns
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Where the movie's bytes come from, so that a second reader (the whole-track
// sound) can be opened on the same bytes.
struct Source {
  Fd file;          // own description of the file (not for memory images)
  uint64_t base = 0;  // the movie's first byte in the file
  const void* image = nullptr;
  size_t imageSize = 0;
};

// One track's sound as it is fetched frame by frame.
struct FrameSound {
  DecoderPtr decoder;
  uint32_t frame = 0;  // the frame values holds; 0 none
  std::vector<int16_t> values;
};

struct Handle {
  std::mutex mutex;  // serialises every call on the handle; guards all below
  bool closed = false;
  Source source;  // before movie, which reads through it
  MoviePtr movie;
  uint32_t decoded = 0;    // the frame last decoded; 0 none
  bool readFailed = false;
  std::string error;
  std::vector<uint8_t> staging;  // I420 goes through the planar converter here
  std::unordered_map<uint32_t, FrameSound> sound;  // by track position, from its first fetch
  uint32_t wholeTrack = UINT32_MAX;  // the track wholeValues holds
  std::vector<int16_t> wholeValues;
};

// The registry: tokens to handles. Tokens are never reused, so a closed
// handle stays invalid even after new opens.
struct Registry {
  std::mutex mutex;  // guards handles and next
  std::unordered_map<uintptr_t, std::shared_ptr<Handle>> handles;
  uintptr_t next = 0x7A000001;
};
Registry& TheRegistry() {
  static Registry* r = new Registry;  // never destroyed: calls may come during exit
  return *r;
}

std::mutex& OpenMutex() {  // the movie open's pending settings and error text are process-wide
  static std::mutex* m = new std::mutex;
  return *m;
}

thread_local std::string threadError;

tarn_status ThreadFail(tarn_status s, std::string text) {
  threadError = std::move(text);
  return s;
}

// A call's hold on a handle: the handle locked, or why there is none.
class Use {
 public:
  explicit Use(const tarn_movie* token) {
    if (token == nullptr) {
      ThreadFail(TARN_ERROR_HANDLE, "null movie handle");
      return;
    }
    Registry& r = TheRegistry();
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      const auto it = r.handles.find(reinterpret_cast<uintptr_t>(token));
      if (it != r.handles.end()) handle_ = it->second;
    }
    if (handle_) lock_ = std::unique_lock<std::mutex>(handle_->mutex);
    if (handle_ && handle_->closed) {  // closed while this call waited for it
      lock_.unlock();
      handle_.reset();
    }
    if (!handle_) ThreadFail(TARN_ERROR_HANDLE, "not an open movie handle");
  }
  explicit operator bool() const { return handle_ != nullptr; }
  Handle* operator->() const { return handle_.get(); }
  Handle& operator*() const { return *handle_; }

 private:
  std::shared_ptr<Handle> handle_;
  std::unique_lock<std::mutex> lock_;  // after handle_: unlocks before the handle may go
};

tarn_status Fail(Handle& h, tarn_status s, std::string text) {
  h.error = std::move(text);
  return s;
}

uint32_t MovieOpenFlags(uint32_t flags) {
  uint32_t f = OPEN_ALPHA | OPEN_SOUND_TRACKS | (DISPLAY_FORCE_NONE << OPEN_DISPLAY_SHIFT);
  if (!(flags & TARN_OPEN_READ_AHEAD)) f |= OPEN_NO_THREAD;
  if (flags & TARN_OPEN_NO_PICTURES) f |= OPEN_NO_VIDEO_BUFFERS;
  return f;
}

// Opens a movie on source with the movie open's flags. Pictures are decoded
// at their coded size (the display mode is applied by the picture fetch);
// no track is played through a sound device. The caller holds OpenMutex.
Movie* OpenMovieLocked(const Source& s, uint32_t flags) {
  MovieSetSoundTracks(0, nullptr);
  if (s.image) return MovieOpenMemory(s.image, s.imageSize, flags);
  if (::lseek(s.file.fd, off_t(s.base), SEEK_SET) != off_t(s.base)) {
    MovieSetError("Error opening file.");
    return nullptr;
  }
  return MovieOpen(reinterpret_cast<const void*>(intptr_t(s.file.fd)), flags | OPEN_FILE_HANDLE);
}

// A description of the open file fd of its own, with its own file position.
int OpenOwnDescription(int fd) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
}

tarn_status Register(Source source, uint32_t flags, tarn_movie** out) {
  if (flags & ~kKnownOpenFlags) return ThreadFail(TARN_ERROR_ARGUMENT, "unknown open flags");
  auto h = std::make_shared<Handle>();
  h->source = std::move(source);
  {
    std::lock_guard<std::mutex> lock(OpenMutex());
    h->movie.reset(OpenMovieLocked(h->source, MovieOpenFlags(flags)));
    if (!h->movie) return ThreadFail(TARN_ERROR_OPEN, MovieGetError()[0] ? MovieGetError() : "Error opening file.");
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const uintptr_t token = r.next;
  r.next += 2;
  r.handles.emplace(token, std::move(h));
  *out = reinterpret_cast<tarn_movie*>(token);
  return TARN_OK;
}

tarn_status OpenFile(int fd, uint64_t base, const char* what, uint32_t flags, tarn_movie** out) {
  if (fd < 0) return ThreadFail(TARN_ERROR_OPEN, std::string("Error opening file. (") + what + ": " + std::strerror(errno) + ")");
  Source s;
  s.file = Fd(fd);
  s.base = base;
  return Register(std::move(s), flags, out);
}

// --- Facts -----------------------------------------------------------------

uint32_t CodecOf(uint32_t rateWord) {
  if (rateWord & TRACK_CODEC_A) return TARN_CODEC_RDFT;
  if (rateWord & TRACK_CODEC_B) return TARN_CODEC_DCT;
  return TARN_CODEC_NONE;
}

uint32_t DisplayModeOf(const Movie* m) { return (m->headerFlags & HDR_DISPLAY_MODE) >> OPEN_DISPLAY_SHIFT; }
// The header's field may hold 7 ("none"), which shows as 0.
uint32_t ShownDisplayMode(const Movie* m) {
  const uint32_t mode = DisplayModeOf(m);
  return mode == DISPLAY_FORCE_NONE ? 0 : mode;
}

// --- Pictures ----------------------------------------------------------------

struct PictureShape {
  uint32_t width = 0, height = 0;
  uint32_t display = 0;        // display option applied
  uint32_t bytesPerPixel = 0;  // 1 for I420 (the luma plane)
  size_t minBytes = 0;
};

size_t I420Bytes(uint32_t w, uint32_t h) {
  return size_t(w) * h + 2 * (size_t(w / 2 + w % 2) * (h / 2 + h % 2));
}

bool ShapeFor(const Movie* m, tarn_format format, uint32_t options, PictureShape& s) {
  if (options & ~TARN_PICTURE_DISPLAY_MODE) return false;
  switch (format) {
    case TARN_FORMAT_RGBA: case TARN_FORMAT_BGRA: s.bytesPerPixel = 4; break;
    case TARN_FORMAT_RGB24: s.bytesPerPixel = 3; break;
    case TARN_FORMAT_I420: s.bytesPerPixel = 1; break;
    default: return false;
  }
  s.display = (options & TARN_PICTURE_DISPLAY_MODE) ? ShownDisplayMode(m) : 0;
  s.width = m->width * (DisplayDoublesWidth(s.display) ? 2 : 1);
  s.height = m->height * (DisplayDoublesHeight(s.display) ? 2 : 1);
  s.minBytes = format == TARN_FORMAT_I420 ? I420Bytes(s.width, s.height) : size_t(s.width) * s.bytesPerPixel * s.height;
  return true;
}

bool Interlaced(uint32_t display) {
  return display == DISPLAY_HEIGHT_INTERLACED || display == DISPLAY_BOTH_INTERLACED || display == DISPLAY_INTERLACED;
}

CopySource SourceOf(const MoviePlanes& p) {
  CopySource s{};
  for (int i = 0; i < kPlaneCount; ++i) {
    s.plane[i] = p.plane[i];
    s.stride[i] = p.stride[i];
  }
  s.width = p.pictureWidth;
  s.height = p.pictureHeight;
  return s;
}

// Converts the planes into dst (height lines of pitch bytes) with the
// converter for code.
void Convert(const MoviePlanes& planes, uint32_t code, uint32_t display, uint8_t* dst, int32_t pitch,
             uint32_t height) {
  uint32_t flags = code | COPY_FULL | (display << COPY_DISPLAY_SHIFT);
  if (planes.grey) flags |= COPY_GREY;
  if (planes.chromaSwapped) flags |= COPY_SWAP_CHROMA;
  const CopyDestination d{dst, pitch, height, 0, 0};
  (void)CopyPlanes(SourceOf(planes), d, {0, 0, planes.pictureWidth, planes.pictureHeight}, flags, false,
                   CpuFeatures());
}

// I420 through the planar (YV12) converter. Its layout with an even pitch
// is I420's with the chroma planes in V, U order, so an even width is
// converted straight into out with the chroma exchanged. An odd width goes
// through staging, whose lines are one byte longer so that each chroma line
// is exactly half of one, and is then packed without padding, chroma planes
// exchanged into U, V order.
void CopyI420(Handle& h, const MoviePlanes& planes, const PictureShape& s, uint8_t* out) {
  const uint32_t w = s.width, ht = s.height;
  const size_t pitch = w + (w & 1), cw = pitch / 2, ch = ht / 2 + ht % 2;
  if (w % 2 == 0) {
    if (Interlaced(s.display)) {  // the lines left out are black
      std::fill(out, out + pitch * ht, uint8_t(16));
      std::fill(out + pitch * ht, out + pitch * ht + 2 * cw * ch, uint8_t(128));
    }
    MoviePlanes exchanged = planes;
    exchanged.chromaSwapped = !planes.chromaSwapped;
    Convert(exchanged, COPY_FORMAT_YV12, s.display, out, int32_t(pitch), ht);
    return;
  }
  h.staging.resize(pitch * ht + 2 * cw * ch);
  uint8_t* y = h.staging.data();
  uint8_t* v = y + pitch * ht;
  uint8_t* u = v + cw * ch;
  if (Interlaced(s.display)) {  // the lines left out are black
    std::fill(y, v, uint8_t(16));
    std::fill(v, y + h.staging.size(), uint8_t(128));
  }
  Convert(planes, COPY_FORMAT_YV12, s.display, y, int32_t(pitch), ht);
  const size_t outCw = w / 2 + w % 2;
  for (uint32_t r = 0; r < ht; ++r) std::memcpy(out + size_t(r) * w, y + r * pitch, w);
  uint8_t* outU = out + size_t(w) * ht;
  uint8_t* outV = outU + outCw * ch;
  for (size_t r = 0; r < ch; ++r) {
    std::memcpy(outU + r * outCw, u + r * cw, outCw);
    std::memcpy(outV + r * outCw, v + r * cw, outCw);
  }
}

void CopyRgb(Handle& h, MoviePlanes planes, tarn_format format, const PictureShape& s, uint8_t* out, size_t pitch) {
  const uint32_t code = format == TARN_FORMAT_RGB24  ? COPY_FORMAT_24_BGR
                        : format == TARN_FORMAT_RGBA ? COPY_FORMAT_32_ABGR
                                                     : COPY_FORMAT_32_ARGB;
  const size_t row = size_t(s.width) * s.bytesPerPixel;
  const bool opaque = s.bytesPerPixel == 4 && !planes.alpha;
  if (Interlaced(s.display)) {  // the lines left out are black (and opaque without an alpha plane)
    for (uint32_t r = 0; r < s.height; ++r) {
      uint8_t* line = out + r * pitch;
      std::memset(line, 0, row);
      for (size_t x = 3; opaque && x < row; x += 4) line[x] = 255;
    }
  }
  // Without an alpha plane the alpha converter reads one line of 255 for
  // every line, so the pixels come out opaque in the same pass.
  if (opaque) {
    h.staging.assign(planes.pictureWidth, uint8_t(255));
    planes.plane[PLANE_ALPHA] = h.staging.data();
    planes.stride[PLANE_ALPHA] = 0;
  }
  Convert(planes, code, s.display, out, int32_t(pitch), s.height);
}

// --- Sound -----------------------------------------------------------------

struct Collect {  // appends decoded bytes, at most cap of them
  std::vector<int16_t>* values;
  size_t cap;
  uint8_t odd = 0;
  bool hasOdd = false;
};

void CollectBytes(void* context, const uint8_t* bytes, uint32_t n) {
  auto& c = *static_cast<Collect*>(context);
  // A packet's count may end inside a 16-bit value; the bytes are a byte
  // stream of little-endian values, so the half value waits for its other half.
  uint32_t i = 0;
  if (c.hasOdd && n > 0) {
    c.values->push_back(int16_t(uint16_t(c.odd | uint16_t(bytes[0]) << 8)));
    c.hasOdd = false;
    i = 1;
  }
  for (; i + 1 < n && c.values->size() < c.cap; i += 2) {
    c.values->push_back(int16_t(uint16_t(bytes[i] | uint16_t(bytes[i + 1]) << 8)));
  }
  if (i < n && i + 1 == n) {
    c.odd = bytes[i];
    c.hasOdd = true;
  }
}

// The most values one frame's packet may give: the track's largest decoded
// packet as the movie's own ring would hold it (rounded up to 256 bytes).
size_t FrameCap(const MovieTrackInfo& t) { return ((uint64_t(t.largestPacket) + 255) / 256 * 256) / 2; }

DecoderPtr DecoderFor(const MovieTrackInfo& t) {
  const uint32_t channels = (t.rateWord & TRACK_STEREO) ? 2 : 1;
  const bool dct = TrackUsesDct(t.rateWord);
  return DecoderPtr(AudioDecoderOpen(t.rateWord & 0xFFFF, channels, dct));
}

// Appends the sound of track in the loaded frame of m to c.
void DecodeFramePacket(const Movie* m, uint32_t track, const MovieTrackInfo& info, AudioDecoder* d, Collect& c) {
  const uint8_t* packet = nullptr;
  uint32_t length = 0;
  if (!MovieGetFramePacket(m, track, &packet, &length)) return;
  c.cap = c.values->size() + FrameCap(info);
  (void)AudioDecodePacket(d, packet, packet + length, CollectBytes, &c);
}

tarn_status TrackFor(Handle& h, uint32_t track, MovieTrackInfo& info) {
  if (!MovieGetTrack(h.movie.get(), track, &info)) {
    return Fail(h, TARN_ERROR_ARGUMENT, "no track at position " + std::to_string(track));
  }
  if (CodecOf(info.rateWord) == TARN_CODEC_NONE) {
    return Fail(h, TARN_ERROR_ARGUMENT, "track " + std::to_string(track) + " is not compressed audio");
  }
  return TARN_OK;
}

tarn_status Deliver(Handle& h, const std::vector<int16_t>& values, int16_t* samples, size_t capacity,
                    size_t* count) {
  *count = values.size();
  if (samples == nullptr) return TARN_OK;
  if (capacity < values.size()) {
    return Fail(h, TARN_ERROR_BUFFER, "the sound needs room for " + std::to_string(values.size()) + " values");
  }
  std::copy(values.begin(), values.end(), samples);
  return TARN_OK;
}

tarn_status DecodeWholeTrack(Handle& h, uint32_t track, const MovieTrackInfo& info) {
  Source second;
  second.image = h.source.image;
  second.imageSize = h.source.imageSize;
  second.base = h.source.base;
  if (!second.image) {
    second.file = Fd(OpenOwnDescription(h.source.file.fd));
    if (second.file.fd < 0) return Fail(h, TARN_ERROR_READ, std::string("cannot reopen the movie: ") + std::strerror(errno));
  }
  MoviePtr m;
  {
    std::lock_guard<std::mutex> lock(OpenMutex());
    m.reset(OpenMovieLocked(second, MovieOpenFlags(TARN_OPEN_NO_PICTURES)));
    if (!m) return Fail(h, TARN_ERROR_READ, std::string("cannot reopen the movie: ") + MovieGetError());
  }
  DecoderPtr d = DecoderFor(info);
  if (!d) return Fail(h, TARN_ERROR_MEMORY, "Out of memory.");
  h.wholeTrack = UINT32_MAX;
  h.wholeValues.clear();
  Collect c{&h.wholeValues, 0};  // one byte stream across the frames, as the track's ring has it
  for (uint32_t f = 1; f <= m->frameCount; ++f) {
    if (f > 1) MovieNextFrame(m.get());
    if (m->readFailed) return Fail(h, TARN_ERROR_READ, "Error reading frame " + std::to_string(f) + ".");
    DecodeFramePacket(m.get(), track, info, d.get(), c);
  }
  h.wholeTrack = track;
  return TARN_OK;
}

template <typename F>
tarn_status Guarded(Handle& h, F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return Fail(h, TARN_ERROR_MEMORY, "Out of memory.");
  }
}

// The checks both sound fetches begin with, then body(handle, track facts)
// under the handle's lock.
template <typename F>
tarn_status FetchSound(tarn_movie* movie, uint32_t track, size_t* count, F&& body) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  if (!count) return Fail(*h, TARN_ERROR_ARGUMENT, "no place for the count");
  *count = 0;
  MovieTrackInfo info{};
  if (const tarn_status s = TrackFor(*h, track, info); s != TARN_OK) return s;
  return Guarded(*h, [&] { return body(*h, info); });
}

}  // namespace
}  // namespace tarn

using namespace tarn;

extern "C" {

tarn_status tarn_open_path(const char* path, uint32_t flags, tarn_movie** movie) {
  return tarn_open_path_offset(path, 0, flags, movie);
}

tarn_status tarn_open_path_offset(const char* path, uint64_t offset, uint32_t flags, tarn_movie** movie) {
  if (!movie) return ThreadFail(TARN_ERROR_ARGUMENT, "no place for the handle");
  *movie = nullptr;
  if (!path) return ThreadFail(TARN_ERROR_ARGUMENT, "no path");
  if (offset > uint64_t(INT64_MAX)) return ThreadFail(TARN_ERROR_ARGUMENT, "offset out of range");
  try {
    return OpenFile(::open(path, O_RDONLY | O_CLOEXEC), offset, path, flags, movie);
  } catch (const std::bad_alloc&) {
    return ThreadFail(TARN_ERROR_MEMORY, "Out of memory.");
  }
}

tarn_status tarn_open_fd(int fd, uint32_t flags, tarn_movie** movie) {
  if (!movie) return ThreadFail(TARN_ERROR_ARGUMENT, "no place for the handle");
  *movie = nullptr;
  if (fd < 0) return ThreadFail(TARN_ERROR_ARGUMENT, "not a file descriptor");
  const off_t base = ::lseek(fd, 0, SEEK_CUR);
  if (base < 0) return ThreadFail(TARN_ERROR_OPEN, std::string("Error opening file. (descriptor: ") + std::strerror(errno) + ")");
  try {
    return OpenFile(OpenOwnDescription(fd), uint64_t(base), "descriptor", flags, movie);
  } catch (const std::bad_alloc&) {
    return ThreadFail(TARN_ERROR_MEMORY, "Out of memory.");
  }
}

tarn_status tarn_open_memory(const void* data, size_t size, uint32_t flags, tarn_movie** movie) {
  if (!movie) return ThreadFail(TARN_ERROR_ARGUMENT, "no place for the handle");
  *movie = nullptr;
  if (!data) return ThreadFail(TARN_ERROR_ARGUMENT, "no movie image");
  try {
    Source s;
    s.image = data;
    s.imageSize = size;
    return Register(std::move(s), flags, movie);
  } catch (const std::bad_alloc&) {
    return ThreadFail(TARN_ERROR_MEMORY, "Out of memory.");
  }
}

tarn_status tarn_close(tarn_movie* movie) {
  std::shared_ptr<Handle> h;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.handles.find(reinterpret_cast<uintptr_t>(movie));
    if (it == r.handles.end()) return ThreadFail(TARN_ERROR_HANDLE, "not an open movie handle");
    h = std::move(it->second);
    r.handles.erase(it);
  }
  std::lock_guard<std::mutex> lock(h->mutex);  // waits for a call in progress
  h->closed = true;
  h->movie.reset();
  h->sound.clear();
  return TARN_OK;
}

const char* tarn_last_error(const tarn_movie* movie) {
  if (movie == nullptr) return threadError.c_str();
  Use h(movie);
  if (!h) return threadError.c_str();
  return h->error.c_str();
}

tarn_status tarn_get_info(tarn_movie* movie, tarn_info* info) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  if (!info) return Fail(*h, TARN_ERROR_ARGUMENT, "no place for the facts");
  const Movie* m = h->movie.get();
  tarn_info out{};
  out.width = m->width;
  out.height = m->height;
  out.display_mode = ShownDisplayMode(m);
  out.display_width = m->width * (DisplayDoublesWidth(out.display_mode) ? 2 : 1);
  out.display_height = m->height * (DisplayDoublesHeight(out.display_mode) ? 2 : 1);
  out.rate_numerator = m->rateNumerator;
  out.rate_denominator = m->rateDenominator;
  out.frame_count = m->frameCount;
  for (uint32_t f = 1; f <= m->frameCount; ++f) out.key_frame_count += MovieIsKeyFrame(m, f) ? 1 : 0;
  out.has_alpha = (m->headerFlags & HDR_ALPHA) ? 1 : 0;
  out.is_grey = (m->flags & OPEN_GREY) ? 1 : 0;
  out.revision = uint32_t(MovieRevision(m));
  out.track_count = MovieTrackCount(m);
  *info = out;
  return TARN_OK;
}

tarn_status tarn_is_key_frame(tarn_movie* movie, uint32_t frame, int* key) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  if (!key) return Fail(*h, TARN_ERROR_ARGUMENT, "no place for the answer");
  if (frame == 0 || frame > h->movie->frameCount) {
    return Fail(*h, TARN_ERROR_ARGUMENT, "frame " + std::to_string(frame) + " is outside 1.." +
                                             std::to_string(h->movie->frameCount));
  }
  *key = MovieIsKeyFrame(h->movie.get(), frame) ? 1 : 0;
  return TARN_OK;
}

tarn_status tarn_get_track(tarn_movie* movie, uint32_t track, tarn_track* info) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  if (!info) return Fail(*h, TARN_ERROR_ARGUMENT, "no place for the track");
  MovieTrackInfo t{};
  if (!MovieGetTrack(h->movie.get(), track, &t)) {
    return Fail(*h, TARN_ERROR_ARGUMENT, "no track at position " + std::to_string(track));
  }
  info->id = t.id;
  info->sample_rate = t.rateWord & 0xFFFF;
  info->channels = (t.rateWord & TRACK_STEREO) ? 2 : 1;
  info->bits = (t.rateWord & TRACK_16BIT) ? 16 : 8;
  info->codec = CodecOf(t.rateWord);
  info->largest_packet = t.largestPacket;
  return TARN_OK;
}

tarn_status tarn_next_frame(tarn_movie* movie) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  Movie* m = h->movie.get();
  if (h->readFailed) return TARN_ERROR_READ;  // the text of the failure stays
  if (h->decoded != 0) {
    if (h->decoded >= m->frameCount) return Fail(*h, TARN_END, "the last frame was already decoded");
    MovieNextFrame(m);
  }
  const uint32_t frame = h->decoded + 1;
  if (MovieDoFrame(m) != 0 || m->readFailed) {
    h->readFailed = true;
    return Fail(*h, TARN_ERROR_READ, "Error reading frame " + std::to_string(frame) + ".");
  }
  h->decoded = frame;
  return TARN_OK;
}

tarn_status tarn_goto_frame(tarn_movie* movie, uint32_t frame) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  Movie* m = h->movie.get();
  if (frame == 0) return Fail(*h, TARN_ERROR_ARGUMENT, "frames count from 1");
  if (h->readFailed) return TARN_ERROR_READ;
  const uint32_t target = std::min(frame, m->frameCount);
  if (MovieGoto(m, target) != 1 || MovieDoFrame(m) != 0 || m->readFailed) {
    h->readFailed = true;
    return Fail(*h, TARN_ERROR_READ, "Error reading frame " + std::to_string(target) + ".");
  }
  h->decoded = target;
  for (auto& [position, fs] : h->sound) {
    fs.decoder.reset();
    fs.frame = 0;
  }
  return TARN_OK;
}

tarn_status tarn_get_frame(tarn_movie* movie, tarn_frame* frame) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  if (!frame) return Fail(*h, TARN_ERROR_ARGUMENT, "no place for the frame");
  frame->number = h->decoded;
  frame->key_frame = h->decoded && MovieIsKeyFrame(h->movie.get(), h->decoded) ? 1 : 0;
  frame->damaged = h->decoded && MovieLastFrameCorrupt(h->movie.get()) ? 1 : 0;
  return TARN_OK;
}

tarn_status tarn_picture_size(tarn_movie* movie, tarn_format format, uint32_t options, uint32_t* width,
                              uint32_t* height, size_t* bytes) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  PictureShape s;
  if (!ShapeFor(h->movie.get(), format, options, s)) return Fail(*h, TARN_ERROR_ARGUMENT, "unknown format or options");
  if (width) *width = s.width;
  if (height) *height = s.height;
  if (bytes) *bytes = s.minBytes;
  return TARN_OK;
}

tarn_status tarn_get_picture(tarn_movie* movie, tarn_format format, uint32_t options, void* buffer, size_t size,
                             int32_t pitch) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  PictureShape s;
  if (!ShapeFor(h->movie.get(), format, options, s)) return Fail(*h, TARN_ERROR_ARGUMENT, "unknown format or options");
  MoviePlanes planes{};
  if (!MovieGetPlanes(h->movie.get(), &planes)) return Fail(*h, TARN_ERROR_NO_PICTURE, "the movie was opened without pictures");
  if (h->decoded == 0) return Fail(*h, TARN_ERROR_NO_FRAME, "no frame decoded yet");
  if (!buffer) return Fail(*h, TARN_ERROR_ARGUMENT, "no buffer");
  const size_t row = size_t(s.width) * s.bytesPerPixel;
  if (pitch < 0 || (pitch > 0 && size_t(pitch) < row) ||
      (format == TARN_FORMAT_I420 && pitch != 0 && size_t(pitch) != row)) {
    return Fail(*h, TARN_ERROR_ARGUMENT, "pitch " + std::to_string(pitch) + " does not fit the picture");
  }
  const size_t linePitch = pitch ? size_t(pitch) : row;
  const size_t need = format == TARN_FORMAT_I420 ? s.minBytes
                      : s.height == 0            ? 0
                                                 : linePitch * (s.height - 1) + row;
  if (size < need) return Fail(*h, TARN_ERROR_BUFFER, "the picture needs " + std::to_string(need) + " bytes");
  if (s.width == 0 || s.height == 0) return TARN_OK;
  return Guarded(*h, [&] {
    if (format == TARN_FORMAT_I420) {
      CopyI420(*h, planes, s, static_cast<uint8_t*>(buffer));
    } else {
      CopyRgb(*h, planes, format, s, static_cast<uint8_t*>(buffer), linePitch);
    }
    return TARN_OK;
  });
}

tarn_status tarn_get_planes(tarn_movie* movie, tarn_planes* out) {
  Use h(movie);
  if (!h) return TARN_ERROR_HANDLE;
  if (!out) return Fail(*h, TARN_ERROR_ARGUMENT, "no place for the planes");
  MoviePlanes p{};
  if (!MovieGetPlanes(h->movie.get(), &p)) return Fail(*h, TARN_ERROR_NO_PICTURE, "the movie was opened without pictures");
  if (h->decoded == 0) return Fail(*h, TARN_ERROR_NO_FRAME, "no frame decoded yet");
  const int u = p.chromaSwapped ? PLANE_CHROMA1 : PLANE_CHROMA2;
  const int v = p.chromaSwapped ? PLANE_CHROMA2 : PLANE_CHROMA1;
  *out = tarn_planes{};
  out->y = p.plane[PLANE_LUMA];
  out->u = p.plane[u];
  out->v = p.plane[v];
  out->a = p.plane[PLANE_ALPHA];
  out->y_stride = p.stride[PLANE_LUMA];
  out->u_stride = p.stride[u];
  out->v_stride = p.stride[v];
  out->a_stride = p.plane[PLANE_ALPHA] ? p.stride[PLANE_ALPHA] : 0;
  out->width = p.pictureWidth;
  out->height = p.pictureHeight;
  out->grey = p.grey ? 1 : 0;
  return TARN_OK;
}

tarn_status tarn_get_frame_audio(tarn_movie* movie, uint32_t track, int16_t* samples, size_t capacity,
                                 size_t* count) {
  return FetchSound(movie, track, count, [&](Handle& h, const MovieTrackInfo& info) {
    if (h.decoded == 0) return Fail(h, TARN_ERROR_NO_FRAME, "no frame decoded yet");
    FrameSound& fs = h.sound[track];
    if (fs.frame != h.decoded) {
      if (!fs.decoder) fs.decoder = DecoderFor(info);
      if (!fs.decoder) return Fail(h, TARN_ERROR_MEMORY, "Out of memory.");
      fs.values.clear();
      Collect c{&fs.values, 0};
      DecodeFramePacket(h.movie.get(), track, info, fs.decoder.get(), c);
      fs.frame = h.decoded;
    }
    return Deliver(h, fs.values, samples, capacity, count);
  });
}

tarn_status tarn_get_track_audio(tarn_movie* movie, uint32_t track, int16_t* samples, size_t capacity,
                                 size_t* count) {
  return FetchSound(movie, track, count, [&](Handle& h, const MovieTrackInfo& info) {
    if (h.wholeTrack != track) {
      if (const tarn_status s = DecodeWholeTrack(h, track, info); s != TARN_OK) return s;
    }
    return Deliver(h, h.wholeValues, samples, capacity, count);
  });
}

}  // extern "C"
