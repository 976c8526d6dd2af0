// tarnaudiodec: a Tarn audio track into interleaved S16LE at the track's rate
// and channels, byte for byte as the movie's track ring receives it.
#pragma once

#include <gst/audio/audio.h>

G_BEGIN_DECLS
#define TARN_TYPE_AUDIO_DEC (tarn_audio_dec_get_type())
G_DECLARE_FINAL_TYPE(TarnAudioDec, tarn_audio_dec, TARN, AUDIO_DEC, GstAudioDecoder)
G_END_DECLS
