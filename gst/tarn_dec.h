// tarndec: a Tarn video stream into I420, A420 (movies with alpha) or GRAY8
// (grey movies) pictures of the movie's picture size, or of the header's
// display mode when apply-display-mode is set.
#pragma once

#include <gst/video/video.h>

G_BEGIN_DECLS
#define TARN_TYPE_DEC (tarn_dec_get_type())
G_DECLARE_FINAL_TYPE(TarnDec, tarn_dec, TARN, DEC, GstVideoDecoder)
G_END_DECLS
