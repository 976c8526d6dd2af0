#include "player/report_text.h"

#include <cstdio>

#include "movie/movie.h"

namespace tarn {
namespace {

std::string Printf(const char* format, auto... args) {
  const int n = std::snprintf(nullptr, 0, format, args...);
  std::string s(size_t(n > 0 ? n : 0), '\0');
  std::snprintf(s.data(), s.size() + 1, format, args...);
  return s;
}

// A value in tenths as "%i.%01i".
std::string Tenths(uint32_t tenths) { return Printf("%i.%01i", int(tenths / 10), int(tenths % 10)); }

const char* Plural(uint32_t n) { return n == 1 ? "" : "s"; }

}  // namespace

std::string FormatPosition(uint32_t frame, uint32_t frameCount, uint32_t num, uint32_t den) {
  const std::string frames = Printf("frame %u of %u", frame, frameCount);
  if (num == 0) return frames;
  const auto clock = [&](uint32_t n) {
    const uint64_t t = uint64_t(n) * den / num;
    return Printf("%02u:%02u:%02u", unsigned(t / 3600), unsigned(t / 60 % 60), unsigned(t % 60));
  };
  return clock(frame) + " / " + clock(frameCount) + "  " + frames;
}

std::string FormatDuration(uint32_t t) {
  if (t < 1000) return Printf("%u millisecond%s", t, Plural(t));
  if (t < 60000) return Printf("%u second%s", t / 1000, Plural(t / 1000));
  if (t < 3600000) {
    const uint32_t n = t / 60000, m = t % 60000 / 1000;
    return Printf("%u minute%s%u second%s", n, n == 1 ? " " : "s ", m, Plural(m));
  }
  const uint32_t n = t / 3600000, m = t % 3600000 / 60000;
  return Printf("%u hour%s%u minute%s", n, n == 1 ? " " : "s ", m, Plural(m));
}

std::string FormatStatisticsLine(const RealtimeStats& s) {
  const uint32_t ms = s.windowTime ? s.windowTime : 1;
  const uint32_t fps10 = uint32_t(uint64_t(s.framesInWindow) * 10000 / ms);
  const uint32_t buffer = uint32_t((uint64_t(s.bufferHeld) + 1) * 1000 / (uint64_t(s.bufferTarget) + 1) + 5) / 10;
  auto percent = [&](uint64_t time) { return int(time * 100 / ms); };
  return Printf("Fr: %i, FPS: %i.%0i, Buf: %i%%, Vid: %i%%, Aud: %i%%, Blit: %i%%, Read: %i%%, Back: %i%%, Rate: %i",
                int(s.frame), int(fps10 / 10), int(fps10 % 10), int(buffer), percent(s.videoTime),
                percent(s.audioTime), percent(s.copyTime), percent(uint64_t(s.idleReadTime) + s.readTime),
                percent(s.backgroundReadTime), int(s.dataRate));
}

std::string BuildSummaryText(const PlaybackSummary& s, const SummaryDisplay& d) {
  if (s.framesPlayed == 0) return {};
  const uint32_t total = s.playbackTime ? s.playbackTime : 1;
  auto percent = [&](uint32_t time) { return Tenths(uint32_t(uint64_t(time) * 1000 / total)); };
  auto rate10 = [](uint32_t num, uint32_t den) { return den ? uint32_t(uint64_t(num) * 10 / den) : 0u; };

  const std::string fileRate = Tenths(rate10(s.fileRateNumerator, s.fileRateDenominator));
  const std::string played = (s.playedRateNumerator == 0 || s.playedRateDenominator == 0)
                                 ? std::string("As fast as possible")
                                 : Tenths(rate10(s.playedRateNumerator, s.playedRateDenominator)) + " frames/sec";
  const std::string obtained = Tenths(uint32_t(uint64_t(s.framesPlayed) * 10000 / total));
  const std::string slowest = Tenths(10000 / (s.slowestFrameTime ? s.slowestFrameTime : 1));
  const std::string second =
      s.framesPlayed < 2
          ? std::string()
          : Printf("Second slowest frame: %i (%s frames/sec)\n", int(s.secondSlowestFrame),
                   Tenths(10000 / (s.secondSlowestFrameTime ? s.secondSlowestFrameTime : 1)).c_str());
  return Printf(
      "Video: %i x %i at %s frames/sec\nTotal frames: %i\n\nTotal frames played: %i\nFrame rate played: %s\n"
      "Frame rate obtained: %s frames/sec\nSkipped frames: %i\nSkipped blits: %i\nSound skips: %i\n\n"
      "Percentage spent decompressing video: %s\nPercentage spent decompressing audio: %s\n"
      "Percentage spent blitting: %s\nPercentage spent reading: %s\nPercentage spent reading while idle: %s\n"
      "Percentage spent reading in background: %s\nSpeed of playback device: %u bytes/sec\n\n"
      "Total playback time: %s\nTotal open time: %s\nSlowest frame: %i (%s frames/sec)\n%s\n"
      "Average data rate: %i\nAverage frame size: %i\nPeak data rate: %i bytes/sec (frame: %i)\n\n"
      "Total memory used: %i\nTotal input memory: %i\nHighest input memory used: %i\n\n"
      "Blitting style: %s\nVideo mode: %i x %i at %i bits\n",
      int(s.width), int(s.height), fileRate.c_str(), int(s.frameCount), int(s.framesPlayed), played.c_str(),
      obtained.c_str(), int(s.skippedFrames), int(s.skippedCopies), int(s.soundSkips),
      percent(s.videoTime).c_str(), percent(s.audioTime).c_str(), percent(s.copyTime).c_str(),
      percent(s.readTime).c_str(), percent(s.idleReadTime).c_str(), percent(s.backgroundReadTime).c_str(),
      unsigned(s.readSpeed), FormatDuration(s.playbackTime).c_str(), FormatDuration(s.openTime).c_str(),
      int(s.slowestFrame), slowest.c_str(), second.c_str(), int(s.averageDataRate),
      int(s.averageFrameSize), int(s.peakSecondAmount), int(s.peakWindowFrame), int(s.memoryUsed),
      int(s.ringSize), int(s.ringHighWater), d.styleName ? d.styleName : "", int(d.screenWidth),
      int(d.screenHeight), int(d.screenBits));
}

}  // namespace tarn
