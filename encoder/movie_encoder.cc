// The encoding loop: pictures through the video encoder, sound cut per frame
// through one audio encoder per track, frame records into the movie writer.
#include "encoder/movie_encoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "common/worker_pool.h"
#include "movie/movie.h"
#include "movie/movie_writer.h"
#include "encoder/rate_control.h"

namespace tarn::encoder {

MovieAudioPacket TrackCutter::Packet(uint64_t framesEnd) {
  MovieAudioPacket p;
  const uint64_t total = sound_.samples.size() / sound_.channels;
  const uint64_t target = std::min(framesEnd, total);
  const uint32_t ch = sound_.channels, len = enc_.FrameLength(), adv = enc_.BlockAdvance();
  std::vector<int16_t> block(size_t(len) * ch);
  while (done_ < target) {
    for (uint32_t i = 0; i < len; ++i) {
      const uint64_t s = done_ + i;
      for (uint32_t c = 0; c < ch; ++c) block[size_t(i) * ch + c] = s < total ? sound_.samples[size_t(s) * ch + c] : 0;
    }
    enc_.EncodeBlock(block.data(), p.data);
    const uint64_t take = std::min<uint64_t>(adv, total - done_);
    p.decodedBytes += uint32_t(take * ch * 2);
    done_ += adv;
  }
  p.present = !p.data.empty();
  return p;
}

uint32_t TrackRateWord(const Sound& s, bool useDct) {
  uint32_t w = s.sampleRate & 0xFFFF;
  w |= useDct ? TRACK_CODEC_B : TRACK_CODEC_A;
  if (!s.eightBit) w |= TRACK_16BIT;
  if (s.channels == 2) w |= TRACK_STEREO;
  return w;
}

namespace {

struct Loop {
  const EncodeOptions& opts;
  MovieWriter writer;
  VideoEncoder video;
  std::vector<TrackCutter> cutters;
  uint32_t rateNum, rateDen;
  uint32_t keyInterval;
  int quality;
  uint32_t frame = 0;
  uint64_t bytes = 0;
  BlockHistogram blocks{};
  double sse[4] = {}, samples[4] = {};

  static MovieWriterInfo Info(const EncodeOptions& o, uint32_t w, uint32_t h, uint32_t num,
                              uint32_t den, const std::vector<const Sound*>& sounds,
                              const std::vector<uint32_t>& ids) {
    MovieWriterInfo info;
    info.revision = o.revision;
    info.width = w;
    info.height = h;
    info.rateNumerator = num;
    info.rateDenominator = den;
    info.headerFlags = (o.grey ? HDR_GRAYSCALE : 0) | (o.alpha ? HDR_ALPHA : 0) |
                       ((o.display & 7) << 28);
    for (size_t i = 0; i < sounds.size(); ++i)
      info.tracks.push_back({TrackRateWord(*sounds[i], o.audioDct), ids[i], 0});
    return info;
  }

  Loop(const EncodeOptions& o, uint32_t w, uint32_t h, uint32_t num, uint32_t den,
       const std::vector<const Sound*>& sounds, const std::vector<uint32_t>& ids)
      : opts(o),
        writer(Info(o, w, h, num, den, sounds, ids)),
        video({w, h, o.revision, o.grey, o.alpha, o.threads > 0 ? o.threads : ThreadsWanted()}),
        rateNum(num),
        rateDen(den) {
    cutters.reserve(sounds.size());
    for (const Sound* s : sounds) {
      cutters.emplace_back(*s, o.audioQuality, o.audioDct);
      rates.push_back(s->sampleRate);
    }
    keyInterval = o.keyInterval ? o.keyInterval : std::max<uint32_t>(1, 10 * num / std::max(den, 1u));
    quality = std::clamp(o.quality, 1, 100);
    if (o.bitrate) rate = std::make_unique<RateControl>(o.bitrate, num, den);
  }

  void Add(const Picture& pic) {
    std::vector<MovieAudioPacket> packets;
    for (size_t t = 0; t < cutters.size(); ++t)
      packets.push_back(cutters[t].Packet(AudioFramesDue(frame, SampleRate(t), rateNum, rateDen, opts.audioLeadMs)));
    SourcePicture sp;
    sp.y = pic.y.data();
    sp.yStride = pic.width;
    const uint32_t cw = (pic.width + 1) / 2, chh = (pic.height + 1) / 2;
    std::vector<uint8_t> grey;
    if (!opts.grey) {
      if (pic.cb.empty()) {  // mono source coded in colour
        grey.assign(size_t(cw) * chh, 128);
        sp.cb = sp.cr = grey.data();
      } else {
        sp.cb = pic.cb.data();
        sp.cr = pic.cr.data();
      }
      sp.cStride = cw;
    }
    std::vector<uint8_t> opaque;
    if (opts.alpha) {
      if (pic.a.empty()) opaque.assign(size_t(pic.width) * pic.height, 255);
      sp.a = pic.a.empty() ? opaque.data() : pic.a.data();
      sp.aStride = pic.width;
    }
    const bool key = frame % keyInterval == 0;
    size_t other = 0;  // the record's bytes besides the video
    for (const auto& p : packets) other += 4 + (p.present ? 4 + p.data.size() : 0);
    const std::vector<uint8_t> data = EncodeVideo(sp, key, other);
    if (firstPass) {
      firstPass->video.push_back(data.size());
      firstPass->other.push_back(other);
    } else {
      writer.AddFrame(key, packets, data);
    }
    bytes += data.size() + other;
    ++frame;
  }

  // The frame's video at the quality asked or, with a byte rate, at the one
  // rate control gives, coded again lower while its second would be too large.
  std::vector<uint8_t> EncodeVideo(const SourcePicture& sp, bool key, size_t other) {
    std::vector<uint8_t> data;
    FrameStats fs;
    double q = rate ? rate->Quality(key, other) : double(quality);
    for (int attempt = 0;; ++attempt) {
      data.clear();
      video.EncodeFrame(sp, key, q, data, &fs);
      if (!rate || data.size() + other <= rate->Ceiling() || attempt == 4 || q <= 1) break;
      video.UndoFrame();
      q = rate->Retry(data.size() + other, q);
    }
    if (rate) rate->Done(key, data.size() + other, other, q);
    for (int t = 0; t < kBlockTypeCount; ++t) blocks[t] += fs.blocks[t];
    for (int p = 0; p < 4; ++p) {
      sse[p] += fs.sse[p];
      samples[p] += fs.samples[p];
    }
    return data;
  }

  // What a first pass leaves for the second.
  struct FirstPass {
    std::vector<size_t> video, other;
  };
  FirstPass* firstPass = nullptr;  // set: measure the frames, write nothing
  std::unique_ptr<RateControl> rate;

  // A first pass codes every frame at the one quality asked.
  void MeasureInto(FirstPass& first) {
    firstPass = &first;
    rate.reset();
  }

  std::vector<uint32_t> rates;
  uint32_t SampleRate(size_t t) const { return rates[t]; }

  void CopyError(EncodeStats& s) const {
    for (int p = 0; p < 4; ++p) {
      s.sse[p] = sse[p];
      s.samples[p] = samples[p];
    }
  }
};

bool CheckOptions(const EncodeOptions& o, std::string* why) {
  if (o.revision < 'f' || o.revision > 'i') {
    *why = "revision must be f, g, h or i";
    return false;
  }
  if (o.display > 7) {
    *why = "display mode must be 0..7";
    return false;
  }
  if (o.passes != 1 && o.passes != 2) {
    *why = "passes must be 1 or 2";
    return false;
  }
  if (o.passes == 2 && !o.bitrate) {
    *why = "two passes need a byte rate (--bitrate)";
    return false;
  }
  if (o.audioLeadMs > kMaxAudioLeadMs) {
    *why = "the sound lead must be 0.." + std::to_string(kMaxAudioLeadMs) + " ms";
    return false;
  }
  return true;
}

std::vector<uint32_t> TrackIds(const EncodeOptions& o, size_t count) {
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < count; ++i) ids.push_back(i < o.audio.size() && o.audio[i].hasId ? o.audio[i].id : uint32_t(i));
  return ids;
}

}  // namespace

double EncodeStats::Psnr(int a, int b) const {
  const double n = samples[a] + (b != a ? samples[b] : 0), e = sse[a] + (b != a ? sse[b] : 0);
  if (n <= 0) return 0;
  return 10 * std::log10(255.0 * 255.0 * n / std::max(e, 1e-3));
}

uint64_t AudioFramesDue(uint32_t frame, uint32_t sampleRate, uint32_t rateNumerator, uint32_t rateDenominator,
                        uint32_t leadMs) {
  const uint64_t own = ((uint64_t(frame) + 1) * rateDenominator * sampleRate + rateNumerator - 1) / rateNumerator;
  return own + (uint64_t(leadMs) * sampleRate + 500) / 1000;
}

bool EncodeMovieFile(const EncodeOptions& optsIn, EncodeStats* stats, std::string* why,
                     const EncodeProgress& progress) {
  std::string local;
  if (!why) why = &local;
  EncodeOptions opts = optsIn;
  if (!CheckOptions(opts, why)) return false;
  std::unique_ptr<PictureSource> src;
  const std::string& v = opts.video;
  const bool isY4m = v.size() >= 4 && v.compare(v.size() - 4, 4, ".y4m") == 0;
  src = isY4m ? OpenY4m(v, why) : OpenPngSequence(v, why);
  if (!src) return false;
  if (opts.alpha && !src->hasAlpha()) {
    *why = v + ": --alpha needs pictures with an alpha channel";
    return false;
  }
  if (src->grey()) opts.grey = true;
  uint32_t num = opts.rateNumerator ? opts.rateNumerator : src->rateNumerator();
  uint32_t den = opts.rateNumerator ? opts.rateDenominator : src->rateDenominator();
  if (!num || !den) {
    *why = "frame rate must be positive";
    return false;
  }
  std::vector<Sound> sounds(opts.audio.size());
  std::vector<const Sound*> soundPtrs;
  for (size_t i = 0; i < opts.audio.size(); ++i) {
    if (!ReadSound(opts.audio[i].path, sounds[i], why)) return false;
    soundPtrs.push_back(&sounds[i]);
  }
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  uint32_t expected = src->frameCountHint();
  if (opts.maxFrames) expected = expected ? std::min(expected, opts.maxFrames) : opts.maxFrames;
  // Two passes read the pictures twice; progress counts the frames of both.
  const uint32_t passes = uint32_t(opts.passes);
  uint32_t before = 0;
  auto run = [&](Loop& loop) {
    Picture pic;
    while ((!opts.maxFrames || loop.frame < opts.maxFrames) && src->Next(pic)) {
      loop.Add(pic);
      if (progress) progress(before + loop.frame, passes * expected, loop.bytes, elapsed());
    }
    if (!src->error().empty()) {
      *why = v + ": " + src->error();
      return false;
    }
    if (loop.frame == 0) {
      *why = v + ": no pictures";
      return false;
    }
    return true;
  };
  Loop::FirstPass first;
  if (passes == 2) {
    Loop pass(opts, src->width(), src->height(), num, den, soundPtrs, TrackIds(opts, sounds.size()));
    pass.MeasureInto(first);
    if (!run(pass)) return false;
    before = pass.frame;
    if (!(src = isY4m ? OpenY4m(v, why) : OpenPngSequence(v, why))) return false;
  }
  Loop loop(opts, src->width(), src->height(), num, den, soundPtrs, TrackIds(opts, sounds.size()));
  if (passes == 2) loop.rate->Plan(first.video, first.other, double(loop.quality));
  if (!run(loop)) return false;
  if (!loop.writer.WriteFile(opts.output, why)) return false;
  if (stats) {
    stats->frames = loop.frame;
    stats->bytes = loop.bytes;
    stats->blocks = loop.blocks;
    stats->seconds = elapsed();
    stats->movieSeconds = double(loop.frame) * den / num;
    loop.CopyError(*stats);
  }
  return true;
}

bool EncodeMovieMemory(const std::vector<Picture>& pictures, const std::vector<MemoryTrack>& tracks,
                       const EncodeOptions& opts, std::vector<uint8_t>& movie, std::string* why,
                       EncodeStats* stats) {
  std::string local;
  if (!why) why = &local;
  if (!CheckOptions(opts, why)) return false;
  if (pictures.empty()) {
    *why = "no pictures";
    return false;
  }
  std::vector<const Sound*> soundPtrs;
  std::vector<uint32_t> ids;
  for (const auto& t : tracks) {
    soundPtrs.push_back(&t.sound);
    ids.push_back(t.id);
  }
  const uint32_t num = opts.rateNumerator ? opts.rateNumerator : 25;
  const uint32_t den = opts.rateNumerator ? opts.rateDenominator : 1;
  for (const Picture& p : pictures) {
    if (p.width != pictures[0].width || p.height != pictures[0].height) {
      *why = "pictures differ in size";
      return false;
    }
  }
  Loop::FirstPass first;
  if (opts.passes == 2) {
    Loop pass(opts, pictures[0].width, pictures[0].height, num, den, soundPtrs, ids);
    pass.MeasureInto(first);
    for (const Picture& p : pictures) pass.Add(p);
  }
  Loop loop(opts, pictures[0].width, pictures[0].height, num, den, soundPtrs, ids);
  if (opts.passes == 2) loop.rate->Plan(first.video, first.other, double(loop.quality));
  for (const Picture& p : pictures) loop.Add(p);
  if (!loop.writer.Finish(movie)) {
    *why = "movie too large for the format";
    return false;
  }
  if (stats) {
    stats->frames = loop.frame;
    stats->bytes = movie.size();
    stats->blocks = loop.blocks;
    stats->movieSeconds = double(loop.frame) * den / num;
    loop.CopyError(*stats);
  }
  return true;
}

}  // namespace tarn::encoder
