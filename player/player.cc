// The player's main loop and window procedure; see player.h.
#include "player/player.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/last_error.h"
#include "common/movie_time.h"
#include "convert/copy.h"
#include "display/display_buffer.h"
#include "display/display_mode.h"
#include "movie/movie.h"
#include "common/clock.h"
#include "platform/player_host.h"
#include "player/end_card.h"
#include "player/layout.h"
#include "player/report_text.h"
#include "player/snapshot.h"
#include "player/version_reminder.h"
#include "sound/loop_backend.h"
#include "sound/queue_backend.h"

namespace tarn {
namespace {

constexpr uint32_t kBufferStretchMask = 0xFF000000u;  // the eight stretch flags

bool TrimmedEmpty(const std::string& text) {
  for (char c : text)
    if (uint8_t(c) > 32) return false;
  return true;
}

class Player {
 public:
  Player(PlayerOptions& o, PlayerHost& h) : opt_(o), host_(h) {}

  int Run(const std::string& fileList);

 private:
  // Start-up.
  bool StartWindow(const PlayerWindowStyle& style);
  void StartSound();
  // Per file.
  bool OpenNextFile();
  bool OpenMovie(const std::string& name);
  bool OpenDisplay();
  void PlaceWindow();
  void CloseMovieForNextFile();
  bool PlayOutSound();
  // Loop pieces.
  void DoFrame();
  void HandleEvent(const PlayerEvent& e);
  void Quit();
  bool SaverRunning() const { return opt_.ScreenSaverMode >= 1 && opt_.ScreenSaverMode <= 15; }
  bool Preview() const { return opt_.ScreenSaverMode > 15; }
  void SaverInput();
  void ShowEndCard();
  void TakeSummary();
  void Paint();
  void SizeWindow(int x, int y, int width, int height);
  void DrawStatistics();
  void Error(const char* text);
  void Shutdown();
  // The viewer's controls: jumps, the position line, volume, saving the
  // frame, full screen and resizing.
  bool ControlsAvailable() const { return !SaverRunning() && !Preview() && !s_.endCardActive && s_.movie; }
  void HandleKey(int key);
  void HandleChar(int code);
  void Jump(int64_t frame);
  void JumpSeconds(int32_t seconds);
  // The rate in force, or the file's own when the movie plays as fast as it can.
  void RateInForce(uint32_t& num, uint32_t& den) const;
  // The frame the position line and a snapshot speak of.
  uint32_t ShownFrame() const { return s_.positionFrame ? s_.positionFrame : 1; }
  void ShowLine(const std::string& text);
  void DrawLine();
  void ExpireLine();
  void ShowPosition();
  void ChangeVolume(int step);
  void ApplyVolume();
  void SaveFrame();
  void ToggleFullscreen();
  void LeaveFullscreen();
  void Resize(int width, int height);
  bool Rescale(uint32_t width, uint32_t height);
  void Redraw();

  PlayerOptions& opt_;
  PlayerHost& host_;
  PlayerState s_;
  std::string name_;
  bool leaveForUpdate_ = false;  // the version reminder asked to exit
  bool fixedSize_ = false;       // the switches fix the window's size
};

void Player::Error(const char* text) {
  host_.Message(MessageKind::Error, kErrorCaption, text);
  s_.exitCode = 1;
}

int Player::Run(const std::string& fileList) {
  // A size the switches ask for (or the saver's) is not for the mouse to change.
  fixedSize_ = opt_.stretchWidth != 0 || opt_.stretchHeight != 0 || (opt_.openFlags & OPEN_DISPLAY_MASK) ||
               (opt_.bufferFlags & BUFFER_SET_MODE) || opt_.fillScreen || opt_.parentWindow || SaverRunning() ||
               Preview() || (opt_.bufferFlags & BUFFER_STYLE_MASK) == BUFFER_STYLE_WINDOW_SURFACE;
  if (SaverRunning()) {
    opt_.alwaysOnTop = 1;
    opt_.disabledControls = 15;
  } else if (Preview()) {
    opt_.bufferFlags &= ~BUFFER_SET_MODE;
    s_.startDelay = MovieTimeMs() | 1;
    opt_.soundTrack = -1;
    opt_.openFlags |= OPEN_SOUND_TRACKS;
    int w = 0, h = 0;
    if (host_.ParentClientSize(uint64_t(opt_.ScreenSaverMode), w, h)) {
      opt_.stretchWidth = w;
      opt_.stretchHeight = h;
      opt_.stretchWidthDivisor = opt_.stretchHeightDivisor = 1;
    }
    opt_.windowX = opt_.windowY = 0;
    opt_.parentWindow = opt_.ScreenSaverMode;
  }

  PlayerWindowStyle style;
  style.child = Preview();
  style.decorated = opt_.windowStyle == 0;
  style.topmost = opt_.alwaysOnTop != 0;
  style.hideCursor = opt_.hideCursor != 0;
  style.parentWindow = uint64_t(opt_.parentWindow);
  s_.skipBlackFill = true;
  if (!StartWindow(style)) return 1;

  // The screen is the desktop of the display the window is on, unless /D
  // asked for a mode of its own.
  int desktopWidth = 0, desktopHeight = 0;
  if (!(opt_.bufferFlags & BUFFER_SET_MODE) && host_.DesktopSize(desktopWidth, desktopHeight)) {
    opt_.screenWidth = desktopWidth;
    opt_.screenHeight = desktopHeight;
  }

  StartSound();

  s_.fileList = fileList;
  s_.savedFileList = fileList;
  name_ = TakeNextFileName(s_.fileList);
  if (!name_.empty() && !TrimmedEmpty(s_.fileList)) {
    s_.listLoops = opt_.loopCount;
    opt_.loopCount = 1;
  }
  if (!OpenNextFile()) {
    Shutdown();
    return s_.exitCode ? s_.exitCode : 1;
  }

  int32_t budget = 0;
  for (;;) {
    PlayerEvent e;
    if (host_.PollEvent(e)) {
      HandleEvent(e);
      if (s_.quitPosted) break;
      continue;
    }
    if (s_.startDelay) {
      if (MovieTimeMs() - s_.startDelay > 500) s_.startDelay = 0;
      SleepMs(1);
      continue;
    }
    const int w = MovieWait(s_.movie);
    if ((w != 0 && s_.quitRequest != QuitRequest::Quit) || s_.closing) {
      budget += 1;
    } else if (s_.finished || s_.quitRequest == QuitRequest::Quit) {
      if (s_.playOutSound && !PlayOutSound()) continue;
      if (s_.quitPosted) break;
      s_.finished = false;
      s_.quitRequest = QuitRequest::None;
      MoviePause(s_.movie, 1);
      bool next = !TrimmedEmpty(s_.fileList);
      if (!next && --s_.listLoops != 0) {
        s_.fileList = s_.savedFileList;
        next = true;
      }
      if (next) {
        CloseMovieForNextFile();
        name_ = TakeNextFileName(s_.fileList);
        if (!OpenNextFile()) break;
        continue;
      }
      ShowEndCard();
      DoFrame();
    } else {
      DoFrame();
    }
    if (s_.userPaused || (!s_.hasFocus && !opt_.keepPlayingUnfocused)) budget += 5;
    if (budget > 0) {
      const int32_t slice = std::min(budget, 10);
      const uint32_t before = MovieTimeMs();
      SleepMs(uint32_t(slice));
      budget = std::max(slice - int32_t(MovieTimeMs() - before), -100);
    }
    if (s_.lineShown && int32_t(MovieTimeMs() - s_.lineDeadline) > 0) ExpireLine();
    if (s_.endCardActive &&
        (int32_t(MovieTimeMs() - s_.endCardDeadline) > 0 || !s_.movie || s_.quitRequest == QuitRequest::QuitNow)) {
      s_.closing = true;
      break;  // destroying the window posts the quit
    }
    if (s_.quitPosted) break;
  }
  Shutdown();
  return s_.exitCode;
}

bool Player::StartWindow(const PlayerWindowStyle& style) {
  if (host_.CreateWindow(kPlayerTitle, style)) return true;
  const std::string why = host_.WindowError();
  if (why.empty()) {
    host_.Message(MessageKind::Error, "Tarn", "Error creating window.");
  } else {
    host_.Message(MessageKind::Error, kErrorCaption, why.c_str());
  }
  return false;
}

// A movie with sound plays on at its rate without it when no device opens;
// the user hears of it once.
void Player::StartSound() {
  if (MovieSetSoundSystem(opt_.useWaveOut ? SoundQueueProvider : SoundLoopProvider, nullptr) == 0 && !Preview()) {
    host_.Notice("No sound device could be opened: the movie plays without sound.");
  }
}

void Player::Shutdown() {
  std::string summary;
  if (opt_.showSummary && s_.exitCode == 0) {
    if (!s_.summaryTaken && s_.movie) TakeSummary();
    SummaryDisplay d{DisplayBufferStyleName(s_.buffer), 0, 0, 0};
    if (s_.buffer) {
      d.screenWidth = s_.buffer->screenWidth;
      d.screenHeight = s_.buffer->screenHeight;
      d.screenBits = s_.buffer->screenDepth;
    }
    summary = BuildSummaryText(s_.summary, d);
  }
  MovieClose(s_.movie);
  s_.movie = nullptr;
  if (s_.fileHandle >= 0) ::close(s_.fileHandle);
  s_.fileHandle = -1;
  DisplayBufferClose(s_.previousBuffer);
  DisplayBufferClose(s_.buffer);
  s_.buffer = s_.previousBuffer = nullptr;
  host_.DestroyWindow();
  if (!summary.empty()) host_.Message(MessageKind::Information, kSummaryCaption, summary.c_str());
}

bool Player::OpenNextFile() {
  if (!OpenMovie(name_)) {
    // The version reminder's "yes" ends the program quietly (exit code 1).
    if (!leaveForUpdate_) Error(MovieGetError());
    return false;
  }
  if (!OpenDisplay()) return false;
  PlaceWindow();
  PlaybackSummary facts{};
  MovieGetSummary(s_.movie, &facts);  // nothing is timed yet: only the file's own rate is wanted
  s_.fileRateNumerator = facts.fileRateNumerator;
  s_.fileRateDenominator = facts.fileRateDenominator;
  s_.positionFrame = 0;
  s_.resizable = !fixedSize_ && !(s_.movie->flags & OPEN_DISPLAY_MASK);
  host_.SetResizable(s_.resizable);
  ApplyVolume();
  return true;
}

bool Player::OpenMovie(const std::string& rawName) {
  if (opt_.frameRate != -1 && opt_.frameRateDivisor != -1) MovieSetFrameRate(opt_.frameRate, opt_.frameRateDivisor);
  if (opt_.soundTrack != 0) {
    const int32_t id = opt_.soundTrack;
    MovieSetSoundTracks(1, reinterpret_cast<const uint32_t*>(&id));
  }
  if (opt_.simulatedReadRate != 0) MovieSetSimulateRate(uint32_t(opt_.simulatedReadRate));
  if (opt_.readBufferSize != -1) MovieSetReadBufferSize(uint32_t(opt_.readBufferSize));

  uint32_t flags = uint32_t(opt_.openFlags);
  uint64_t offset = 0;
  std::string file;
  const void* source = nullptr;
  std::string name = rawName;
  if (ParseOwnExecutableOffset(rawName, offset) || (!rawName.empty() && rawName[0] == ':')) {
    const std::string self = PlayerProgramPath();
    s_.fileHandle = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (s_.fileHandle < 0 || ::lseek(s_.fileHandle, off_t(offset), SEEK_SET) != off_t(offset)) {
      MovieSetError("Error opening EXE file.");
      return false;
    }
    source = reinterpret_cast<const void*>(intptr_t(s_.fileHandle));
    flags |= OPEN_FILE_HANDLE;
  } else {
    if (RunVersionReminder(host_)) {
      s_.exitCode = 1;
      leaveForUpdate_ = true;
      return false;
    }
    if (SplitOffsetForm(rawName, file, offset)) {
      s_.fileHandle = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (s_.fileHandle < 0 || ::lseek(s_.fileHandle, off_t(offset), SEEK_SET) != off_t(offset)) {
        MovieSetError("Error opening file.");
        return false;
      }
      source = reinterpret_cast<const void*>(intptr_t(s_.fileHandle));
      flags |= OPEN_FILE_HANDLE;
    } else {
      name = WithDefaultExtension(rawName);
      source = name.c_str();
    }
  }
  s_.movie = MovieOpen(source, flags);
  return s_.movie != nullptr;
}

bool Player::OpenDisplay() {
  Movie* m = s_.movie;
  // Full screen keeping the aspect ratio.
  if (opt_.stretchWidth == -1 && opt_.stretchWidthDivisor == 1 && opt_.stretchHeight == -1 &&
      opt_.stretchHeightDivisor == 1) {
    FitToScreen(m->width, m->height, uint32_t(opt_.screenWidth), uint32_t(opt_.screenHeight), opt_.stretchWidth,
                opt_.stretchHeight);
    opt_.stretchWidthDivisor = opt_.stretchHeightDivisor = 1;
  }
  const StretchResult sx = ComputeStretch(opt_.stretchWidth, opt_.stretchWidthDivisor, m->width,
                                          uint32_t(opt_.screenWidth), BUFFER_X_SHRINK);
  const StretchResult sy = ComputeStretch(opt_.stretchHeight, opt_.stretchHeightDivisor, m->height,
                                          uint32_t(opt_.screenHeight), BUFFER_Y_SHRINK);
  s_.stretchedWidth = sx.target;
  s_.stretchedHeight = sy.target;
  uint32_t bufferFlags = (uint32_t(opt_.bufferFlags) & ~kBufferStretchMask) | sx.flags | sy.flags;
  if ((m->flags & OPEN_DISPLAY_MASK) == 0) {
    const uint32_t doubling = ConverterDoubling(m->width, m->height, sx.target, sy.target);
    if (doubling) {
      // The converter doubles: the movie reports the doubled output size.
      if (doubling != DISPLAY_WIDTH_DOUBLED) m->height *= 2;
      if (doubling != DISPLAY_HEIGHT_DOUBLED) m->width *= 2;
      m->flags |= doubling << OPEN_DISPLAY_SHIFT;
      bufferFlags &= ~kBufferStretchMask;
    }
  }
  if (opt_.fillScreen || opt_.showStats) s_.skipBlackFill = false;

  s_.buffer = DisplayBufferOpen(host_.Window(), m->width, m->height, bufferFlags);
  if (s_.previousBuffer) {
    DisplayBufferClose(s_.previousBuffer);
    s_.previousBuffer = nullptr;
    if (!s_.buffer) s_.buffer = DisplayBufferOpen(host_.Window(), m->width, m->height, bufferFlags);
  }
  if (!s_.buffer) {
    host_.ShowWindow(false);
    Error(DisplayBufferGetError());
    MovieClose(s_.movie);
    s_.movie = nullptr;
    return false;
  }
  DisplayBufferSetScale(s_.stretchedWidth, s_.buffer, s_.stretchedHeight);
  return true;
}

void Player::PlaceWindow() {
  DisplayBuffer* b = s_.buffer;
  opt_.windowX = DefaultWindowX(opt_.windowX, opt_.screenWidth, int32_t(b->windowWidth), int32_t(b->borderLeft));
  opt_.windowY = DefaultWindowY(opt_.windowY, opt_.screenHeight, int32_t(b->windowHeight), int32_t(b->borderTop));
  if (opt_.fillScreen) {
    int32_t x = opt_.windowX, y = opt_.windowY;
    DisplayBufferCheckOffset(&x, b, &y);
    s_.videoX = x;
    s_.videoY = y;
    SizeWindow(-int32_t(b->borderLeft), -int32_t(b->borderTop), opt_.screenWidth + int32_t(b->frameWidth),
               opt_.screenHeight + int32_t(b->frameHeight));
  } else {
    s_.videoX = s_.videoY = 0;
    SizeWindow(opt_.windowX, opt_.windowY, int32_t(b->windowWidth), int32_t(b->windowHeight));
  }
  host_.ShowWindow(true);
  DisplayBufferSetOffset(s_.videoX, b, s_.videoY);
  const uint32_t mode = (s_.movie->flags & OPEN_DISPLAY_MASK) >> OPEN_DISPLAY_SHIFT;
  if (mode == DISPLAY_HEIGHT_INTERLACED || mode == DISPLAY_BOTH_INTERLACED || mode == DISPLAY_INTERLACED) {
    s_.skipBlackFill = false;
    Paint();
  }
}

void Player::SizeWindow(int x, int y, int width, int height) {
  DisplayBuffer* b = s_.buffer;
  s_.pictureWidth = b ? b->destWidth : 0;
  s_.pictureHeight = b ? b->destHeight : 0;
  if (opt_.showStats) {
    int tw = 0, th = 0;
    host_.TextExtent(kStatisticsSampleText, tw, th);
    tw += 8;
    s_.statsLeft = 0;
    s_.statsTop = s_.videoY;
    s_.statsBottom = th;
    if (width < tw) {
      s_.videoX += ((tw - width) / 2) & ~3;
      width = tw;
    }
    s_.statsRight = width;
    s_.videoY += th;
    height += th;
    if (s_.buffer) DisplayBufferSetOffset(s_.videoX, s_.buffer, s_.videoY);
  }
  s_.pictureX = s_.videoX;
  s_.pictureY = s_.videoY;
  s_.clientWidth = s_.naturalWidth = width - int(b ? b->frameWidth : 0);
  s_.clientHeight = s_.naturalHeight = height - int(b ? b->frameHeight : 0);
  host_.PlaceWindow(x, y, width, height);
}

void Player::DrawStatistics() {
  RealtimeStats stats{};
  MovieGetRealtime(0, s_.movie, &stats);
  const std::string line = FormatStatisticsLine(stats);
  host_.DrawTextLine(line.c_str(), s_.statsLeft, s_.statsTop, s_.statsRight, std::max(s_.statsBottom, s_.statsTop));
}

void Player::DoFrame() {
  s_.skipBlackFill = false;
  // After a read error (a damaged file, or one that shrank while playing)
  // nothing decodes any more: the movie ends here, as when skipping to the
  // next one, instead of stepping through frames it cannot show, for ever
  // when it loops.
  if (MovieDoFrame(s_.movie) != 0) {
    s_.finished = true;
    return;
  }
  if (s_.movie) s_.positionFrame = s_.movie->previousFrame;
  if (s_.buffer && s_.movie && DisplayBufferLock(s_.buffer)) {
    MovieCopyToBuffer(s_.movie, s_.buffer->surface, s_.buffer->pitch, s_.buffer->height, 0, 0, 0, 0,
                      s_.movie->width, s_.movie->height, s_.buffer->copyFlags | uint32_t(opt_.extraCopyFlags));
    opt_.extraCopyFlags &= ~COPY_FULL;
    DisplayBufferUnlock(s_.buffer);
  }
  if (s_.buffer && s_.movie) {
    const int n = MovieGetRects(s_.buffer->copyFlags, s_.movie);
    DisplayBufferBlit(s_.buffer, s_.movie->dirtyRects, n);
  }
  if (s_.movie) {
    if (s_.movie->currentFrame == s_.movie->frameCount) {
      if (--opt_.loopCount == 0)
        s_.finished = s_.playOutSound = true;
      else
        MovieNextFrame(s_.movie);
    } else {
      MovieNextFrame(s_.movie);
    }
  }
  if (s_.lineShown) {
    DrawLine();
  } else if (opt_.showStats && s_.movie) {
    DrawStatistics();
  }
  if (s_.userPaused) MoviePause(s_.movie, 1);
}

// The last picture of a movie's last loop is up, but the sound decoded with
// it is still in the rings and the device: it plays out before the movie
// closes, for at most the time the sound can run ahead of the pictures, or
// the time still to play when the sound runs behind them (a device that
// fell behind under load), plus 100 ms. Events are handled meanwhile; a quit
// (Esc, a close) or a skip ends the wait at once, and a jump plays the movie
// on from its frame (false).
bool Player::PlayOutSound() {
  s_.finished = false;
  const uint32_t start = MovieTimeMs();
  uint32_t pending = MovieSoundPendingMs(s_.movie);
  const uint32_t bound = std::max(MovieSoundLeadMs(s_.movie), pending) + 100;
  for (; pending > 0 && MovieTimeMs() - start < bound; pending = MovieSoundPendingMs(s_.movie)) {
    PlayerEvent e;
    while (host_.PollEvent(e) && !s_.quitPosted) HandleEvent(e);
    if (!s_.playOutSound) return false;
    if (s_.quitPosted || s_.finished || s_.quitRequest != QuitRequest::None) break;
    SleepMs(5);
  }
  s_.playOutSound = false;
  s_.finished = true;
  return true;
}

void Player::CloseMovieForNextFile() {
  LeaveFullscreen();
  MovieClose(s_.movie);
  s_.movie = nullptr;
  s_.previousBuffer = s_.buffer;
  s_.buffer = nullptr;
  if (s_.fileHandle >= 0) ::close(s_.fileHandle);
  s_.fileHandle = -1;
  opt_.loopCount = 1;
  if (!opt_.fillScreen) host_.WindowPosition(opt_.windowX, opt_.windowY);
}

void Player::TakeSummary() {
  if (!s_.movie) return;
  MovieGetSummary(s_.movie, &s_.summary);
  s_.summaryTaken = true;
}

void Player::Quit() {
  if (s_.endCardActive) {
    s_.quitRequest = QuitRequest::QuitNow;
  } else {
    s_.quitRequest = QuitRequest::Quit;
    TakeSummary();
  }
  s_.listLoops = 1;
  s_.fileList.clear();
  MoviePause(s_.movie, 0);
}

void Player::SaverInput() {
  MoviePause(s_.movie, 1);
  // The password check has no counterpart here: it always passes.
  s_.passwordVerified = true;
  Quit();
}

void Player::Paint() {
  if (!s_.skipBlackFill) host_.FillBlack();
  opt_.extraCopyFlags |= COPY_FULL;
  if (s_.buffer) DisplayBufferBlit(s_.buffer, nullptr, 1);
}

void Player::HandleEvent(const PlayerEvent& e) {
  const int32_t u = opt_.disabledControls;
  switch (e.kind) {
    case PlayerEventKind::Close:
      s_.closing = true;
      s_.quitPosted = true;
      break;
    case PlayerEventKind::FocusGained:
      if (!opt_.keepPlayingUnfocused) MoviePause(s_.movie, s_.userPaused);
      s_.hasFocus = 1;
      break;
    case PlayerEventKind::FocusLost:
      if (!opt_.keepPlayingUnfocused) MoviePause(s_.movie, 1);
      s_.hasFocus = 0;
      if (SaverRunning()) SaverInput();
      break;
    case PlayerEventKind::Exposed:
      Paint();
      break;
    case PlayerEventKind::Moved:
      if (s_.buffer) DisplayBufferSetOffset(s_.pictureX, s_.buffer, s_.pictureY);
      break;
    case PlayerEventKind::Resized:
      Resize(e.x, e.y);
      break;
    case PlayerEventKind::DoubleClick:
      if (ControlsAvailable()) ToggleFullscreen();
      break;
    case PlayerEventKind::Key:
      if (ControlsAvailable() && !(u & 1)) HandleKey(e.code);
      break;
    case PlayerEventKind::KeyDown:
    case PlayerEventKind::ButtonDown:
      MoviePause(s_.movie, 1);
      if (SaverRunning())
        SaverInput();
      else
        MoviePause(s_.movie, s_.userPaused);
      break;
    case PlayerEventKind::MouseMove:
      if (SaverRunning() && (e.x != s_.lastMouseX || e.y != s_.lastMouseY)) {
        s_.lastMouseX = e.x;
        s_.lastMouseY = e.y;
        if (++s_.mouseMoves > 5) {
          s_.mouseMoves = 0;
          SaverInput();
        }
      }
      break;
    case PlayerEventKind::LeftButtonUp:
      if (s_.endCardActive) host_.OpenAddress((std::string(kHomePage) + kHomePageQuery).c_str());
      break;
    case PlayerEventKind::Suspend:
      if (SaverRunning()) SaverInput();
      break;
    case PlayerEventKind::Char:
      if (e.code == 13 && !(u & 1)) {
        MoviePause(s_.movie, 0);
      } else if (e.code == 32 && !(u & 1)) {
        s_.userPaused = ~s_.userPaused;
        MoviePause(s_.movie, s_.userPaused);
      } else if (e.code == 27 && !(u & 4)) {
        Quit();
      } else if (e.code == 46 && !(u & 2)) {
        if (!s_.endCardActive) s_.finished = true;
      } else if (ControlsAvailable()) {
        HandleChar(e.code);
      }
      break;
    case PlayerEventKind::None:
      break;
  }
}

void Player::ShowEndCard() {
  TakeSummary();
  LeaveFullscreen();
  host_.SetResizable(false);
  s_.resizable = false;
  if (s_.lineShown) {
    s_.lineShown = false;
    host_.ClearTextLine();
  }
  Movie* card = MovieOpen(EndCardMovie(), OPEN_FROM_MEMORY);
  MovieClose(s_.movie);
  s_.movie = card;
  s_.endCardActive = true;
  if (!card) {
    s_.endCardDeadline = 0;
    return;
  }
  host_.FillBlack();
  opt_.loopCount = -1;
  opt_.showStats = 0;
  s_.userPaused = 0;
  s_.endCardDeadline = MovieTimeMs() + kEndCardMs;
  DisplayBuffer* b = s_.buffer;
  if (b && b->width >= card->width && b->height >= card->height) {
    DisplayBufferClear(b);
  } else {
    if ((opt_.bufferFlags & BUFFER_SET_MODE) &&
        (uint32_t(opt_.screenWidth) < card->width || uint32_t(opt_.screenHeight) < card->height)) {
      opt_.bufferFlags &= ~BUFFER_SET_MODE;
      DisplayBufferClose(b);
      s_.buffer = b = nullptr;
      opt_.fillScreen = 0;
    }
    DisplayBuffer* nb = DisplayBufferOpen(host_.Window(), card->width, card->height, uint32_t(opt_.bufferFlags) & ~kBufferStretchMask);
    if (!nb) {
      MovieClose(s_.movie);
      s_.movie = nullptr;
      return;
    }
    DisplayBufferClose(b);
    s_.buffer = b = nb;
    if (!opt_.fillScreen) {
      host_.PlaceWindow((opt_.screenWidth - int32_t(card->width)) / 2, (opt_.screenHeight - int32_t(card->height)) / 2,
                        int32_t(b->windowWidth), int32_t(b->windowHeight));
      s_.videoX = s_.videoY = 0;
    }
  }
  DisplayBufferSetScale(b->width, b, b->height);
  s_.videoX += int32_t(b->width - card->width) / 2;
  s_.videoY += int32_t(b->height - card->height) / 2;
  s_.pictureX = s_.videoX;
  s_.pictureY = s_.videoY;
  DisplayBufferSetOffset(s_.videoX, b, s_.videoY);
}

// --- The viewer's controls ----------------------------------------------------

void Player::HandleKey(int key) {
  switch (key) {
    case PLAYER_KEY_LEFT: JumpSeconds(-5); break;
    case PLAYER_KEY_RIGHT: JumpSeconds(5); break;
    case PLAYER_KEY_DOWN: JumpSeconds(-60); break;
    case PLAYER_KEY_UP: JumpSeconds(60); break;
    case PLAYER_KEY_HOME: Jump(1); break;
    case PLAYER_KEY_END: Jump(MovieKeyFrame(s_.movie, s_.movie->frameCount)); break;
    default: break;
  }
}

void Player::HandleChar(int code) {
  switch (code) {
    case 'f': ToggleFullscreen(); break;
    case 'm':
      s_.muted = !s_.muted;
      s_.volumeSet = true;
      ApplyVolume();
      ShowLine(s_.muted ? "Sound off" : "Sound on");
      break;
    case '9': ChangeVolume(-1); break;
    case '0': ChangeVolume(1); break;
    case 'o': ShowPosition(); break;
    case 's': SaveFrame(); break;
    default: break;
  }
}

void Player::Jump(int64_t frame) {
  Movie* m = s_.movie;
  frame = std::clamp<int64_t>(frame, 1, m->frameCount);
  // A jump that cannot read ends the movie as a read error does: the next
  // decode reports it.
  (void)MovieGoto(m, uint32_t(frame));
  // A jump once the last loop has come to its end plays that loop on.
  if (s_.playOutSound) {
    s_.finished = s_.playOutSound = false;
    opt_.loopCount = 1;
  }
  s_.positionFrame = uint32_t(frame);
  // Paused, the new frame is shown as a single step shows one.
  if (s_.userPaused) DoFrame();
  ShowPosition();
}

void Player::RateInForce(uint32_t& num, uint32_t& den) const {
  num = s_.movie->rateNumerator, den = s_.movie->rateDenominator;
  if (num == 0 || den == 0) num = s_.fileRateNumerator, den = s_.fileRateDenominator;
}

// Frames in a number of seconds at the rate in force.
void Player::JumpSeconds(int32_t seconds) {
  uint32_t num, den;
  RateInForce(num, den);
  const int64_t frames = den ? int64_t(uint64_t(std::abs(seconds)) * num / den) : 0;
  Jump(int64_t(ShownFrame()) + (seconds < 0 ? -frames : frames));
}

void Player::ShowPosition() {
  uint32_t num, den;
  RateInForce(num, den);
  ShowLine(FormatPosition(ShownFrame(), s_.movie->frameCount, num, den));
}

// The line goes where the statistics line is, or over the top of the picture.
void Player::ShowLine(const std::string& text) {
  s_.lineText = text;
  s_.lineDeadline = MovieTimeMs() + kLineMs;
  s_.lineShown = true;
  DrawLine();
}

void Player::DrawLine() {
  if (opt_.showStats) {
    host_.DrawTextLine(s_.lineText.c_str(), s_.statsLeft, s_.statsTop, s_.statsRight,
                       std::max(s_.statsBottom, s_.statsTop));
    return;
  }
  int tw = 0, th = 0;
  host_.TextExtent(s_.lineText.c_str(), tw, th);
  host_.DrawTextLine(s_.lineText.c_str(), s_.pictureX, s_.pictureY, s_.pictureX + int(s_.pictureWidth),
                     s_.pictureY + std::min(th, int(s_.pictureHeight)));
}

void Player::ExpireLine() {
  s_.lineShown = false;
  host_.ClearTextLine();
  if (opt_.showStats && s_.movie) {
    DrawStatistics();
  } else {
    Redraw();
  }
}

void Player::ChangeVolume(int step) {
  s_.volumeTenths = uint32_t(std::clamp(int(s_.volumeTenths) + step, 0, 10));
  s_.muted = false;
  s_.volumeSet = true;
  ApplyVolume();
  ShowLine("Volume " + std::to_string(s_.volumeTenths * 10) + "%");
}

// On the scale of the installed back-end: the looping buffer's full volume is
// 0x7FFF, the buffer queue's 0x10000. Until the user changes it the tracks
// keep the volume they open with.
void Player::ApplyVolume() {
  if (!s_.movie || !s_.volumeSet) return;
  const uint32_t full = opt_.useWaveOut ? 0x10000 : 0x7FFF;
  MovieSetVolume(s_.movie, s_.muted ? 0 : full * s_.volumeTenths / 10);
}

void Player::SaveFrame() {
  std::string source = name_;
  if (!source.empty() && source[0] == ':') source = PlayerProgramPath();  // the movie inside the player
  const std::string file = SnapshotFileName(source, ShownFrame());
  std::string why;
  // The frame shown is converted again: the copy the screen gets next is whole.
  const bool saved = SaveFramePng(s_.movie, opt_.extraCopyFlags, file, &why);
  opt_.extraCopyFlags |= COPY_FULL;
  const std::string text = saved ? "Saved " + file : "Cannot save " + file + ": " + why;
  std::fprintf(saved ? stdout : stderr, "tarnplay: %s\n", text.c_str());
  std::fflush(saved ? stdout : stderr);
  ShowLine(text);
}

void Player::ToggleFullscreen() {
  if (opt_.bufferFlags & BUFFER_SET_MODE) return;  // /D holds the display already
  if (host_.SetFullscreen(!s_.fullscreen)) s_.fullscreen = !s_.fullscreen;
}

void Player::LeaveFullscreen() {
  if (s_.fullscreen && host_.SetFullscreen(false)) s_.fullscreen = false;
}

// The client area is now width x height. As placed for the movie, the
// picture goes back to its own size and place; otherwise (a window the user
// sized, or full screen) it is scaled to fit with its aspect kept, centred,
// with black around it. The statistics line keeps its strip above.
void Player::Resize(int width, int height) {
  if (!s_.buffer || !s_.movie || s_.endCardActive || width <= 0 || height <= 0) return;
  if (width == s_.clientWidth && height == s_.clientHeight) return;  // our own placement
  if (!s_.resizable && !s_.fullscreen && (width != s_.naturalWidth || height != s_.naturalHeight)) return;
  s_.clientWidth = width;
  s_.clientHeight = height;
  const int top = opt_.showStats ? std::max(s_.statsBottom, 0) : 0;
  uint32_t w = s_.stretchedWidth, h = s_.stretchedHeight;
  int32_t x = s_.videoX, y = s_.videoY;
  if (width != s_.naturalWidth || height != s_.naturalHeight) {
    FitInside(s_.stretchedWidth, s_.stretchedHeight, uint32_t(width), uint32_t(std::max(height - top, 1)), w, h);
    x = (width - int32_t(w)) / 2;
    y = top + (height - top - int32_t(h)) / 2;
  }
  if (!Rescale(w, h)) return;
  DisplayBufferCheckOffset(&x, s_.buffer, nullptr);
  s_.pictureX = x;
  s_.pictureY = y;
  s_.pictureWidth = s_.buffer->destWidth;
  s_.pictureHeight = s_.buffer->destHeight;
  if (opt_.showStats) s_.statsRight = width;
  DisplayBufferSetOffset(x, s_.buffer, y);
  host_.FillBlack();
  Redraw();
  if (opt_.showStats) DrawStatistics();
  if (s_.lineShown) DrawLine();
}

// Shows the picture at width x height. A style that cannot scale so (the
// window surface) gives way to the first automatic style that can.
bool Player::Rescale(uint32_t width, uint32_t height) {
  DisplayBuffer* b = s_.buffer;
  if (DisplayBufferSetScale(width, b, height)) return true;
  if ((opt_.bufferFlags & BUFFER_STYLE_MASK) != BUFFER_STYLE_AUTOMATIC) return false;
  const uint32_t classes = ComputeStretch(int32_t(width), 1, b->width, b->screenWidth, BUFFER_X_SHRINK).flags |
                           ComputeStretch(int32_t(height), 1, b->height, b->screenHeight, BUFFER_Y_SHRINK).flags;
  DisplayBuffer* scaled = DisplayBufferOpen(host_.Window(), b->width, b->height,
                                            (opt_.bufferFlags & ~kBufferStretchMask & ~BUFFER_SET_MODE) | classes);
  if (!scaled) return false;
  DisplayBufferClose(b);
  s_.buffer = scaled;
  return DisplayBufferSetScale(width, scaled, height) != 0;
}

// Draws the current frame again, whole.
void Player::Redraw() {
  if (!s_.buffer || !s_.movie) return;
  if (DisplayBufferLock(s_.buffer)) {
    MovieCopyToBuffer(s_.movie, s_.buffer->surface, s_.buffer->pitch, s_.buffer->height, 0, 0, 0, 0, s_.movie->width,
                      s_.movie->height, s_.buffer->copyFlags | opt_.extraCopyFlags | COPY_FULL | COPY_NEVER_SKIP);
    DisplayBufferUnlock(s_.buffer);
  }
  DisplayBufferBlit(s_.buffer, nullptr, 1);
}

}  // namespace

int PlayerRun(PlayerOptions& options, const std::string& fileList, PlayerHost& host) {
  Player player(options, host);
  return player.Run(fileList);
}

}  // namespace tarn
