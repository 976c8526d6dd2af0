// The audio decoder's interface: one track's packet, block by block, into
// signed 16-bit samples. One decoder per played track, sized at open.
#pragma once

#include <cstdint>

namespace tarn {

struct AudioDecoder;

// sampleRate: the track's own rate (low 16 bits of the rate word); channels 1
// or 2; useDct: TRACK_CODEC_B set and TRACK_CODEC_A clear. Null when the
// allocation fails (or channels is not 1 or 2).
AudioDecoder* AudioDecoderOpen(uint32_t sampleRate, uint32_t channels, bool useDct);
void AudioDecoderClose(AudioDecoder* decoder);

// Decodes the block at input, reading nothing at or past end (bits there read
// as 0). For each out-pointer that is not null: samplesOut <- the decoder's
// output buffer, bytesOut <- bytes of finished samples at its start, nextOut
// <- input + the bytes the block occupied, but never beyond end: a block that
// runs past end reports end. The samples stay valid until the next call on the
// same decoder. A null decoder yields null samples, 0 bytes and nextOut = input.
void AudioDecodeBlock(AudioDecoder* decoder, const uint8_t* input, const uint8_t* end,
                      const int16_t** samplesOut, uint32_t* bytesOut, const uint8_t** nextOut);

// Bytes of 16-bit output one block's transform yields (2 * frame length *
// channels), and the bytes of it that are cross-faded with the next block
// (blockBytes / 16). Each block finishes blockBytes - overlapBytes bytes.
// Both are 0 for a null decoder.
uint32_t AudioDecoderBlockBytes(const AudioDecoder* decoder);
uint32_t AudioDecoderOverlapBytes(const AudioDecoder* decoder);

// Decodes one track's packet of a frame, [packet, end): its 32-bit decoded
// byte count D, then blocks until D bytes are finished or the packet's bytes
// are used up, so a hostile count cannot make one packet decode without end.
// Each block's finished bytes (16-bit values in host order, channels
// interleaved) go to emit, the last block's cut to the bytes still owed.
// Returns the bytes emitted; 0 for a packet shorter than its count field.
using AudioEmitFn = void (*)(void* context, const uint8_t* bytes, uint32_t count);
uint32_t AudioDecodePacket(AudioDecoder* decoder, const uint8_t* packet, const uint8_t* end, AudioEmitFn emit,
                           void* context);

}  // namespace tarn
