// The movie's sound tracks: selection by id, opening each through the
// installed back-end, decoding each frame's packets into the rings under the
// sound lock, feeding the devices, the sound switch, pause and underruns.
#include "movie/movie_sound.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include "audio/audio_decoder.h"
#include "common/checked_size.h"
#include "common/little_endian.h"
#include "movie/container.h"
#include "movie/movie_internal.h"
#include "movie/movie_threads.h"
#include "movie/track_service.h"
#include "sound/backend_util.h"

namespace tarn {
namespace {

uint32_t TrackWord(const uint8_t* array, uint32_t i) { return LoadLe32(array + uint64_t(i) * 4); }

// Sample rate that keeps sound in step with an overridden frame rate, rounded
// to nearest; the track's own rate when the rates give no ratio.
uint32_t AdjustedSampleRate(const MovieState* m, uint32_t rate) {
  const uint64_t num = m->rateNumerator, den = m->rateDenominator;
  const uint64_t hn = m->source.headerRateNumerator, hd = m->source.headerRateDenominator;
  if (num == 0 || den == 0 || hn == 0 || hd == 0) return rate;
  const unsigned __int128 a = (unsigned __int128)rate * hd * num;
  const unsigned __int128 b = (unsigned __int128)hn * den;
  const unsigned __int128 r = (2 * a + b) / (2 * b);
  return r > UINT32_MAX ? UINT32_MAX : uint32_t(r);
}

void CloseTrack(MovieState* m, uint32_t k) {
  SoundTrack* t = &m->sound.tracks[k];
  if (t->driver.close) t->driver.close(t);
  if (t->decoder) AudioDecoderClose(t->decoder);
  MovieReleasePiece(m, m->sound.rings[k], t->ringSize);
  m->sound.rings[k] = nullptr;
  SoundNoteTrackClosed();
}

// Opens the track at table position pos into record k; false drops it.
//
// The ring holds the largest packet and twice the back-end's minimum chunk
// besides, so that a packet decoded while the ring still holds what the
// service waits to send never pushes sound out unheard. A minimum chunk is
// worth waiting for only with sound decoded well ahead: it is held to a
// quarter of the largest packet, so a track without a lead is fed as it is
// decoded. The silence put in front of the ring when sound restarts is the
// lead frame 1 carries, less the device's latency (MeasureLead): after the
// restart the pictures meet the sound where they met it before.
bool OpenTrack(MovieState* m, uint32_t k, uint32_t pos, SoundOpenRoutine open) {
  SoundTrack* t = &m->sound.tracks[k];
  std::memset(static_cast<void*>(t), 0, sizeof(SoundTrack));
  const uint32_t word = TrackWord(m->source.trackRate, pos);
  if (!(word & (TRACK_CODEC_A | TRACK_CODEC_B)) || open == nullptr) return false;
  const uint32_t ownRate = word & 0xFFFF;
  const uint32_t sampleRate = AdjustedSampleRate(m, ownRate);
  const uint32_t channels = (word & TRACK_STEREO) ? 2 : 1;
  const uint32_t bits = (word & TRACK_16BIT) ? 16 : 8;
  const uint32_t largest = TrackWord(m->source.trackLargest, pos);
  const SoundMovieInfo info{m->frameCount, m->rateNumerator, m->rateDenominator, largest};
  if (!open(t, sampleRate, bits, channels, m->flags, &info)) return false;
  if (t->lengthMask == 0) t->lengthMask = 0xFFFFFFFFu;
  t->minChunk = std::min(t->minChunk, (largest / 4) & ~3u);
  const std::optional<uint64_t> ringSize = CheckedRoundUp(uint64_t(largest) + 2 * uint64_t(t->minChunk), 256);
  uint8_t* ring =
      ringSize && *ringSize <= UINT32_MAX ? static_cast<uint8_t*>(MovieAllocatePiece(m, *ringSize)) : nullptr;
  if (!ring) {
    if (t->driver.close) t->driver.close(t);
    return false;
  }
  m->sound.rings[k] = ring;
  t->ringSize = uint32_t(*ringSize);
  t->ringStart = ring;
  t->ringEnd = ring + t->ringSize;
  t->writePos = t->readPos = ring;
  t->output8Bit = (word & TRACK_16BIT) ? 0 : 1;
  t->decoder = AudioDecoderOpen(ownRate, channels, TrackUsesDct(word));
  if (!t->decoder) {
    if (t->driver.close) t->driver.close(t);
    MovieReleasePiece(m, ring, t->ringSize);
    m->sound.rings[k] = nullptr;
    return false;
  }
  SoundNoteTrackOpened();
  const uint64_t hd4 = uint64_t(m->source.headerRateDenominator) * 4;
  const int64_t tail = hd4 ? int64_t(uint64_t(m->source.headerRateNumerator) * 3 / hd4) : 0;
  t->endFrame = int32_t(std::clamp<int64_t>(int64_t(m->frameCount) - tail, INT32_MIN, INT32_MAX));
  t->fillCount = 0;
  if (t->speed == 0) t->speed = 0x10000;
  return true;
}

// Decodes one track's packet [p, end) (decoded byte count, then data) into its ring.
void DecodePacket(SoundTrack* t, const uint8_t* p, const uint8_t* end) {
  const AudioEmitFn toRing = [](void* track, const uint8_t* bytes, uint32_t n) {
    SoundRingWrite(static_cast<SoundTrack*>(track), bytes, n);
  };
  (void)AudioDecodePacket(t->decoder, p, end, toRing, t);
}

// The selected-list position of table track t, or -1.
int SelectedSlot(const MovieSound& s, uint32_t t) {
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    if (s.selected[k] == t) return int(k);
  }
  return -1;
}

// Ring bytes (16-bit samples) of one second of a track's playing time.
uint64_t RingBytesPerSecond(const SoundTrack& t) { return uint64_t(t.rate) * t.channels * 2; }

// Each selected track's sound lead, as frame 1's packet brings it at the
// start: its decoded bytes beyond frame 1's own share of the track's sound
// (whole sample frames, at most the ring). leadFrames is how many records
// before a frame hold that much sound, plus one whose blocks warm the
// decoder's cross-fade up. The silence preloaded when sound restarts is the
// lead less the device's latency. Frame 1's record is loaded.
void MeasureLead(MovieState* m) {
  MovieSound& s = m->sound;
  const uint32_t hn = m->source.headerRateNumerator, hd = m->source.headerRateDenominator;
  if (hn == 0 || m->source.frameData == nullptr) return;
  uint64_t frames = 0;
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    SoundTrack* t = &s.tracks[k];
    const uint32_t pos = s.selected[k];
    const uint32_t word = TrackWord(m->source.trackRate, pos);
    const uint32_t sampleBytes = TrackSampleBytes(word);
    const uint64_t share = TrackFrameShareBytes(word, hn, hd);
    if (share == 0) continue;
    const uint32_t decoded = FramePacketDecodedBytes(m->source.frameData, m->source.frameSize, m->source.trackCount, pos);
    uint32_t lead = std::min(TrackLeadBytes(decoded, word, hn, hd), t->ringSize);
    lead -= lead % sampleBytes;
    s.leadBytes[k] = lead;
    frames = std::max<uint64_t>(frames, (lead + share - 1) / share + 1);
    const uint64_t latency = RingBytesPerSecond(*t) * uint64_t(std::max<int32_t>(0, t->latencyMs)) / 1000;
    t->preloadBytes = uint32_t(lead > latency ? lead - latency : 0) & ~3u;
  }
  s.leadFrames = uint32_t(std::min<uint64_t>(frames, uint64_t(m->source.roundedRate) * 5));
}

void ServiceLocked(MovieState* m) {
  const int64_t frame = int32_t(std::atomic_ref<uint32_t>(m->currentFrame).load(std::memory_order_relaxed));
  SoundServiceTracksLocked(m->sound.tracks, m->sound.selectedCount, frame);
}

}  // namespace

void SoundInit(MovieState* m, SoundTrack* tracks, uint32_t trackRecords, uint32_t* selected) {
  m->sound.tracks = tracks;
  m->sound.trackRecords = trackRecords;
  m->sound.selected = selected;
}

void SoundOpenTracks(MovieState* m, const uint32_t* ids, uint32_t idCount) {
  MovieSound& s = m->sound;
  for (uint32_t p = 0; p < idCount; ++p) {
    for (uint32_t t = 0; t < m->source.trackCount; ++t) {
      if (TrackWord(m->source.trackIds, t) == ids[p]) {
        s.selected[s.selectedCount++] = t;
        break;
      }
    }
  }
  s.tracks[0].speed = 0x10000;

  // Dropped tracks close the gap.
  const SoundOpenRoutine open = SoundInstalledOpen();
  uint32_t kept = 0;
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    if (OpenTrack(m, kept, s.selected[k], open)) s.selected[kept++] = s.selected[k];
  }
  s.selectedCount = kept;
  if (kept < s.trackRecords) {
    std::memset(static_cast<void*>(&s.tracks[kept]), 0, sizeof(SoundTrack) * (s.trackRecords - kept));
  }
  if (s.tracks[0].speed == 0) s.tracks[0].speed = 0x10000;
  // The back-ends open their tracks switched on, so the movie starts with its
  // sound playing; otherwise MovieWait would hold every frame until a caller
  // switched sound on, which a plain player never does.
  if (s.selectedCount) s.playing = 1;
  MeasureLead(m);
}

void SoundCloseTracks(MovieState* m) {
  for (uint32_t k = 0; k < m->sound.selectedCount; ++k) CloseTrack(m, k);
  m->sound.selectedCount = 0;
}

const uint8_t* SoundDecodeFrame(MovieState* m, const uint8_t* p, const uint8_t* end, bool* malformed) {
  MovieSound& s = m->sound;
  if (s.decodedAhead) {
    s.decodedAhead = 0;
    return FrameVideoStart(p, end, m->source.trackCount, malformed);
  }
  bool locked = false;
  const uint8_t* video = WalkFramePackets(p, end, m->source.trackCount, malformed,
                                          [&](uint32_t t, const uint8_t* packet, const uint8_t* packetEnd) {
                                            const int k = SelectedSlot(s, t);
                                            if (k < 0) return;
                                            if (!locked) {
                                              MovieNodeLock(&s.node);
                                              locked = true;
                                            }
                                            DecodePacket(&s.tracks[k], packet, packetEnd);
                                          });
  if (locked) MovieNodeUnlock(&s.node);
  return video;
}

void SoundDecodeAhead(MovieState* m) {
  if (m->sound.selectedCount == 0 || m->source.frameData == nullptr) return;
  bool malformed = false;
  SoundDecodeFrame(m, m->source.frameData, m->source.frameData + m->source.frameSize, &malformed);
  m->sound.decodedAhead = 1;
}

void MovieServiceSound(MovieState* m) {
  MovieSound& s = m->sound;
  if (s.selectedCount == 0) return;
  if (s.tracks[s.selectedCount - 1].driver.ready == nullptr) return;
  if (!MovieNodeTryLock(&s.node)) return;
  ServiceLocked(m);
  MovieNodeUnlock(&s.node);
}

uint32_t SoundSwitch(MovieState* m, uint32_t on) {
  MovieSound& s = m->sound;
  if (s.selectedCount == 0) return 0;
  uint32_t result = 0;
  bool locked = false;
  // Every track that stops while sound was playing is emptied, not only the
  // first: a stale ring would play out of step after the restart.
  const bool wasPlaying = s.playing;
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    SoundTrack* t = &s.tracks[k];
    if (!t->driver.enable) continue;
    if (!locked) {
      MovieNodeLock(&s.node);
      locked = true;
    }
    if (t->driver.enable(t, on ? 1 : 0)) {
      if (!s.playing) {
        s.playing = 1;
        ClockRestart(m);
      }
      result = 1;
    } else if (wasPlaying || s.playing) {
      SoundRingReset(t);
      s.decodedAhead = 0;
      const bool atStart = m->currentFrame == 1 && m->clock.framesDecoded == 0;
      if (!atStart) SoundPrefillSilence(t);
      s.playing = 0;
    }
  }
  if (locked) MovieNodeUnlock(&s.node);
  return result;
}

void SoundRestartAt(MovieState* m, uint32_t frame) {
  MovieSound& s = m->sound;
  if (s.selectedCount == 0) return;
  s.decodedAhead = 0;
  SoundSwitch(m, 0);
  (void)SoundTakeUnderrun(m);  // a starvation before the jump belongs to the sound given up
  MovieNodeLock(&s.node);
  for (uint32_t k = 0; k < s.selectedCount; ++k) SoundRingReset(&s.tracks[k]);
  MovieNodeUnlock(&s.node);
  if (frame > 1 && s.leadFrames != 0) {
    for (uint32_t f = frame > s.leadFrames ? frame - s.leadFrames : 1; f < frame; ++f) {
      if (!SourceLoadRecord(m, f)) break;
      bool malformed = false;
      SoundDecodeFrame(m, m->source.frameData, m->source.frameData + m->source.frameSize, &malformed);
    }
    MovieNodeLock(&s.node);
    for (uint32_t k = 0; k < s.selectedCount; ++k) SoundRingKeepNewest(&s.tracks[k], s.leadBytes[k]);
    MovieNodeUnlock(&s.node);
  }
  SoundSwitch(m, 1);
  // A back-end may come back from its switch running; a paused movie keeps its sound paused.
  if (m->clock.paused) SoundPauseTracks(m, true);
}

uint32_t SoundSetVolume(MovieState* m, uint32_t volume) {
  MovieSound& s = m->sound;
  uint32_t set = 0;
  if (s.selectedCount == 0) return 0;
  MovieNodeLock(&s.node);
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    SoundTrack* t = &s.tracks[k];
    if (!t->driver.setVolume) continue;
    t->driver.setVolume(t, volume);
    set = 1;
  }
  MovieNodeUnlock(&s.node);
  return set;
}

void SoundPauseTracks(MovieState* m, bool pause) {
  MovieSound& s = m->sound;
  if (s.selectedCount == 0) return;
  MovieNodeLock(&s.node);
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    SoundTrack* t = &s.tracks[k];
    if (t->driver.pause) t->driver.pause(t, pause ? 1 : 0);
  }
  MovieNodeUnlock(&s.node);
}

bool SoundTakeUnderrun(MovieState* m) {
  bool underrun = false;
  for (uint32_t k = 0; k < m->sound.selectedCount; ++k) {
    SoundTrack* t = &m->sound.tracks[k];
    if (std::atomic_ref<uint32_t>(t->starved).exchange(0) && m->currentFrame > 1 &&
        int64_t(t->endFrame) >= int64_t(m->currentFrame)) {
      underrun = true;
    }
  }
  return underrun;
}

uint32_t SoundPendingMs(MovieState* m) {
  MovieSound& s = m->sound;
  if (s.selectedCount == 0) return 0;
  MovieServiceSound(m);
  uint64_t most = 0;
  MovieNodeLock(&s.node);
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    SoundTrack* t = &s.tracks[k];
    const uint64_t perSecond = RingBytesPerSecond(*t);
    if (perSecond == 0) continue;
    uint64_t bytes = std::atomic_ref<uint32_t>(t->fillCount).load();
    if (t->driver.queued) bytes += uint64_t(t->driver.queued(t)) * (t->output8Bit ? 2 : 1);
    most = std::max(most, (bytes * 1000 + perSecond - 1) / perSecond);
  }
  MovieNodeUnlock(&s.node);
  return uint32_t(std::min<uint64_t>(most, UINT32_MAX));
}

// A track whose packets carry no lead makes the back-end wait that margin
// besides before it starts (SoundStartBytes): its sound runs that much
// further behind the decode.
uint32_t SoundLeadMs(const MovieState* m) {
  const MovieSound& s = m->sound;
  uint64_t most = 0;
  for (uint32_t k = 0; k < s.selectedCount; ++k) {
    const uint64_t perSecond = RingBytesPerSecond(s.tracks[k]);
    if (perSecond == 0) continue;
    uint64_t ms = uint64_t(TrackWord(m->source.trackLargest, s.selected[k])) * 1000 / perSecond;
    if (ms < kSoundStartMarginMs) ms += kSoundStartMarginMs;
    most = std::max(most, ms);
  }
  return uint32_t(std::min<uint64_t>(most, UINT32_MAX));
}

uint32_t MovieSetVolume(Movie* movie, uint32_t volume) {
  return movie ? SoundSetVolume(AsState(movie), volume) : 0;
}

uint32_t SoundSpeed(const MovieState* m) {
  const uint32_t speed = m->sound.tracks[0].speed;
  return speed ? speed : 0x10000;
}

uint32_t SoundNodeUrgency(ServiceNode* node, uint32_t pass) {
  if (node->lastServicedPass == pass) return 0;
  return ~node->lastServicedPass;
}

void SoundNodeService(ServiceNode* node, uint32_t pass) {
  MovieState* m = static_cast<MovieState*>(node->owner);
  if (m->sound.selectedCount) ServiceLocked(m);  // the thread holds the node's mutex
  node->lastServicedPass = pass;
}

}  // namespace tarn
