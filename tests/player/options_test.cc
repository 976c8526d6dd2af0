#include "player/options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "movie/movie.h"
#include "platform/paths.h"
#include "player/profile.h"

namespace tarn {
namespace {

// Run as a patched copy (see PatchedCopyOfTheProgramReadsItsText), the test
// program only prints its embedded command line and exits.
const bool echoedEmbedded = [] {
  if (!std::getenv("TARN_ECHO_EMBEDDED")) return false;
  std::printf("embedded=[%s]\n", EmbeddedCommandLine().c_str());
  std::fflush(stdout);
  _exit(0);
}();

struct Parsed {
  CommandLineResult result;
  PlayerOptions o;
};

Parsed Parse(const std::string& args, const std::string& embedded = "", const std::string& module = "/usr/bin/tarnplay",
             const std::string& quickPlay = "") {
  CommandLineSources s;
  s.embedded = embedded;
  s.moduleName = module;
  s.processCommandLine = args;
  s.quickPlay = [quickPlay] { return quickPlay; };
  s.screenSize = [](int32_t& w, int32_t& h) {
    w = 1920;
    h = 1080;
  };
  Parsed p;
  p.result = ParseCommandLine(s, p.o);
  return p;
}

uint32_t DisplayOption(const PlayerOptions& o) { return (o.openFlags & OPEN_DISPLAY_MASK) >> OPEN_DISPLAY_SHIFT; }

TEST(CommandLine, DefaultsWithOnlyAFileName) {
  const Parsed p = Parse("movie.trn");
  ASSERT_EQ(p.result.outcome, CommandLineResult::PLAY);
  EXPECT_EQ(p.result.fileList, "movie.trn");
  EXPECT_EQ(p.o.loopCount, 1);
  EXPECT_EQ(p.o.frameRate, -1);
  EXPECT_EQ(p.o.readBufferSize, -1);
  EXPECT_EQ(p.o.windowX, kWindowCentred);
  EXPECT_EQ(p.o.openFlags, 0u);
  EXPECT_EQ(p.o.bufferFlags, 0u);
  EXPECT_EQ(p.o.screenWidth, 1920);
  EXPECT_EQ(p.o.ScreenSaverMode, 0);
}

TEST(CommandLine, LoopForms) {
  const struct {
    const char* args;
    int32_t loops;
  } cases[] = {{"a.trn", 1}, {"a.trn /l", 0}, {"/L3 a.trn", 3}, {"a.trn /L0", 0}, {"/l/s a.trn", 0}};
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result.outcome, CommandLineResult::PLAY) << c.args;
    EXPECT_EQ(p.o.loopCount, c.loops) << c.args;
  }
}

TEST(CommandLine, FrameRateFractions) {
  const struct {
    const char* args;
    int32_t rate, divisor;
    bool flag;
  } cases[] = {
      {"a /F29.97", 2997, 100, true}, {"a /F30;2", 15, 1, true},   {"a /F", 0, 0, true},
      {"a", -1, -1, false},           {"a /f-2.5", -5, 2, true},   {"a /F12.50", 25, 2, true},
      {"a /F30;0", 30, 1, true},      {"a /F2.5;0.5", 5, 1, true}, {"a /F99999999999999999;7", INT32_MAX, 7, true},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result.outcome, CommandLineResult::PLAY) << c.args;
    EXPECT_EQ(p.o.frameRate, c.rate) << c.args;
    EXPECT_EQ(p.o.frameRateDivisor, c.divisor) << c.args;
    EXPECT_EQ((p.o.openFlags & OPEN_FRAME_RATE) != 0, c.flag) << c.args;
  }
}

TEST(CommandLine, DisplayOptionsAlphaAndGrey) {
  const struct {
    const char* args;
    uint32_t option;
    bool alpha, grey;
  } cases[] = {{"a /A1102", 2, true, true}, {"a /A9", 7, false, false},    {"a /A102", 2, false, true},
               {"a /A1000", 0, true, false}, {"a /A2102", 7, false, false}, {"a /A-1", 7, false, false}};
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_EQ(DisplayOption(p.o), c.option) << c.args;
    EXPECT_EQ((p.o.openFlags & OPEN_ALPHA) != 0, c.alpha) << c.args;
    EXPECT_EQ((p.o.openFlags & OPEN_GREY) != 0, c.grey) << c.args;
    EXPECT_EQ(p.o.extraCopyFlags, c.alpha ? kOptionsShowAlphaCopyFlags : 0u) << c.args;
  }
}

TEST(CommandLine, WindowStyleAndFillScreen) {
  Parsed p = Parse("a /I101");
  EXPECT_EQ(p.o.alwaysOnTop, 1);
  EXPECT_EQ(p.o.windowStyle, 1);
  p = Parse("a /I101 /R");
  EXPECT_EQ(p.o.alwaysOnTop, 1);
  EXPECT_EQ(p.o.windowStyle, 2);
  EXPECT_EQ(p.o.fillScreen, 1);
}

TEST(CommandLine, DisplayModeRequestAndOutOfTableValuesIgnored) {
  const struct {
    const char* args;
    uint32_t width, height, depth;  // 0: no mode change
  } cases[] = {{"a /D208", 640, 480, 32}, {"a /D1", 320, 200, 16},  {"a /D613", 1280, 1024, 3},
               {"a /D14", 0, 0, 0},       {"a /D100", 0, 0, 0},     {"a /D708", 0, 0, 0},
               {"a /D-5", 0, 0, 0}};
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    ASSERT_EQ(p.result.outcome, CommandLineResult::PLAY) << c.args;
    EXPECT_EQ(p.o.displayModeWidth, c.width) << c.args;
    EXPECT_EQ(p.o.displayModeHeight, c.height) << c.args;
    EXPECT_EQ(p.o.displayModeDepth, c.depth) << c.args;
    EXPECT_EQ((p.o.bufferFlags & kOptionsBufferSetMode) != 0, c.width != 0) << c.args;
    EXPECT_EQ(p.o.screenWidth, c.width ? int32_t(c.width) : 1920) << c.args;
  }
}

TEST(CommandLine, NumbersFlagsAndOpenFlags) {
  const Parsed p = Parse("/X-20 /Y30 /T2 /M65536 /E100000 /U5 /B3 /Z /S /Q /J /C /N /G /P /K /W-2 /H480.5 /#77 a.trn");
  ASSERT_EQ(p.result.outcome, CommandLineResult::PLAY) << p.result.fileList;
  EXPECT_EQ(p.result.fileList, "a.trn");
  EXPECT_EQ(p.o.windowX, -20);
  EXPECT_EQ(p.o.windowY, 30);
  EXPECT_EQ(p.o.soundTrack, 2);
  EXPECT_EQ(p.o.simulatedReadRate, 65536);
  EXPECT_EQ(p.o.readBufferSize, 100000);
  EXPECT_EQ(p.o.disabledControls, 5);
  EXPECT_EQ(p.o.bufferFlags, 3u);
  EXPECT_EQ(p.o.parentWindow, 77);
  EXPECT_EQ(p.o.stretchWidth, -2);
  EXPECT_EQ(p.o.stretchWidthDivisor, 1);
  EXPECT_EQ(p.o.stretchHeight, 961);
  EXPECT_EQ(p.o.stretchHeightDivisor, 2);
  EXPECT_TRUE(p.o.useWaveOut && p.o.showSummary && p.o.showStats && p.o.keepPlayingUnfocused && p.o.hideCursor);
  EXPECT_EQ(p.o.openFlags, OPEN_SOUND_TRACKS | OPEN_SIMULATE_RATE | OPEN_READ_BUFFER_SIZE | OPEN_NEVER_SKIP |
                               OPEN_NO_INITIAL_FILL | OPEN_PRELOAD | OPEN_NO_THREAD);
}

// Anything left with a "/" (unknown, malformed or repeated switch) or no file
// name at all asks for the help text.
TEST(CommandLine, LeftoversShowTheHelp) {
  for (const char* args : {"/Q /Q a", "/T2 /T3 a", "/L2 /l a", "/V a", "", "   ", "/Q5 a", "/S"}) {
    EXPECT_EQ(Parse(args).result.outcome, CommandLineResult::SHOW_HELP) << '"' << args << '"';
  }
}

TEST(CommandLine, EmbeddedCommandLineAndCancelling) {
  const std::string embedded = ":115712 /l" + std::string(501, '~');
  Parsed p = Parse("", embedded);
  EXPECT_EQ(p.result.fileList, ":115712");
  EXPECT_EQ(p.o.loopCount, 0);
  p = Parse("/-L", embedded);
  ASSERT_EQ(p.result.outcome, CommandLineResult::PLAY);
  EXPECT_EQ(p.result.fileList, ":115712");
  EXPECT_EQ(p.o.loopCount, 1);
  p = Parse("/-L /L4", embedded);
  EXPECT_EQ(p.o.loopCount, 4);
  // A "/-" at the very end cuts the text there.
  p = Parse(" a.trn /-", embedded);
  EXPECT_EQ(p.result.fileList, ":115712  a.trn");
}

TEST(CommandLine, CancelSwitchesRemovesEarlierSwitchesOfThatLetter) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/l/-L", ""},
      {"/L3 a /l /-l b", " a   b"},
      {"/T\"x y\" a /-T", " a "},
      {"/q a /-", "/q a "},
      {"/-Q /Q", " /Q"},
      {"/Fx/S /-f", "/S "},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    CancelSwitches(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(CommandLine, ScreenSaverNameRule) {
  const struct {
    const char* name;
    bool saver;
  } cases[] = {{"movie.SCR", true}, {"/opt/tarn/play.scr", true}, {"x.scr\"", true}, {".scr", false},
               {"scr", false},      {"movie.scr.bak", false},     {"tarnplay", false}, {"movie.sc", false}};
  for (const auto& c : cases) EXPECT_EQ(IsScreenSaverName(c.name), c.saver) << c.name;

  const struct {
    const char* args;
    int32_t mode;
  } modes[] = {{"", 1}, {"/c", 3}, {"-S", 2}, {"/p 1234", 1234}, {"/p", 0}, {"/x", 1}, {"file -c", 3}};
  for (const auto& m : modes) {
    const Parsed p = Parse(m.args, "movie.trn /B5", "movie.SCR");
    EXPECT_EQ(p.o.ScreenSaverMode, m.mode) << m.args;
    EXPECT_EQ(p.result.fileList, "movie.trn") << "the arguments are not part of the text";
    EXPECT_EQ(p.o.loopCount, 0);
    EXPECT_EQ(p.o.fillScreen, 1);
    EXPECT_EQ(p.o.windowStyle, 2);
    EXPECT_EQ(p.o.hideCursor, 1);
    EXPECT_EQ(p.o.bufferFlags, 2u) << "blit style 2 whatever /B says";
  }
}

TEST(CommandLine, QuickPlaySwitchesFromTheProfile) {
  const Parsed p = Parse("a.trn /!", "", "/usr/bin/tarnplay", "/Q /L2");
  ASSERT_EQ(p.result.outcome, CommandLineResult::PLAY);
  EXPECT_EQ(p.o.showStats, 1);
  EXPECT_EQ(p.o.loopCount, 2);
  EXPECT_EQ(p.result.fileList, "a.trn");
}

TEST(CommandLine, TooLongCommandLineIsRefused) {
  const std::string name(1023, 'a');
  EXPECT_EQ(Parse(name).result.outcome, CommandLineResult::PLAY);
  const Parsed p = Parse(name + "b");
  EXPECT_EQ(p.result.outcome, CommandLineResult::REFUSED);
  EXPECT_NE(p.result.message.find("too long"), std::string::npos);
  // The embedded part counts too, and so does the quick-play value.
  EXPECT_EQ(Parse(std::string(600, 'a'), std::string(511, 'e')).result.outcome, CommandLineResult::REFUSED);
  EXPECT_EQ(Parse(std::string(900, 'a') + " /!", "", "/usr/bin/tarnplay", std::string(200, 'q')).result.outcome,
            CommandLineResult::REFUSED);
}

TEST(CommandLine, TakeNextFileNameForms) {
  const struct {
    const char* list;
    const char* name;
    const char* rest;
  } cases[] = {
      {"  \"my movie.trn\"  b.trn ", "my movie.trn", "b.trn"},
      {"a.trn b.trn", "a.trn", "b.trn"},
      {"\"unterminated x ", "unterminated x", ""},
      {"\t:115712 ", ":115712", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    std::string list = c.list;
    EXPECT_EQ(TakeNextFileName(list), c.name) << c.list;
    EXPECT_EQ(list, c.rest) << c.list;
  }
}

// Paths carry "/" on this system: file-name arguments travel quoted so that
// the switch readers leave them alone.
TEST(CommandLine, JoinArgumentsKeepsPathsAwayFromTheSwitches) {
  const std::string exe = ExecutablePath(nullptr);
  const std::string inside = exe + "|1000";
  const char* paths[] = {"tarnplay", exe.c_str(), "movies/c/a.trn", "/L2", inside.c_str(), "/Q/S"};
  const std::string joined = JoinArguments(6, const_cast<char**>(paths));
  EXPECT_EQ(joined, "\"" + exe + "\" \"movies/c/a.trn\" /L2 \"" + inside + "\" /Q/S");
  const Parsed p = Parse(joined);
  ASSERT_EQ(p.result.outcome, CommandLineResult::PLAY) << p.result.fileList;
  EXPECT_TRUE(p.o.loopCount == 2 && p.o.showStats && p.o.showSummary);
  std::string files = p.result.fileList;
  EXPECT_EQ(TakeNextFileName(files), exe);
  EXPECT_EQ(TakeNextFileName(files), "movies/c/a.trn");
  EXPECT_EQ(TakeNextFileName(files), inside);
  // A path that names nothing is still a name (the open then reports it); a
  // word that reads as switches stays switches, and an unknown one shows help.
  const char* missing[] = {"tarnplay", "/no/such.trn"};
  const Parsed m = Parse(JoinArguments(2, const_cast<char**>(missing)));
  EXPECT_EQ(m.result.outcome, CommandLineResult::PLAY);
  std::string names = m.result.fileList;
  EXPECT_EQ(TakeNextFileName(names), "/no/such.trn");
  for (const char* word : {"/V", "/?", "/Sx"}) {
    const char* unknown[] = {"tarnplay", "x.trn", word};
    EXPECT_EQ(Parse(JoinArguments(3, const_cast<char**>(unknown))).result.outcome, CommandLineResult::SHOW_HELP)
        << word;
  }
}

TEST(CommandLine, JoinArgumentsQuotesNamesWithSpaces) {
  const char* argv[] = {"tarnplay", "my movie.trn", "/L2", ""};
  EXPECT_EQ(JoinArguments(4, const_cast<char**>(argv)), "\"my movie.trn\" /L2 \"\"");
  std::string list = JoinArguments(3, const_cast<char**>(argv));
  PlayerOptions o;
  CommandLineSources s;
  s.processCommandLine = list;
  const CommandLineResult r = ParseCommandLine(s, o);
  std::string files = r.fileList;
  EXPECT_EQ(TakeNextFileName(files), "my movie.trn");
  EXPECT_EQ(o.loopCount, 2);
  EXPECT_EQ(o.screenWidth, 640) << "no display: 640 x 480";
}

TEST(CommandLine, HelpTextLayout) {
  const std::string& help = HelpText();
  EXPECT_EQ(help.rfind("TarnPlay  V 1.8n\n  SYNTAX: TarnPlay <Tarn1 Tarn2 ...> [/Switches]:\n    /P  \t- Preload", 0), 0u);
  EXPECT_NE(help.find("\n    /Z\t- Use waveOut instead of DirectSound for audio output.\n"), std::string::npos);
  EXPECT_NE(help.find("Use negative numbers for\n\t    scaling (i.e. for 2x, use '/w-2')."), std::string::npos);
  EXPECT_NE(help.find("\n    /I#\t- Window style:"), std::string::npos);
  EXPECT_EQ(help.find("/!"), std::string::npos);
  EXPECT_EQ(help.back(), '\n');
}

// The stock program holds an empty embedded command line; a patched copy of
// the executable reads the patched text when it runs.
TEST(EmbeddedCommand, PatchedCopyOfTheProgramReadsItsText) {
  EXPECT_EQ(EmbeddedCommandLine().find_first_not_of('~'), std::string::npos);
  std::ifstream in(ExecutablePath(nullptr), std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::string image = bytes.str();
  ASSERT_FALSE(image.empty());
  std::string why;
  EXPECT_FALSE(PatchEmbeddedCommandLine(image, std::string(512, 'x'), &why));
  EXPECT_FALSE(PatchEmbeddedCommandLine(image, "a~b", &why));
  std::string noMarker = "plain bytes";
  EXPECT_FALSE(PatchEmbeddedCommandLine(noMarker, "a", &why));
  ASSERT_TRUE(PatchEmbeddedCommandLine(image, ":115712 /l", &why)) << why;

  const std::string copy = "/tmp/tarn_embedded_copy_" + std::to_string(getpid());
  {
    std::ofstream out(copy, std::ios::binary);
    out << image;
  }
  ::chmod(copy.c_str(), 0755);
  const std::string command = "TARN_ECHO_EMBEDDED=1 " + copy + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  ::pclose(pipe);
  std::remove(copy.c_str());
  EXPECT_NE(output.find("embedded=[:115712 /l~~~"), std::string::npos) << output;
}

class ProfileFile : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tarn_profile_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
  }
  void TearDown() override {
    if (hadOld_)
      setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_, old_;
  bool hadOld_ = false;
};

TEST_F(ProfileFile, ValuesRoundTripAndOtherLinesSurvive) {
  EXPECT_EQ(ProfilePath(), dir_ + "/config/tarn/tarn.ini");
  EXPECT_EQ(ProfileGetString(kProfileSection, kQuickPlayKey, "none", 256), "none");
  ASSERT_TRUE(ProfileSetString(kProfileSection, kQuickPlayKey, "/Q /S"));
  EXPECT_EQ(ProfileGetString("harrow video TOOLS", "tarnquickplay", "", 256), "/Q /S");
  EXPECT_EQ(ProfileGetString(kProfileSection, kQuickPlayKey, "", 3), "/Q ");

  {
    std::ofstream out(ProfilePath(), std::ios::app);
    out << "\n; a note\n[Other]\nTarnQuickPlay=elsewhere\n";
  }
  ASSERT_TRUE(ProfileSetString(kProfileSection, "LastVersionCheckDate", "2026-12-08"));
  ASSERT_TRUE(ProfileSetString(kProfileSection, kQuickPlayKey, "/L"));
  ASSERT_TRUE(ProfileSetString("Other", "Extra", "1"));
  EXPECT_EQ(ProfileGetString(kProfileSection, kQuickPlayKey, "", 256), "/L");
  EXPECT_EQ(ProfileGetString(kProfileSection, "LastVersionCheckDate", "", 256), "2026-12-08");
  EXPECT_EQ(ProfileGetString("Other", kQuickPlayKey, "", 256), "elsewhere");
  EXPECT_EQ(ProfileGetString("Other", "Extra", "", 256), "1");
  std::ifstream in(ProfilePath());
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_NE(all.str().find("; a note"), std::string::npos);
}

TEST_F(ProfileFile, HomeConfigIsTheDefaultPlace) {
  unsetenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (!home) GTEST_SKIP() << "no HOME";
  EXPECT_EQ(ProfilePath(), std::string(home) + "/.config/tarn/tarn.ini");
}

}  // namespace
}  // namespace tarn
