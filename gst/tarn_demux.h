// tarndemux: a Tarn movie into its video stream (video_0) and one stream per
// compressed audio track (audio_N, N the track's place in the table).
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS
#define TARN_TYPE_DEMUX (tarn_demux_get_type())
G_DECLARE_FINAL_TYPE(TarnDemux, tarn_demux, TARN, DEMUX, GstElement)
G_END_DECLS
