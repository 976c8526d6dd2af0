// The player's two reports as text: the statistics line drawn over the picture
// while playing, and the playback summary shown at exit.
#pragma once

#include <cstdint>
#include <string>

namespace tarn {

struct PlaybackSummary;
struct RealtimeStats;

// "1 second", "2 minutes 5 seconds", "2 hours 0 minutes": whole units, truncated.
std::string FormatDuration(uint32_t milliseconds);

// The one-line statistics text for the figures of the last few frames.
std::string FormatStatisticsLine(const RealtimeStats& stats);

// The sample text the window is sized for (the widest line expected).
inline constexpr const char* kStatisticsSampleText =
    "Fre: 2000, FPS: 100.0, Buf: 100%, Vid: 55%, Aud: 55%, Blit: 55%, Read: 55%, Back: 55%, Rate: 1000000";

// The position line: "00:01:23 / 00:04:10  frame 2490 of 7500", times as
// whole seconds of frames at numerator / denominator frames per second (no
// times at a rate of 0).
std::string FormatPosition(uint32_t frame, uint32_t frameCount, uint32_t rateNumerator, uint32_t rateDenominator);

struct SummaryDisplay {
  const char* styleName;  // the display buffer's blit style
  uint32_t screenWidth, screenHeight, screenBits;
};

// The summary text; empty when no frame was played (then no summary is shown).
std::string BuildSummaryText(const PlaybackSummary& summary, const SummaryDisplay& display);

}  // namespace tarn
