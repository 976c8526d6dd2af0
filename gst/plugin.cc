// The plugin `tarn`: registers the type finder and the three elements.
#include <gst/gst.h>

#include "gst/tarn_audio_dec.h"
#include "gst/tarn_dec.h"
#include "gst/tarn_demux.h"

namespace tarn::gst {
gboolean RegisterTypeFinder(GstPlugin* plugin);
}

namespace {

gboolean PluginInit(GstPlugin* plugin) {
  return tarn::gst::RegisterTypeFinder(plugin) &&
         gst_element_register(plugin, "tarndemux", GST_RANK_PRIMARY, TARN_TYPE_DEMUX) &&
         gst_element_register(plugin, "tarndec", GST_RANK_PRIMARY, TARN_TYPE_DEC) &&
         gst_element_register(plugin, "tarnaudiodec", GST_RANK_PRIMARY, TARN_TYPE_AUDIO_DEC);
}

}  // namespace

#define PACKAGE "tarn"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tarn, "Tarn movies: type finder, demuxer and decoders",
                  PluginInit, TARN_VERSION, "Proprietary", "Tarn", "Tarn")
