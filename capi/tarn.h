/* The Tarn movie library's C interface (libtarn.so.1): open a movie, read its
 * facts, decode it frame by frame, fetch each picture in a common pixel
 * format and each track's sound as 16-bit samples.
 *
 * Plain C99. Every function returns a tarn_status (TARN_OK, or a negative
 * error code) and never crashes on a bad handle or a bad argument: a handle
 * that is null, closed or was never returned by an open gives
 * TARN_ERROR_HANDLE; a null output pointer, an unknown format, a frame or
 * track out of range, or a buffer too small gives the matching error code.
 * The reason of the last failure is text from tarn_last_error.
 *
 * Threads. Every function may be called from any thread. Calls on one handle
 * are serialised by the library: a second thread's call waits until the first
 * returns, so one handle is used by one thread at a time whoever calls it.
 * Different handles work in parallel; their opens are serialised. Pointers
 * and text a function returns for a handle (tarn_last_error, tarn_get_planes)
 * stay valid until the next call on the same handle, so a handle shared
 * between threads needs the caller's own lock around such a pair of calls.
 * With TARN_OPEN_READ_AHEAD a movie is read ahead by the library's own
 * background thread; without it all reading happens inside the calls. The
 * library never calls back into the caller.
 *
 * Frames count from 1. Tracks are addressed by their position in the movie's
 * track table, 0 to track_count - 1; tarn_track gives each one's id.
 */
#ifndef TARN_TARN_H
#define TARN_TARN_H

#include <stddef.h>
#include <stdint.h>

#if defined(TARN_BUILDING_LIBRARY)
#define TARN_API __attribute__((visibility("default")))
#else
#define TARN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version; TARN_ABI_VERSION is the major number of the
 * shared object's name, libtarn.so.TARN_ABI_VERSION. */
#define TARN_VERSION_MAJOR 1
#define TARN_VERSION_MINOR 0
#define TARN_ABI_VERSION 1

/* An open movie. Opaque: the value is a token the library checks on every
 * call, never a pointer the caller may follow. */
typedef struct tarn_movie tarn_movie;

typedef enum tarn_status {
  TARN_OK = 0,
  TARN_END = 1,                 /* tarn_next_frame: the last frame was already decoded */
  TARN_ERROR_HANDLE = -1,       /* null, closed or unknown handle */
  TARN_ERROR_ARGUMENT = -2,     /* null pointer, unknown value or out of range */
  TARN_ERROR_OPEN = -3,         /* the movie could not be opened (see the text) */
  TARN_ERROR_READ = -4,         /* reading the movie failed; decoding has stopped */
  TARN_ERROR_BUFFER = -5,       /* the caller's buffer is too small; the size needed is reported */
  TARN_ERROR_NO_FRAME = -6,     /* no frame decoded yet */
  TARN_ERROR_NO_PICTURE = -7,   /* the movie was opened without pictures */
  TARN_ERROR_MEMORY = -8        /* out of memory */
} tarn_status;

/* Open flags. */
#define TARN_OPEN_READ_AHEAD 0x1u  /* read ahead on a background thread */
#define TARN_OPEN_NO_PICTURES 0x2u /* decode no video: facts and sound only */

/* Opens the movie file at path. */
TARN_API tarn_status tarn_open_path(const char* path, uint32_t flags, tarn_movie** movie);
/* Opens a movie carried inside the file at path, starting at byte offset
 * (a movie appended to another file); every offset of the movie counts from
 * there. */
TARN_API tarn_status tarn_open_path_offset(const char* path, uint64_t offset, uint32_t flags,
                                           tarn_movie** movie);
/* Opens the movie that starts at the current position of the open, seekable
 * descriptor fd. The library reads through its own description of the same
 * file, so fd's position is not moved and the caller may close fd at once. */
TARN_API tarn_status tarn_open_fd(int fd, uint32_t flags, tarn_movie** movie);
/* Opens a complete movie image of size bytes in memory. Nothing outside
 * [data, data + size) is read; the bytes are not copied and must stay
 * unchanged until tarn_close. */
TARN_API tarn_status tarn_open_memory(const void* data, size_t size, uint32_t flags, tarn_movie** movie);
/* Closes the movie; the handle is invalid afterwards (TARN_ERROR_HANDLE).
 * Waits for a call on the same handle that another thread is making. */
TARN_API tarn_status tarn_close(tarn_movie* movie);

/* The reason of the last failed call on movie, or, for movie == NULL, of the
 * calling thread's last failed open or call on a bad handle. Never NULL; ""
 * when nothing failed. Valid until the next call on the same handle (or, for
 * NULL, the thread's next failing call without a handle). */
TARN_API const char* tarn_last_error(const tarn_movie* movie);

/* Display modes stored in a movie (tarn_info.display_mode). */
#define TARN_DISPLAY_NONE 0u
#define TARN_DISPLAY_HEIGHT_DOUBLED 1u
#define TARN_DISPLAY_HEIGHT_INTERLACED 2u
#define TARN_DISPLAY_WIDTH_DOUBLED 3u
#define TARN_DISPLAY_BOTH_DOUBLED 4u
#define TARN_DISPLAY_BOTH_INTERLACED 5u
#define TARN_DISPLAY_INTERLACED 6u

typedef struct tarn_info {
  uint32_t width, height;                  /* the picture as coded */
  uint32_t display_width, display_height;  /* with the display mode applied */
  uint32_t rate_numerator, rate_denominator;  /* frames per second = numerator / denominator */
  uint32_t frame_count;
  uint32_t key_frame_count;
  uint32_t display_mode;  /* TARN_DISPLAY_*: how the movie asks to be shown */
  uint32_t has_alpha;     /* 1: the pictures carry an alpha plane */
  uint32_t is_grey;       /* 1: the pictures carry no colour */
  uint32_t revision;      /* the container revision letter: 'f', 'g', 'h' or 'i' */
  uint32_t track_count;   /* audio tracks in the track table */
} tarn_info;

TARN_API tarn_status tarn_get_info(tarn_movie* movie, tarn_info* info);
/* *key = 1 when frame (1..frame_count) is a key frame, else 0. */
TARN_API tarn_status tarn_is_key_frame(tarn_movie* movie, uint32_t frame, int* key);

/* Audio codecs (tarn_track.codec). Only compressed tracks can be decoded. */
#define TARN_CODEC_NONE 0u /* not compressed audio: no samples can be fetched */
#define TARN_CODEC_RDFT 1u
#define TARN_CODEC_DCT 2u

typedef struct tarn_track {
  uint32_t id;           /* the track's id in the file */
  uint32_t sample_rate;  /* Hz */
  uint32_t channels;     /* 1 or 2 */
  uint32_t bits;         /* 8 or 16: the sample size the track was made from */
  uint32_t codec;        /* TARN_CODEC_* */
  uint32_t largest_packet;  /* the most decoded bytes one frame's packet holds */
} tarn_track;

/* The track at position track (0 .. track_count - 1). */
TARN_API tarn_status tarn_get_track(tarn_movie* movie, uint32_t track, tarn_track* info);

/* Decodes the next frame: frame 1 after the open, then one after the other.
 * TARN_END once the last frame has been decoded (the movie does not wrap);
 * TARN_ERROR_READ when the frame's data could not be read, after which every
 * call gives the same. A frame whose video data is damaged still decodes (as
 * much of it as can be) and reports TARN_OK; tarn_frame says so. */
TARN_API tarn_status tarn_next_frame(tarn_movie* movie);

/* Goes to frame (from 1; a number beyond the movie is the last frame) and
 * decodes it: the picture is exactly the one decoding from frame 1 shows
 * there, and tarn_next_frame goes on from it. Frame 0 gives
 * TARN_ERROR_ARGUMENT. Each track's frame sound starts again with a fresh
 * decoder at the new frame (its first block is not cross-faded). */
TARN_API tarn_status tarn_goto_frame(tarn_movie* movie, uint32_t frame);

typedef struct tarn_frame {
  uint32_t number;     /* the decoded frame, 1..frame_count; 0 before the first decode */
  uint32_t key_frame;  /* 1: it is a key frame */
  uint32_t damaged;    /* 1: its video data was damaged */
} tarn_frame;
TARN_API tarn_status tarn_get_frame(tarn_movie* movie, tarn_frame* frame);

/* Pixel formats for tarn_get_picture. */
typedef enum tarn_format {
  TARN_FORMAT_RGBA = 1,   /* 4 bytes a pixel: red, green, blue, alpha (255 without an alpha plane) */
  TARN_FORMAT_BGRA = 2,   /* 4 bytes a pixel: blue, green, red, alpha (255 without an alpha plane) */
  TARN_FORMAT_RGB24 = 3,  /* 3 bytes a pixel: red, green, blue */
  TARN_FORMAT_I420 = 4    /* planar 4:2:0: Y, then U (Cb), then V (Cr), no padding */
} tarn_format;

/* Picture options. */
#define TARN_PICTURE_DISPLAY_MODE 0x1u /* apply the movie's display mode (doubling, interlacing) */

/* The size of the picture tarn_get_picture writes: width x height pixels and
 * the bytes of a buffer with the smallest pitch (width * bytes a pixel; for
 * I420 the exact sum w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2)). Any output
 * pointer may be NULL. */
TARN_API tarn_status tarn_picture_size(tarn_movie* movie, tarn_format format, uint32_t options, uint32_t* width,
                                       uint32_t* height, size_t* bytes);
/* Converts the current frame's picture into buffer, size bytes, lines pitch
 * bytes apart (0: the smallest pitch; a positive pitch of at least width *
 * bytes a pixel for the RGB formats; I420 takes 0 or width only). The RGB
 * formats go through the movie's colour converters (SIMD where the processor
 * has it; TARN_NO_SIMD=1 in the environment forces the scalar ones). Lines an
 * interlaced display mode leaves out are black. Nothing is written outside
 * the (height - 1) * pitch + width * bytes a pixel bytes the picture takes. */
TARN_API tarn_status tarn_get_picture(tarn_movie* movie, tarn_format format, uint32_t options, void* buffer,
                                      size_t size, int32_t pitch);

/* The current frame's planes as the decoder left them, without conversion:
 * luma and alpha width x height, chroma (width + 1) / 2 x (height + 1) / 2,
 * each with its own stride. The pointers stay valid until the next call on
 * the same handle. */
typedef struct tarn_planes {
  const uint8_t* y;
  const uint8_t* u; /* Cb */
  const uint8_t* v; /* Cr */
  const uint8_t* a; /* NULL without an alpha plane */
  uint32_t y_stride, u_stride, v_stride, a_stride;
  uint32_t width, height;
  uint32_t grey; /* 1: u and v carry no colour (their samples are not meaningful) */
} tarn_planes;
TARN_API tarn_status tarn_get_planes(tarn_movie* movie, tarn_planes* planes);

/* The sound of track for the current frame: 16-bit signed samples in host
 * order, channels interleaved, *count values (sample frames x channels).
 * With samples == NULL only *count is set. A frame without a packet for the
 * track gives 0 values. The track's decoder runs from one frame to the next:
 * fetching every frame in order gives the track's whole sound. The values
 * are decoded on the first fetch of a frame and kept until the next frame. */
TARN_API tarn_status tarn_get_frame_audio(tarn_movie* movie, uint32_t track, int16_t* samples, size_t capacity,
                                          size_t* count);
/* The whole sound of track, from frame 1 to the last, decoded on a reader of
 * its own (the current frame does not move). The result is kept for the
 * next call for the same track, so asking first with samples == NULL for
 * *count costs one decode. */
TARN_API tarn_status tarn_get_track_audio(tarn_movie* movie, uint32_t track, int16_t* samples, size_t capacity,
                                          size_t* count);

#ifdef __cplusplus
}
#endif

#endif /* TARN_TARN_H */
