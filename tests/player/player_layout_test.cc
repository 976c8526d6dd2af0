#include <gtest/gtest.h>

#include <map>

#include "movie/movie.h"
#include "player/layout.h"
#include "player/report_text.h"
#include "player/version_reminder.h"

namespace tarn {
namespace {

constexpr uint32_t kShrink = 0x10000000;  // the width axis's base flag

TEST(PlayerLayout, StretchTargetsAndFlags) {
  struct Case {
    int32_t n, d;
    uint32_t source, screen, target, flags;
  } cases[] = {
      {0, 0, 640, 1920, 640, 0},                   // not requested
      {1280, 1, 640, 1920, 1280, kShrink * 8},     // integer multiple
      {960, 1, 640, 1920, 960, kShrink * 4},       // stretch
      {320, 1, 640, 1920, 320, kShrink * 2},       // integer divisor
      {500, 1, 640, 1920, 500, kShrink},           // shrink
      {640, 1, 640, 1920, 640, 0},                 // same size
      {-2, 1, 640, 1920, 1280, kShrink * 8},       // scale factor 2x
      {-3, 2, 640, 1920, 960, kShrink * 4},        // scale 1.5x
      {-1, 1, 640, 1920, 1920, kShrink * 8},       // the screen
      {-1, 1, 640, 1000, 1000, kShrink * 4},
      {5, 0, 640, 1920, 640, 0},                   // zero divisor keeps the size
  };
  for (const Case& c : cases) {
    const StretchResult r = ComputeStretch(c.n, c.d, c.source, c.screen, kShrink);
    EXPECT_EQ(r.target, c.target) << c.n << "/" << c.d;
    EXPECT_EQ(r.flags, c.flags) << c.n << "/" << c.d;
  }
}

TEST(PlayerLayout, FullScreenFitKeepsTheAspect) {
  int32_t w = 0, h = 0;
  FitToScreen(640, 480, 1920, 1080, w, h);  // 4:3 on 16:9: full height, narrower
  EXPECT_EQ(w, 1440);
  EXPECT_EQ(h, 1080);
  FitToScreen(1920, 800, 1280, 1024, w, h);  // wide movie: full width
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 533);
  // Centred horizontally: (1920 - 1440) / 2 = 240, a multiple of 4.
  EXPECT_EQ(DefaultWindowX(-3000, 1920, 1440, 0), 240);
}

TEST(PlayerLayout, ConverterDoublingOnlyForExactDoubles) {
  EXPECT_EQ(ConverterDoubling(320, 240, 320, 480), DISPLAY_HEIGHT_DOUBLED);
  EXPECT_EQ(ConverterDoubling(320, 240, 640, 240), DISPLAY_WIDTH_DOUBLED);
  EXPECT_EQ(ConverterDoubling(320, 240, 640, 480), DISPLAY_BOTH_DOUBLED);
  EXPECT_EQ(ConverterDoubling(320, 240, 960, 720), 0u);
  EXPECT_EQ(ConverterDoubling(320, 240, 320, 240), 0u);
}

TEST(PlayerLayout, DefaultPosition) {
  EXPECT_EQ(DefaultWindowX(-3000, 1024, 330, 3), 344);  // 347 rounded down to 4
  EXPECT_EQ(DefaultWindowX(-3000, 640, 800, 3), -3);    // wider than the screen
  EXPECT_EQ(DefaultWindowX(17, 640, 800, 3), 17);       // given
  EXPECT_EQ(DefaultWindowY(-3000, 768, 251, 22), 258);
  EXPECT_EQ(DefaultWindowY(-3000, 480, 600, 22), -22);
}

TEST(PlayerLayout, NamesAndForms) {
  EXPECT_EQ(WithDefaultExtension("clip"), "clip.trn");
  EXPECT_EQ(WithDefaultExtension("clip.trn"), "clip.trn");
  EXPECT_EQ(WithDefaultExtension("my.movies/clip"), "my.movies/clip.trn");
  EXPECT_EQ(WithDefaultExtension("my.movies\\clip"), "my.movies\\clip.trn");
  EXPECT_EQ(WithDefaultExtension("a.b"), "a.b");

  std::string file;
  uint64_t offset = 0;
  ASSERT_TRUE(SplitOffsetForm("bundle.bin|115712", file, offset));
  EXPECT_EQ(file, "bundle.bin");
  EXPECT_EQ(offset, 115712u);
  EXPECT_FALSE(SplitOffsetForm("plain.trn", file, offset));
  EXPECT_FALSE(SplitOffsetForm("x|12a", file, offset));
  ASSERT_TRUE(ParseOwnExecutableOffset(":4096", offset));
  EXPECT_EQ(offset, 4096u);
  EXPECT_FALSE(ParseOwnExecutableOffset(":", offset));

  EXPECT_EQ(SnapshotFileName("/films/My clip.trn", 2490), "tarn-My_clip-2490.png");
  EXPECT_EQ(SnapshotFileName("a/b.c/movie", 1), "tarn-movie-1.png");
  EXPECT_EQ(SnapshotFileName("bundle.bin|1000", 7), "tarn-bundle-7.png");
  EXPECT_EQ(SnapshotFileName("/x/.trn", 3), "tarn-.trn-3.png") << "a leading dot is no extension";
}

TEST(PlayerText, FormatDuration) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "0 milliseconds"},        {1, "1 millisecond"},          {999, "999 milliseconds"},
      {1000, "1 second"},           {59999, "59 seconds"},         {60000, "1 minute 0 seconds"},
      {61000, "1 minute 1 second"}, {125000, "2 minutes 5 seconds"}, {3600000, "1 hour 0 minutes"},
      {7200000, "2 hours 0 minutes"}, {3660000, "1 hour 1 minute"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(FormatDuration(ms), text) << ms;
}

TEST(PlayerText, SummaryShowsAFastDeviceAsAPositiveSpeed) {
  PlaybackSummary s{};
  s.framesPlayed = 1;
  s.playbackTime = 1000;
  s.readSpeed = 2806415104u;  // above 2^31: a fast read of a cached file
  const std::string text = BuildSummaryText(s, {"", 0, 0, 0});
  EXPECT_NE(text.find("Speed of playback device: 2806415104 bytes/sec\n"), std::string::npos) << text;
}

struct FakeReminder {
  std::map<std::string, std::string> values;
  CalendarDate date{2026, 12, 5};
  bool answer = false;
  int asked = 0;
  std::string opened;
  ReminderEnvironment Env() {
    ReminderEnvironment e;
    e.hasToolSuite = [] { return true; };
    e.today = [this] { return date; };
    e.readValue = [this](const char* k, const char* fallback) {
      auto it = values.find(k);
      return it == values.end() ? std::string(fallback) : it->second;
    };
    e.writeValue = [this](const char* k, const std::string& v) { values[k] = v; };
    e.askYesNo = [this](const char*, const char*) {
      ++asked;
      return answer;
    };
    e.openAddress = [this](const std::string& a) { opened = a; };
    e.webSite = "http://example.invalid";
    return e;
  }
};

TEST(VersionReminder, DateArithmetic) {
  EXPECT_EQ(FormatDate(SevenDaysEarlier({2026, 3, 5})), "2026-02-28");
  EXPECT_EQ(FormatDate(SevenDaysEarlier({2026, 1, 2})), "2025-12-25");
  EXPECT_EQ(FormatDate(SevenDaysEarlier({2026, 3, 15})), "2026-03-08");
  EXPECT_EQ(FormatDate(TwoMonthsEarlier({2026, 2, 10})), "2025-12-10");
  EXPECT_EQ(FormatDate(TwoMonthsEarlier({2026, 7, 31})), "2026-05-31");
}

TEST(VersionReminder, AsksAtMostOncePerWeekAndExitsOnYes) {
  FakeReminder f;
  EXPECT_EQ(VersionReminder(f.Env()), 0);  // answered no
  EXPECT_EQ(f.asked, 1);
  EXPECT_EQ(f.values[kLastCheckKey], "2026-12-05");  // written before asking
  EXPECT_EQ(VersionReminder(f.Env()), 0);
  EXPECT_EQ(f.asked, 1);  // silenced for the week
  f.date = {2026, 12, 12};  // seven days on: 2026-12-05 is not earlier than B
  EXPECT_EQ(VersionReminder(f.Env()), 0);
  EXPECT_EQ(f.asked, 1);
  f.date = {2026, 12, 13};
  f.answer = true;
  EXPECT_EQ(VersionReminder(f.Env()), 1);
  EXPECT_EQ(f.asked, 2);
  EXPECT_EQ(f.opened, "http://example.invalid/scripts/tarnver.asp?ver=1.8n");
}

TEST(VersionReminder, SilentBeforeTheReferenceDateOrWithoutTheSuite) {
  FakeReminder f;
  f.date = {2006, 9, 21};  // two months earlier is the reference date itself
  EXPECT_EQ(VersionReminder(f.Env()), 0);
  EXPECT_EQ(f.asked, 0);
  ReminderEnvironment e = f.Env();
  f.date = {2026, 12, 5};
  e.hasToolSuite = [] { return false; };
  EXPECT_EQ(VersionReminder(e), 0);
  EXPECT_EQ(f.asked, 0);
}

}  // namespace
}  // namespace tarn
