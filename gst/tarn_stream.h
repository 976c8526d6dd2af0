// What the plugin's elements say to each other: the media types and caps
// fields of the container, its video stream and its audio tracks, the time of
// a frame, and the walk of one frame record into its packets and video data.
#pragma once

#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "movie/container.h"

namespace tarn::gst {

inline constexpr const char* kContainerCaps = "video/x-tarn";
inline constexpr const char* kVideoCaps = "video/x-tarn-video";
inline constexpr const char* kAudioCaps = "audio/x-tarn";

// Fields of the video caps beyond width, height and framerate.
inline constexpr const char* kFieldRevision = "revision";          // string "f" .. "i"
inline constexpr const char* kFieldHeaderFlags = "header-flags";   // uint, HDR_* bits as stored
inline constexpr const char* kFieldAllKeyFrames = "all-key-frames";  // boolean
// Fields of the audio caps beyond rate and channels.
inline constexpr const char* kFieldVariant = "variant";   // string "dct" or "rdft"
inline constexpr const char* kFieldTrackId = "track-id";  // uint

// The rate a stream is timed at. The player plays a movie whose rate has a
// zero term as fast as it decodes; a stream needs times, so such a movie is
// timed at kUntimedRate frames a second.
struct StreamRate {
  uint32_t numerator = 30, denominator = 1;
};
inline constexpr uint32_t kUntimedRate = 30;
StreamRate StreamRateOf(const MovieHeader& h);
// Start of 0-based frame i, and the frame that shows at time t (clamped to
// frameCount - 1 by the caller).
GstClockTime FrameTime(const StreamRate& rate, uint64_t frame);
uint64_t FrameAtTime(const StreamRate& rate, GstClockTime t);

// One track's part of a frame record.
struct RecordPacket {
  uint32_t offset = 0;  // of the packet (its decoded byte count) in the record
  uint32_t length = 0;  // L; 0 when the track has nothing in this frame
};
struct RecordParts {
  std::vector<RecordPacket> packets;  // one per track of the table
  uint32_t videoOffset = 0;           // the video data runs from here to the record's end
  bool malformed = false;             // a length field ran past the record
};
// Walks a record of size bytes as the movie's frame step does: for a length
// field that runs past the record the remaining packets are empty and the
// video data is empty too.
void SplitRecord(const uint8_t* record, size_t size, uint32_t trackCount, RecordParts& out);

// Whether a track's rate word names compressed audio (its variant: TrackUsesDct).
bool TrackIsCompressed(uint32_t rateWord);
uint32_t TrackChannels(uint32_t rateWord);
inline uint32_t TrackRate(uint32_t rateWord) { return rateWord & 0xFFFF; }

}  // namespace tarn::gst
