// tarnplay's main loop: opens each movie of the list in turn, sizes and places
// the window, paces the frames on the movie clock, reacts to keys, mouse and
// focus, shows the end card and the summary. Runs on one thread; everything
// outside goes through PlayerHost.
#pragma once

#include <cstdint>
#include <string>

#include "movie/movie.h"
#include "player/options.h"

namespace tarn {

class PlayerHost;
struct DisplayBuffer;
struct Movie;

enum class QuitRequest { None = 0, Quit = 1, QuitNow = 2 };

inline constexpr const char* kPlayerTitle = "Tarn Video Player";
inline constexpr const char* kErrorCaption = "Tarn Error";
inline constexpr const char* kSummaryCaption = "Tarn Playback Summary";
inline constexpr const char* kHomePage = "https://tarn.example.org/";  // the maker's home page
inline constexpr const char* kHomePageQuery = "?from=tarnplay&ver=1.8n";
inline constexpr uint32_t kEndCardMs = 2250;
inline constexpr uint32_t kLineMs = 2000;  // how long the position line stays

struct PlayerState {
  Movie* movie = nullptr;
  DisplayBuffer* buffer = nullptr;
  DisplayBuffer* previousBuffer = nullptr;
  int fileHandle = -1;  // descriptor the player opened for the ":" and "|" forms
  std::string fileList, savedFileList;
  int32_t listLoops = 1;
  int32_t userPaused = 0;  // 0 or -1
  int hasFocus = 0;
  bool finished = false;
  bool playOutSound = false;  // the movie ended by itself: let its sound finish first
  QuitRequest quitRequest = QuitRequest::None;
  bool closing = false;
  bool endCardActive = false;
  uint32_t endCardDeadline = 0;
  uint32_t startDelay = 0;  // a time stamp with bit 0 set while the preview waits
  bool skipBlackFill = true;
  int32_t videoX = 0, videoY = 0;
  uint32_t stretchedWidth = 0, stretchedHeight = 0;
  int lastMouseX = -1, lastMouseY = -1, mouseMoves = 0;
  bool passwordVerified = false;
  bool quitPosted = false;
  PlaybackSummary summary{};
  bool summaryTaken = false;
  // Statistics line strip (left, top, right, bottom).
  int statsLeft = 0, statsTop = 0, statsRight = 0, statsBottom = 0;
  int exitCode = 0;
  // The viewer's controls.
  uint32_t positionFrame = 0;   // the frame on screen, or the one a jump is about to show
  uint32_t fileRateNumerator = 0, fileRateDenominator = 1;  // the movie's own rate
  std::string lineText;         // the position line (or a word on a key), while lineDeadline is ahead
  uint32_t lineDeadline = 0;
  bool lineShown = false;
  uint32_t volumeTenths = 10;   // the movie's voices, 0 .. 10
  bool muted = false;
  bool volumeSet = false;       // the user changed the volume: each movie gets it
  bool resizable = false;       // the user may size the window (this movie)
  bool fullscreen = false;
  int clientWidth = 0, clientHeight = 0;    // the client size the picture is laid out for
  int naturalWidth = 0, naturalHeight = 0;  // ... as the window was placed for the movie
  int32_t pictureX = 0, pictureY = 0;       // the picture inside the client area
  uint32_t pictureWidth = 0, pictureHeight = 0;
};

// The whole program after the command line has been parsed: returns the exit code.
int PlayerRun(PlayerOptions& options, const std::string& fileList, PlayerHost& host);

// The player's own executable, for the ":offset" form and the tool-suite test.
std::string PlayerProgramPath();
// 1 when the user chose to look for a newer version (the program then exits).
int RunVersionReminder(PlayerHost& host);
int IsWow64();
bool HasToolSuite();

// Program entry: parses the command line (argv joined as the process command
// line would be) and runs the player.
int PlayerMain(int argc, char** argv, PlayerHost& host);

}  // namespace tarn
