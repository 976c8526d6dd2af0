// Stand-in until the packet decoder lands: no decoder can be created, so the
// movie open drops every track and movies play silently.
#include "audio/audio_decoder.h"

namespace tarn {

AudioDecoder* AudioDecoderOpen(uint32_t, uint32_t, bool) { return nullptr; }
void AudioDecoderClose(AudioDecoder*) {}
void AudioDecodeBlock(AudioDecoder*, const uint8_t* input, const uint8_t*, const int16_t** samplesOut,
                      uint32_t* bytesOut, const uint8_t** nextOut) {
  if (samplesOut) *samplesOut = nullptr;
  if (bytesOut) *bytesOut = 0;
  if (nextOut) *nextOut = input;
}

}  // namespace tarn
