// Command-line assembly and the switch readers. Every reader works in place on
// the text, removes only what it recognised, and never reads past its end.
#include "player/options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <numeric>

#include "movie/movie.h"
#include "platform/display_size.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "player/profile.h"

namespace tarn {
namespace {

bool IsSpace(char c) { return (unsigned char)c <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool SameLetter(char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsSpace(s[b])) ++b;
  while (e > b && IsSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Index just past the quoted run that opens at text[i] (the text's end when
// it is not closed). File names with "/" in them travel quoted (JoinArguments),
// so no switch is looked for inside quotes.
size_t SkipQuoted(const std::string& text, size_t i) {
  const size_t close = text.find('"', i + 1);
  return close == std::string::npos ? text.size() : close + 1;
}

// Position of the first "/" + letter outside quotes whose next character
// passes accept, or npos.
template <typename Accept>
size_t FindSwitch(const std::string& text, char letter, Accept accept) {
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == '"') {
      i = SkipQuoted(text, i);
      continue;
    }
    if (text[i] == '/' && SameLetter(text[i + 1], letter) && accept(i + 2)) return i;
    ++i;
  }
  return std::string::npos;
}

bool HasSwitchLeft(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '"') {
      i = SkipQuoted(text, i);
      continue;
    }
    if (text[i] == '/') return true;
    ++i;
  }
  return false;
}

// A value starts at p: a digit, or "-" and a digit.
bool ValueStarts(const std::string& text, size_t p) {
  if (p < text.size() && IsDigit(text[p])) return true;
  return p + 1 < text.size() && text[p] == '-' && IsDigit(text[p + 1]);
}

// Reads digits from p; the value saturates near 10^10 (beyond any 32-bit
// value) so that no later arithmetic overflows.
int64_t ReadDigits(const std::string& text, size_t& p) {
  constexpr int64_t kCap = 10000000000;
  int64_t v = 0;
  for (; p < text.size() && IsDigit(text[p]); ++p) {
    if (v < kCap) v = v * 10 + (text[p] - '0');
  }
  return v;
}

int32_t ClampToInt32(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

struct Fraction {
  int64_t num, den;
};

void Reduce(Fraction& f) {
  const int64_t g = std::gcd(f.num, f.den);
  if (g > 1) {
    f.num /= g;
    f.den /= g;
  }
}

// digits[.digits] as a fraction, reduced. At most 8 fractional digits count,
// so the numerator stays below 10^19.
Fraction ReadDecimal(const std::string& text, size_t& p) {
  Fraction f{ReadDigits(text, p), 1};
  if (p < text.size() && text[p] == '.') {
    ++p;
    for (int k = 0; p < text.size() && IsDigit(text[p]); ++p) {
      // Past 8 digits, or where another digit would overflow, the rest only
      // ends the number.
      if (k++ < 8 && f.num <= (INT64_MAX - 9) / 10 && f.den <= INT64_MAX / 10) {
        f.num = f.num * 10 + (text[p] - '0');
        f.den *= 10;
      }
    }
  }
  Reduce(f);
  return f;
}

bool BelowDigitZero(const std::string& text, size_t p) { return p >= text.size() || (unsigned char)text[p] < 48; }

// The /D tables: sizes by resolution index 1..13, depth codes by index 0..6.
struct ModeSize {
  uint32_t width, height;
};
constexpr int kResolutionCount = 13;
constexpr ModeSize kResolutions[kResolutionCount] = {
    {320, 200}, {320, 240}, {320, 400}, {400, 300}, {480, 360},  {512, 384},   {640, 400},
    {640, 480}, {800, 600}, {960, 720}, {1024, 768}, {1152, 864}, {1280, 1024},
};
constexpr int kDepthCount = 7;
constexpr uint32_t kDepthCodes[kDepthCount] = {16, 24, 32, 8, 1, 2, 3};

std::string BuildHelpText() {
  struct Line {
    const char* sw;
    const char* marker;
    const char* text;
  };
  static const Line kLines[] = {
      {"P", "  ", "Preload the entire Tarn video into memory."},
      {"L", "##", "Loop the animation (just/L for infinite)."},
      {"F", "#.#", "Use this frame rate (just /F for fast)."},
      {"T", "##", "Play the specified sound track."},
      {"Z", "", "Use waveOut instead of DirectSound for audio output."},
      {"S", "", "Show the playback summary when finished."},
      {"X", "##", "Specifies the X coordinate of the playback."},
      {"Y", "##", "Specifies the Y coordinate of the playback."},
      {"W", "#.#",
       "Stretch to this width in pixels (can be slow). Use negative numbers for\n"
       "scaling (i.e. for 2x, use '/w-2').  For full screen, use -1 ('/w-1')."},
      {"H", "#.#", "Stretch to this height in pixels (can be slow)."},
      {"R", "", "Fill the screen with a black background."},
      {"C", "", "Hide the cursor when in the Tarn window."},
      {"M", "##", "Simulate this read speed (in bytes/second)."},
      {"E", "##", "Specified the amount of memory for read buffering."},
      {"G", "", "Don't load the read buffer when opening the Tarn (faster opening)."},
      {"K", "", "Do not use multi-threaded device reading."},
      {"U", "##", "Disable controls: 1=pause, 2=skip, 4=quit."},
      {"N", "", "Never skip frames when falling behind."},
      {"Q", "", "Show run-time playback statistics."},
      {"J", "", "Don't pause the video when the focus is lost."},
      {"I", "#", "Window style: 0=normal, 1=no caption, 2=nothing.  Add 100 for always-on-top."},
      {"A", "##",
       "Display options: 1=2x height doubled, 2=2x height interlaced, 3=2x width doubled,\n"
       "4=2x width and height doubled, 5=2x width and height interlaced,\n"
       "6=1x height interlaced, 7=force none. Add 100 for grayscale, 1000 to show alpha."},
      {"D", "##",
       "Display resolution: 1=320x200, 2=320x240, 3=320x400, 4=400x300, 5=480x360,\n"
       "6=512x384, 7=640x400, 8=640x480, 9=800x600, 10=960x720, 11=1024x768,\n"
       "12=1152x864, 13=1280x1024. To set the color depth, add: 0 for 16-bit,\n"
       "100 for 24-bit, 200 for 32-bit, 300 for 8-bit, 400 for at least\n"
       "high-color (16, 32, then 24), 500 to try true-color (32, 24, then 16),\n"
       "and 600 for true-color only (32, then 24)."},
      {"B", "##",
       "Blitting style: 0=Automatic, 1=DirectDraw primary display (best quality,\n"
       "very fast), 2=DIBSection (best quality, most compatible), 3=YV12 overlay,\n"
       "4=YUY2 overlay, 5=UYVY overlay, 6=YV12 off-screen, 7=YUY2 off-screen,\n"
       "8=UYVY off-screen, 9=DirectDraw RGB video memory off-screen,\n"
       "10=DirectDraw RGB system memory off-screen."},
  };
  std::string s = "TarnPlay  V 1.8n\n  SYNTAX: TarnPlay <Tarn1 Tarn2 ...> [/Switches]:\n";
  for (const Line& l : kLines) {
    s += std::string("    /") + l.sw + l.marker + "\t- ";
    for (const char* c = l.text; *c; ++c) {
      if (*c == '\n')
        s += "\n\t    ";
      else
        s += *c;
    }
    s += '\n';
  }
  return s;
}

std::string TooLong() {
  return "The command line is too long: at most " + std::to_string(kCommandLineCapacity) + " characters fit.";
}

}  // namespace

bool TakeFlagSwitch(std::string& text, char letter) {
  const size_t at = FindSwitch(text, letter, [&](size_t p) { return BelowDigitZero(text, p); });
  if (at == std::string::npos) return false;
  text.erase(at, 2);
  return true;
}

int32_t TakeNumberSwitch(std::string& text, char letter, int32_t fallback) {
  const size_t at = FindSwitch(text, letter, [&](size_t p) { return ValueStarts(text, p); });
  if (at == std::string::npos) return fallback;
  size_t p = at + 2;
  const bool negative = text[p] == '-';
  if (negative) ++p;
  const int64_t v = ReadDigits(text, p);
  text.erase(at, p - at);
  return ClampToInt32(negative ? -v : v);
}

void TakeFractionSwitch(std::string& text, char letter, int32_t fallbackNumerator, int32_t fallbackDivisor,
                        int32_t& numerator, int32_t& divisor) {
  numerator = fallbackNumerator;
  divisor = fallbackDivisor;
  const size_t at = FindSwitch(text, letter, [&](size_t p) { return ValueStarts(text, p); });
  if (at == std::string::npos) return;
  size_t p = at + 2;
  const bool negative = text[p] == '-';
  if (negative) ++p;
  Fraction f = ReadDecimal(text, p);
  if (p < text.size() && text[p] == ';') {
    ++p;
    const Fraction by = ReadDecimal(text, p);
    // f / by = (f.num * by.den) / (f.den * by.num), each product below
    // 10^27: scaled down to fit rather than overflow.
    __int128 num = __int128(f.num) * by.den, den = __int128(f.den) * by.num;
    while (num > INT64_MAX || den > INT64_MAX) {
      num /= 10;
      den /= 10;
    }
    f = {int64_t(num), int64_t(den) == 0 ? 1 : int64_t(den)};  // a zero divisor counts as 1
    Reduce(f);
  }
  text.erase(at, p - at);
  numerator = ClampToInt32(negative ? -f.num : f.num);
  divisor = ClampToInt32(f.den);
}

void CancelSwitches(std::string& text) {
  size_t i = 0;
  while (i + 1 < text.size()) {
    if (text[i] == '"') {
      i = SkipQuoted(text, i);
      continue;
    }
    if (text[i] != '/' || text[i + 1] != '-') {
      ++i;
      continue;
    }
    if (i + 2 >= text.size()) {
      text.erase(i);
      return;
    }
    const char letter = text[i + 2];
    // Remove every earlier switch of that letter.
    size_t j = 0;
    while (j + 1 < i) {
      if (text[j] == '"') {
        j = SkipQuoted(text, j);
      } else if (text[j] == '/' && SameLetter(text[j + 1], letter)) {
        size_t end;
        if (j + 2 < text.size() && text[j + 2] == '"') {
          // A quoted value runs to its closing quote, which goes with it.
          end = text.find('"', j + 3);
          end = end == std::string::npos || end > i ? i : end + 1;
        } else {
          end = j + 2;
          while (end < i && !IsSpace(text[end]) && text[end] != '/') ++end;
        }
        text.erase(j, end - j);
        i -= end - j;
      } else {
        ++j;
      }
    }
    text.erase(i, 3);
  }
}

std::string TakeNextFileName(std::string& list) {
  size_t p = 0;
  while (p < list.size() && IsSpace(list[p])) ++p;
  std::string name;
  if (p < list.size() && list[p] == '"') {
    const size_t close = list.find('"', p + 1);
    if (close == std::string::npos) {
      name = list.substr(p + 1);
      p = list.size();
    } else {
      name = list.substr(p + 1, close - p - 1);
      p = close + 1;
    }
  } else {
    const size_t start = p;
    while (p < list.size() && !IsSpace(list[p])) ++p;
    name = list.substr(start, p - start);
  }
  list = Trim(list.substr(p));
  return Trim(name);
}

bool IsScreenSaverName(const std::string& moduleName) {
  std::string name = moduleName;
  if (!name.empty() && name.back() == '"') name.pop_back();
  if (name.size() <= 4) return false;
  const size_t n = name.size();
  return SameLetter(name[n - 3], 's') && SameLetter(name[n - 2], 'c') && SameLetter(name[n - 1], 'r');
}

int32_t ScreenSaverModeFrom(const std::string& processCommandLine) {
  const size_t at = processCommandLine.find_first_of("/-");
  if (at == std::string::npos || at + 1 >= processCommandLine.size()) return 1;
  const char c = char(std::tolower((unsigned char)processCommandLine[at + 1]));
  if (c == 'c') return 3;
  if (c == 's') return 2;
  if (c != 'p') return 1;
  size_t p = processCommandLine.find_first_of("0123456789", at + 2);
  if (p == std::string::npos) return 0;
  return ClampToInt32(ReadDigits(processCommandLine, p));
}

bool NamesFile(const std::string& arg) {
  if (FileExists(arg.c_str())) return true;
  const size_t bar = arg.rfind('|');  // name|offset: a movie inside that file
  return bar != std::string::npos && FileExists(arg.substr(0, bar).c_str());
}

// True when every "/"-separated piece of arg reads as a switch: one letter
// (or "!", "#", "-" and a letter) with an optional number or quoted value, as
// in "/L2/S" or "/F29.97". "/home/x/movie.trn" has pieces no switch has.
static bool LooksLikeSwitches(const std::string& arg) {
  size_t i = 0;
  while (i < arg.size()) {
    if (arg[i] != '/') return false;
    ++i;
    if (i >= arg.size()) return true;
    if (arg[i] == '-') ++i;
    if (i >= arg.size() || !(std::isalpha(uint8_t(arg[i])) || arg[i] == '!' || arg[i] == '#')) return false;
    ++i;
    if (i < arg.size() && arg[i] == '"') {
      const size_t close = arg.find('"', i + 1);
      if (close == std::string::npos) return true;
      i = close + 1;
      continue;
    }
    while (i < arg.size() && (IsDigit(arg[i]) || arg[i] == '-' || arg[i] == '.' || arg[i] == ';')) ++i;
  }
  return true;
}

std::string JoinArguments(int argc, char** argv) {
  std::string s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    if (i > 1) s += ' ';
    // An argument with a second "/" is a path unless every piece reads as a
    // switch; one without is for the switch readers (so "/?" shows the help
    // and "/Sx" is an unknown switch), unless it names a file.
    const bool isName = arg.empty() || arg[0] != '/' || NamesFile(arg) ||
                        (arg.find('/', 1) != std::string::npos && !LooksLikeSwitches(arg));
    const bool quote = isName && (arg.empty() || arg.find_first_of("/ \t\n") != std::string::npos ||
                                  std::any_of(arg.begin(), arg.end(), IsSpace));
    s += quote ? "\"" + arg + "\"" : arg;
  }
  return s;
}

CommandLineSources ProcessCommandLineSources(int argc, char** argv) {
  CommandLineSources s;
  s.embedded = EmbeddedCommandLine();
  s.moduleName = ExecutablePath(argc > 0 ? argv[0] : nullptr);
  s.processCommandLine = JoinArguments(argc, argv);
  s.quickPlay = [] { return ProfileGetString(kProfileSection, kQuickPlayKey, "", kQuickPlayCapacity); };
  s.screenSize = [](int32_t& w, int32_t& h) {
    const DisplaySize size = PrimaryDisplaySize();
    w = size.width;
    h = size.height;
  };
  return s;
}

CommandLineResult ParseCommandLine(const CommandLineSources& sources, PlayerOptions& o) {
  CommandLineResult result;
  o = PlayerOptions{};

  std::string text = sources.embedded.substr(0, kEmbeddedCommandLineCapacity);
  const size_t tilde = text.find('~');
  if (tilde != std::string::npos) text.erase(tilde);

  const bool saver = IsScreenSaverName(sources.moduleName);
  if (!saver) text += sources.processCommandLine;
  if (text.size() > kCommandLineCapacity) {
    result.outcome = CommandLineResult::REFUSED;
    result.message = TooLong();
    return result;
  }
  CancelSwitches(text);

  if (TakeFlagSwitch(text, '!') && sources.quickPlay) {
    std::string extra = sources.quickPlay();
    if (extra.size() > kQuickPlayCapacity) extra.resize(kQuickPlayCapacity);
    text += extra;
    if (text.size() > kCommandLineCapacity) {
      result.outcome = CommandLineResult::REFUSED;
      result.message = TooLong();
      return result;
    }
  }

  o.loopCount = TakeNumberSwitch(text, 'L', -1);
  if (o.loopCount == -1) o.loopCount = TakeFlagSwitch(text, 'L') ? 0 : 1;
  o.parentWindow = TakeNumberSwitch(text, '#', 0);

  TakeFractionSwitch(text, 'F', -1, -1, o.frameRate, o.frameRateDivisor);
  bool bareRate = false;
  if (o.frameRate == -1 && o.frameRateDivisor == -1 && TakeFlagSwitch(text, 'F')) {
    o.frameRate = o.frameRateDivisor = 0;
    bareRate = true;
  }
  if (bareRate || (o.frameRate != -1 && o.frameRateDivisor != -1)) o.openFlags |= OPEN_FRAME_RATE;

  o.soundTrack = TakeNumberSwitch(text, 'T', 0);
  if (o.soundTrack != 0) o.openFlags |= OPEN_SOUND_TRACKS;
  o.simulatedReadRate = TakeNumberSwitch(text, 'M', 0);
  if (o.simulatedReadRate != 0) o.openFlags |= OPEN_SIMULATE_RATE;
  o.readBufferSize = TakeNumberSwitch(text, 'E', -1);
  if (o.readBufferSize != -1) o.openFlags |= OPEN_READ_BUFFER_SIZE;
  o.disabledControls = TakeNumberSwitch(text, 'U', 0);

  const uint32_t style = uint32_t(TakeNumberSwitch(text, 'I', 0));
  o.alwaysOnTop = int32_t(style / 100);
  o.windowStyle = int32_t(style % 100);

  o.useWaveOut = TakeFlagSwitch(text, 'Z');
  o.showSummary = TakeFlagSwitch(text, 'S');
  o.showStats = TakeFlagSwitch(text, 'Q');
  o.keepPlayingUnfocused = TakeFlagSwitch(text, 'J');
  o.fillScreen = TakeFlagSwitch(text, 'R');
  if (o.fillScreen) o.windowStyle = 2;
  o.hideCursor = TakeFlagSwitch(text, 'C');

  if (TakeFlagSwitch(text, 'N')) o.openFlags |= OPEN_NEVER_SKIP;
  if (TakeFlagSwitch(text, 'G')) o.openFlags |= OPEN_NO_INITIAL_FILL;
  if (TakeFlagSwitch(text, 'P')) o.openFlags |= OPEN_PRELOAD;
  if (TakeFlagSwitch(text, 'K')) o.openFlags |= OPEN_NO_THREAD;

  uint32_t display = uint32_t(TakeNumberSwitch(text, 'A', 0));
  if (display / 1000 == 1) {
    o.openFlags |= OPEN_ALPHA;
    o.extraCopyFlags += kOptionsShowAlphaCopyFlags;
    display %= 1000;
  }
  if (display / 100 == 1) {
    o.openFlags |= OPEN_GREY;
    display %= 100;
  }
  o.openFlags |= std::min<uint32_t>(display, DISPLAY_FORCE_NONE) << OPEN_DISPLAY_SHIFT;

  o.windowX = TakeNumberSwitch(text, 'X', kWindowCentred);
  o.windowY = TakeNumberSwitch(text, 'Y', kWindowCentred);
  TakeFractionSwitch(text, 'W', 0, 0, o.stretchWidth, o.stretchWidthDivisor);
  TakeFractionSwitch(text, 'H', 0, 0, o.stretchHeight, o.stretchHeightDivisor);

  o.screenWidth = 640;
  o.screenHeight = 480;
  if (sources.screenSize) sources.screenSize(o.screenWidth, o.screenHeight);

  const uint32_t mode = uint32_t(TakeNumberSwitch(text, 'D', 0));
  if (mode != 0) {
    const uint32_t resolution = mode % 100, depth = mode / 100;
    // Indexes outside the tables ask for no mode at all.
    if (resolution >= 1 && resolution <= kResolutionCount && depth < kDepthCount) {
      o.bufferFlags |= kOptionsBufferSetMode;
      o.screenWidth = int32_t(kResolutions[resolution - 1].width);
      o.screenHeight = int32_t(kResolutions[resolution - 1].height);
      o.displayModeWidth = kResolutions[resolution - 1].width;
      o.displayModeHeight = kResolutions[resolution - 1].height;
      o.displayModeDepth = kDepthCodes[depth];
    }
  }

  const uint32_t blit = uint32_t(TakeNumberSwitch(text, 'B', 0));
  if (saver) {
    o.loopCount = 0;
    o.fillScreen = 1;
    o.windowStyle = 2;
    o.hideCursor = 1;
    o.bufferFlags |= 2;
    o.ScreenSaverMode = ScreenSaverModeFrom(sources.processCommandLine);
  } else {
    o.bufferFlags |= blit & kOptionsBlitStyleMask;
  }

  result.fileList = Trim(text);
  if (result.fileList.empty() || HasSwitchLeft(result.fileList)) {
    result.outcome = CommandLineResult::SHOW_HELP;
  }
  return result;
}

const std::string& HelpText() {
  static const std::string text = BuildHelpText();
  return text;
}

void ShowHelpText() {
  std::fwrite(HelpText().data(), 1, HelpText().size(), stdout);
  std::fflush(stdout);
}

}  // namespace tarn
