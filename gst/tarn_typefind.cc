// The type finder: a stream that starts with one of the four magic words is a
// Tarn movie, surely so when the rest of the header is one the movie open
// would plan from.
#include <gst/gst.h>

#include "common/input_limits.h"
#include "gst/tarn_stream.h"
#include "movie/container.h"

namespace tarn::gst {
namespace {

void FindTarn(GstTypeFind* find, gpointer) {
  const guint8* bytes = gst_type_find_peek(find, 0, kMovieHeaderSize);
  const bool whole = bytes != nullptr;
  if (!bytes) bytes = gst_type_find_peek(find, 0, 4);
  if (!bytes) return;
  MovieHeader h{};
  h.magic = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
  const char letter = MovieRevisionLetter(h.magic);
  if (letter == 0) return;
  guint probability = GST_TYPE_FIND_LIKELY;
  if (whole) {
    h = DecodeMovieHeader(bytes);
    const bool plausible = CheckMovieHeader(h) == ContainerStatus::Ok && IndexCoversFrames(h) && h.width >= 1 &&
                           h.height >= 1 && h.width <= kMaxPictureSide && h.height <= kMaxPictureSide;
    probability = plausible ? GST_TYPE_FIND_MAXIMUM : GST_TYPE_FIND_POSSIBLE;
  }
  const char revision[2] = {letter, 0};
  GstCaps* caps = gst_caps_new_simple(kContainerCaps, kFieldRevision, G_TYPE_STRING, revision, nullptr);
  gst_type_find_suggest(find, probability, caps);
  gst_caps_unref(caps);
}

}  // namespace

gboolean RegisterTypeFinder(GstPlugin* plugin) {
  GstCaps* caps = gst_caps_new_empty_simple(kContainerCaps);
  const gboolean done = gst_type_find_register(plugin, kContainerCaps, GST_RANK_PRIMARY, FindTarn, "trn", caps,
                                               nullptr, nullptr);
  gst_caps_unref(caps);
  return done;
}

}  // namespace tarn::gst
