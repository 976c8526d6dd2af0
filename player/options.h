// The player's command line: the text built from the embedded command line,
// the process arguments and the quick-play profile value, the switch readers
// that take switches out of it in place, and the PlayerOptions they fill.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/embedded_command.h"

namespace tarn {

// Display-buffer flags the command line sets in bufferFlags (the display
// buffer's own values): the blit style in the low five bits and this one.
inline constexpr uint32_t kOptionsBufferSetMode = 0x800000;  // /D: take the requested display mode
inline constexpr uint32_t kOptionsBlitStyleMask = 0x1F;
// Copy flags /A's alpha digit adds: show the alpha plane (0x800) and a bit
// the copy does not read (0x100000).
inline constexpr uint32_t kOptionsShowAlphaCopyFlags = 0x100800;

inline constexpr int32_t kWindowCentred = -3000;  // windowX/windowY: centre on the screen

// The text the command line is assembled in holds at most this many
// characters; a longer one is refused.
inline constexpr size_t kCommandLineCapacity = 1023;
inline constexpr size_t kQuickPlayCapacity = 256;

struct PlayerOptions {
  int32_t loopCount = 1;         // /L: plays of each movie; 0 = for ever
  int32_t parentWindow = 0;      // /#: window given as parent
  int32_t frameRate = -1;        // /F: rate override as frameRate / frameRateDivisor;
  int32_t frameRateDivisor = -1; //     0/0 as fast as possible, -1 none
  int32_t soundTrack = 0;        // /T: track id; 0 = not given
  int32_t simulatedReadRate = 0; // /M: bytes per second; 0 = off
  int32_t readBufferSize = -1;   // /E: bytes; -1 = the library's choice
  int32_t disabledControls = 0;  // /U: 1 pause, 2 skip, 4 quit
  int32_t alwaysOnTop = 0;       // /I hundreds: non-zero = topmost
  int32_t windowStyle = 0;       // /I mod 100: 0 normal, 1 no caption, 2 nothing
  int32_t useWaveOut = 0;        // /Z: the queued sound back-end
  int32_t showSummary = 0;       // /S
  int32_t showStats = 0;         // /Q
  int32_t keepPlayingUnfocused = 0;  // /J
  int32_t fillScreen = 0;        // /R: black window over the whole screen
  int32_t hideCursor = 0;        // /C
  int32_t windowX = kWindowCentred;  // /X
  int32_t windowY = kWindowCentred;  // /Y
  int32_t stretchWidth = 0;      // /W as a fraction; negative = a scale factor
  int32_t stretchWidthDivisor = 0;
  int32_t stretchHeight = 0;     // /H
  int32_t stretchHeightDivisor = 0;
  int32_t screenWidth = 0;       // primary display size, or the /D mode's
  int32_t screenHeight = 0;
  uint32_t openFlags = 0;        // OPEN_* for MovieOpen
  uint32_t bufferFlags = 0;      // blit style | kOptionsBufferSetMode
  uint32_t extraCopyFlags = 0;   // COPY_* added to every copy
  int32_t ScreenSaverMode = 0;   // 0 normal, 1 run, 2 run with /s, 3 configure, >15 preview parent
  // The display mode /D asks for (0 x 0 when none): width, height and depth
  // code (8, 16, 24, 32; 1 at least high colour, 2 true colour preferred,
  // 3 true colour only), for the display buffer's mode request.
  uint32_t displayModeWidth = 0;
  uint32_t displayModeHeight = 0;
  uint32_t displayModeDepth = 0;
};

// Everything ParseCommandLine reads besides the options, so tests can supply it.
struct CommandLineSources {
  std::string embedded;            // the embedded command line, "~" padding and all
  std::string moduleName;          // the executable's path (screen-saver test)
  std::string processCommandLine;  // the arguments as one text (JoinArguments)
  std::function<std::string()> quickPlay;  // the profile's quick-play switches for /!
  std::function<void(int32_t& width, int32_t& height)> screenSize;
};

struct CommandLineResult {
  enum Outcome { PLAY, SHOW_HELP, REFUSED } outcome = PLAY;
  std::string fileList;  // PLAY: the file names left after the switches
  std::string message;   // REFUSED: why, for the error box
};

// Builds the text, fills options and returns the file list, the help request
// (an unknown or repeated switch, or no file name) or a refusal (a text
// longer than kCommandLineCapacity).
CommandLineResult ParseCommandLine(const CommandLineSources& sources, PlayerOptions& options);

// The process's own sources: the embedded command line, the executable path
// (argv[0] as the fallback), the arguments after argv[0], the profile and
// the primary display size.
CommandLineSources ProcessCommandLineSources(int argc, char** argv);

// Joins arguments into one command-line text, separated by spaces. A file
// name (an argument that does not begin with "/", that names an existing
// file, also as name|offset, or that holds a second "/" and does not read
// as switches) goes in double quotes when it holds a "/" or white space or is
// empty: the switch readers skip quoted text, so a path is never taken for
// switches, and "/?" or "/Sx" reach the switch readers (and the help).
std::string JoinArguments(int argc, char** argv);

// True when the module name marks a screen saver: longer than four
// characters and ending in s, c, r in any case (a trailing quote ignored).
bool IsScreenSaverName(const std::string& moduleName);

// Screen-saver mode from the arguments: the first "/" or "-" followed by C is
// 3, S is 2, P is the number after it (0 without digits); anything else 1.
int32_t ScreenSaverModeFrom(const std::string& processCommandLine);

// Removes the first file name from the front of list (a quoted name runs to
// the closing quote, which is dropped; an unterminated quote takes the rest)
// and returns it; list is left trimmed of white space.
std::string TakeNextFileName(std::string& list);

// Switch readers. Each takes the first matching switch out of text and
// leaves everything else. Letters compare ignoring case; text inside double
// quotes is never read as a switch.
// A flag matches when its letter is followed by the end or a character
// below '0' (space, punctuation, "/"): /Q in "/Q /S" but not in "/Q5".
bool TakeFlagSwitch(std::string& text, char letter);
// A number: the letter followed by a digit or by "-" and a digit.
int32_t TakeNumberSwitch(std::string& text, char letter, int32_t fallback);
// A fraction: digits with an optional "." part, optionally ";" and a divisor
// of the same form: 29.97 is 2997/100, 30;2 is 15/1. Reduced; a zero divisor
// becomes 1; the sign goes to the numerator.
void TakeFractionSwitch(std::string& text, char letter, int32_t fallbackNumerator, int32_t fallbackDivisor,
                        int32_t& numerator, int32_t& divisor);
// "/-X" removes every earlier switch of letter X and itself; a "/-" at the
// very end cuts the text there.
void CancelSwitches(std::string& text);

// The help text, lines separated by "\n".
const std::string& HelpText();
// Shows the help text; until the player has its dialog, on standard output.
void ShowHelpText();
inline constexpr const char* kHelpCaption = "Tarn Video Player Help";


}  // namespace tarn
