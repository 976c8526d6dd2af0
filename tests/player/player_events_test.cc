// Drives the player's main loop through a scripted host: keys, focus, the end
// card, jumps, resizing and full screen, observed through what reaches the
// window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/movie_time.h"
#include "convert/copy.h"
#include "encoder/movie_encoder.h"
#include "movie/movie.h"
#include "platform/player_host.h"
#include "player/options.h"
#include "player/player.h"
#include "tests/support/display_fake_window.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

// Counts what the display buffer shows on top of a FakeVideoWindow.
class CountingWindow final : public VideoWindow {
 public:
  int shows = 0;
  FakeVideoWindow w_{1024, 768};  // its window surface is what the screen shows

  bool DeviceAvailable() override { return w_.DeviceAvailable(); }
  VideoGeometry Geometry() override { return w_.Geometry(); }
  VideoMode ScreenMode() override { return w_.ScreenMode(); }
  bool SurfaceLock(VideoPixels& out) override { return w_.SurfaceLock(out); }
  void SurfaceUnlock() override { w_.SurfaceUnlock(); }
  bool SurfaceUpdate(const VideoRect* rects, int count) override {
    ++shows;
    return w_.SurfaceUpdate(rects, count);
  }
  bool SurfaceBlit(const VideoPixels& src, const VideoRect& s, const VideoRect& d) override {
    ++shows;
    return w_.SurfaceBlit(src, s, d);
  }
  bool RendererAcquire() override { return w_.RendererAcquire(); }
  void RendererRelease() override { w_.RendererRelease(); }
  int RendererFormat() override { return w_.RendererFormat(); }
  std::unique_ptr<VideoTexture> TextureCreate(int format, int width, int height) override {
    return w_.TextureCreate(format, width, height);
  }
  bool RenderPresent(VideoTexture& t, const VideoRect& s, const VideoRect& d) override {
    ++shows;
    return w_.RenderPresent(t, s, d);
  }
  int ModeCount() override { return w_.ModeCount(); }
  VideoMode ModeAt(int index) override { return w_.ModeAt(index); }
  bool ModeSet(const VideoMode& mode) override { return w_.ModeSet(mode); }
  void ModeRestore() override { w_.ModeRestore(); }

  // The window surface's pixel at client (x, y), as 0x00RRGGBB.
  uint32_t Pixel(int x, int y) const {
    uint32_t v = 0;
    std::memcpy(&v, &w_.surfacePixels[size_t(y) * w_.surfacePitch + size_t(x) * 4], 4);
    return v & 0xFFFFFF;
  }
};

// A host whose events come from a script called on every poll. The script
// sees the host (shows, placements, elapsed time) and returns the next event.
class ScriptedHost final : public PlayerHost {
 public:
  using Script = std::function<PlayerEvent(ScriptedHost&)>;
  explicit ScriptedHost(Script script) : script_(std::move(script)), start_(MovieTimeMs()) {}

  CountingWindow window;
  int placements = 0, placedWidth = 0;
  std::vector<int> placedX, placedWidths;
  std::vector<std::string> messages;
  std::vector<std::string> lines;  // every text line drawn
  std::vector<bool> resizable;     // every SetResizable
  std::vector<bool> fullscreen;    // every SetFullscreen
  bool answerYes = false;
  int desktopWidth = 1280, desktopHeight = 1024;
  uint32_t Elapsed() const { return MovieTimeMs() - start_; }

  bool CreateWindow(const char*, const PlayerWindowStyle&) override { return true; }
  void DestroyWindow() override {}
  VideoWindow* Window() override { return &window; }
  void PlaceWindow(int x, int, int width, int) override {
    ++placements;
    placedX.push_back(x);
    placedWidths.push_back(width);
    placedWidth = width;
  }
  void ShowWindow(bool) override {}
  void WindowPosition(int& x, int& y) override { x = y = 0; }
  void FillBlack() override {}
  bool PollEvent(PlayerEvent& event) override {
    // A safety net: no script may keep the player for more than a few seconds.
    event = Elapsed() > 8000 ? PlayerEvent{PlayerEventKind::Close} : script_(*this);
    return event.kind != PlayerEventKind::None;
  }
  bool Message(MessageKind kind, const char*, const char* text) override {
    messages.emplace_back(text);
    return kind == MessageKind::Question && answerYes;
  }
  void TextExtent(const char* text, int& width, int& height) override {
    width = int(std::string(text).size()) * 7;
    height = 14;
  }
  void DrawTextLine(const char* text, int, int, int, int) override { lines.emplace_back(text); }
  void OpenAddress(const char*) override {}
  bool ParentClientSize(uint64_t, int&, int&) override { return false; }
  bool DesktopSize(int& w, int& h) override {
    w = desktopWidth, h = desktopHeight;
    return true;
  }
  void SetResizable(bool on) override { resizable.push_back(on); }
  bool SetFullscreen(bool on) override {
    fullscreen.push_back(on);
    return true;
  }

 private:
  Script script_;
  uint32_t start_;
};

PlayerEvent Char(int code) { return {PlayerEventKind::Char, code}; }
PlayerEvent Key(int key) { return {PlayerEventKind::Key, key}; }
PlayerEvent Resized(int w, int h) { return {PlayerEventKind::Resized, 0, w, h}; }
PlayerEvent Nothing() { return {}; }

// A 64 x 48 movie at 50 frames a second whose every frame differs everywhere,
// with a track of 22050 Hz sound as long as its pictures when asked.
std::string MakeMovie(const std::string& name, uint32_t frames, uint32_t keyInterval = 0, bool sound = false) {
  std::vector<encoder::Picture> pictures(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    auto& p = pictures[i];
    p.Resize(64, 48, false);
    std::fill(p.y.begin(), p.y.end(), uint8_t(40 + (i * 37) % 180));
    std::fill(p.cb.begin(), p.cb.end(), uint8_t(128));
    std::fill(p.cr.begin(), p.cr.end(), uint8_t(100 + (i * 11) % 50));
  }
  std::vector<encoder::MemoryTrack> tracks;
  if (sound) {
    encoder::Sound tone{22050, 1, false, std::vector<int16_t>(size_t(frames) * 22050 / 50)};
    for (size_t i = 0; i < tone.samples.size(); ++i) tone.samples[i] = int16_t((i * 40) % 8000);
    tracks.push_back({tone, 0});
  }
  encoder::EncodeOptions opts;
  opts.rateNumerator = 50;
  opts.keyInterval = keyInterval;
  std::vector<uint8_t> movie;
  std::string why;
  EXPECT_TRUE(encoder::EncodeMovieMemory(pictures, tracks, opts, movie, &why)) << why;
  return test::WriteTempFile(movie, name + ".trn");
}

int Play(const std::string& switches, const std::vector<std::string>& files, ScriptedHost& host) {
  std::vector<std::string> args{"tarnplay"};
  std::istringstream words(switches);
  for (std::string w; words >> w;) args.push_back(w);
  args.insert(args.end(), files.begin(), files.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  CommandLineSources sources;
  sources.processCommandLine = JoinArguments(int(argv.size()), argv.data());
  sources.screenSize = [](int32_t& w, int32_t& h) { w = 1024, h = 768; };
  PlayerOptions options;
  const CommandLineResult parsed = ParseCommandLine(sources, options);
  EXPECT_EQ(parsed.outcome, CommandLineResult::PLAY);
  return PlayerRun(options, parsed.fileList, host);
}

uint32_t FramesPlayed(const ScriptedHost& host) {
  for (const auto& m : host.messages) {
    const size_t at = m.find("Total frames played: ");
    if (at != std::string::npos) return uint32_t(std::stoul(m.substr(at + 21)));
  }
  return 0;
}

// The end card (224 pixels wide) is wider than any movie here.
bool EndCardShown(const ScriptedHost& host) { return host.placedWidth >= 224; }

TEST(PlayerEvents, SpacePausesEnterStepsOneFrameSpaceResumes) {
  const std::string file = MakeMovie("pause", 400);
  int step = 0, pausedShows = -1, afterIdle = -1, afterEnter = -1;
  uint32_t mark = 0;
  ScriptedHost host([&](ScriptedHost& h) {
    switch (step) {
      case 0:
        if (h.window.shows < 3) return Nothing();
        step = 1, mark = h.Elapsed(), pausedShows = h.window.shows;
        return Char(32);
      case 1:  // paused: nothing new reaches the window
        if (h.Elapsed() - mark < 200) return Nothing();
        step = 2, mark = h.Elapsed(), afterIdle = h.window.shows;
        return Char(13);
      case 2:  // one step, then paused again
        if (h.Elapsed() - mark < 200) return Nothing();
        step = 3, afterEnter = h.window.shows;
        return Char(32);
      case 3:
        if (h.window.shows < afterEnter + 4) return Nothing();
        step = 4;
        return Char(27);
      case 4:
        if (!EndCardShown(h)) return Nothing();
        step = 5;
        return Char(27);
      default:
        return Nothing();
    }
  });
  EXPECT_EQ(Play("/S", {file}, host), 0);
  EXPECT_EQ(step, 5);
  EXPECT_EQ(afterIdle, pausedShows);
  EXPECT_EQ(afterEnter, pausedShows + 1);
  EXPECT_LT(host.Elapsed(), 5000u) << "the second Esc closes at once";
}

TEST(PlayerEvents, FocusLossPausesUnlessAskedToKeepPlaying) {
  const std::string file = MakeMovie("focus", 400);
  for (const char* switches : {"", "/J"}) {
    int step = 0, atLoss = 0, afterLoss = 0;
    uint32_t mark = 0;
    ScriptedHost host([&](ScriptedHost& h) {
      switch (step) {
        case 0:
          if (h.window.shows < 3) return Nothing();
          step = 1, mark = h.Elapsed(), atLoss = h.window.shows;
          return PlayerEvent{PlayerEventKind::FocusLost};
        case 1:
          if (h.Elapsed() - mark < 200) return Nothing();
          step = 2, afterLoss = h.window.shows;
          return PlayerEvent{PlayerEventKind::FocusGained};
        case 2:
          if (h.window.shows < afterLoss + 3) return Nothing();
          step = 3;
          return PlayerEvent{PlayerEventKind::Close};
        default:
          return Nothing();
      }
    });
    EXPECT_EQ(Play(switches, {file}, host), 0);
    EXPECT_EQ(step, 3) << switches << ": playback resumed with the focus";
    if (*switches)
      EXPECT_GE(afterLoss, atLoss + 3) << "/J keeps playing without the focus";
    else
      EXPECT_EQ(afterLoss, atLoss);
  }
}

TEST(PlayerEvents, DotOnTheLastMovieEndsItAndShowsTheEndCard) {
  const std::string first = MakeMovie("dot_first", 4), last = MakeMovie("dot_last", 400);
  int dots = 0;
  bool escaped = false;
  ScriptedHost host([&](ScriptedHost& h) {
    if (EndCardShown(h) && !escaped) return escaped = true, Char(27);
    // Four frames of the first movie, then three of the last.
    if (h.window.shows >= 7 && dots == 0) return ++dots, Char(46);
    return Nothing();
  });
  EXPECT_EQ(Play("/S", {first, last}, host), 0);
  EXPECT_EQ(dots, 1);
  EXPECT_TRUE(EndCardShown(host));
  EXPECT_LT(FramesPlayed(host), 20u) << "the long movie was cut short";
  EXPECT_LT(host.Elapsed(), 3000u);
}

TEST(PlayerEvents, DisabledControlsIgnoreEveryKeyButClosingStillWorks) {
  const std::string file = MakeMovie("locked", 10);
  bool closed = false;
  int keyedAt = -1;
  ScriptedHost host([&](ScriptedHost& h) {
    if (EndCardShown(h)) return closed = true, PlayerEvent{PlayerEventKind::Close};
    if (h.window.shows == keyedAt) return Nothing();
    keyedAt = h.window.shows;  // one key after each frame shown
    static const int keys[] = {32, 13, 46, 27};
    return Char(keys[keyedAt % 4]);
  });
  EXPECT_EQ(Play("/U7 /S", {file}, host), 0);
  EXPECT_TRUE(closed);
  EXPECT_EQ(FramesPlayed(host), 10u) << "no key paused, skipped or ended the movie";
}

TEST(PlayerEvents, EndlessLoopEndsOnlyOnEsc) {
  const std::string file = MakeMovie("loop", 5);
  int escapes = 0, showsAtEsc = 0;
  ScriptedHost host([&](ScriptedHost& h) {
    if (escapes == 0 && h.window.shows >= 13) return ++escapes, showsAtEsc = h.window.shows, Char(27);
    if (escapes == 1 && EndCardShown(h)) return ++escapes, Char(27);
    return Nothing();
  });
  EXPECT_EQ(Play("/L0 /S", {file}, host), 0);
  EXPECT_EQ(escapes, 2);
  EXPECT_EQ(host.placements, 2) << "the five frames looped in one placement";
  EXPECT_GE(FramesPlayed(host), 13u);
  EXPECT_GE(showsAtEsc, 13);
}


// The centre pixel of a frame reached by playing from the start, as 0x00RRGGBB.
uint32_t FramePixel(const std::string& file, uint32_t frame) {
  Movie* m = MovieOpen(file.c_str(), OPEN_NO_THREAD);
  EXPECT_NE(m, nullptr);
  if (!m) return 0;
  for (uint32_t f = 1; f < frame; ++f) {
    MovieDoFrame(m);
    MovieNextFrame(m);
  }
  MovieDoFrame(m);
  std::vector<uint32_t> rgb(size_t(m->width) * m->height);
  MovieCopyToBuffer(m, rgb.data(), int32_t(m->width * 4), m->height, 0, 0, 0, 0, m->width, m->height,
                    COPY_FORMAT_32_XRGB | COPY_FULL);
  const uint32_t v = rgb[size_t(m->height / 2) * m->width + m->width / 2] & 0xFFFFFF;
  MovieClose(m);
  return v;
}

// Esc, then Esc again once the end card shows: the way out of a script (an
// event on every poll would keep the loop from playing).
PlayerEvent Leave(const ScriptedHost& h, int& escapes) {
  if (escapes == 0 || (escapes == 1 && EndCardShown(h))) return ++escapes, Char(27);
  return Nothing();
}

bool LineShown(const ScriptedHost& h, const std::string& text) {
  return !h.lines.empty() && h.lines.back().find(text) != std::string::npos;
}

// Paused, each jump shows its frame at once (the picture is the frame playing
// from the start shows) and the position line; /U1 takes the jumps away with
// the pause keys.
TEST(PlayerEvents, JumpKeysShowTheirFrameAndThePosition) {
  const std::string file = MakeMovie("jump", 400, 100);  // key frames 1, 101, 201, 301
  struct Step {
    PlayerEvent key;
    uint32_t frame;
    const char* line;
  };
  const Step steps[] = {
      {Key(PLAYER_KEY_HOME), 1, "00:00:00 / 00:00:08  frame 1 of 400"},
      {Key(PLAYER_KEY_RIGHT), 251, "00:00:05 / 00:00:08  frame 251 of 400"},
      {Key(PLAYER_KEY_END), 301, "frame 301 of 400"},
      {Key(PLAYER_KEY_LEFT), 51, "frame 51 of 400"},
      {Key(PLAYER_KEY_DOWN), 1, "frame 1 of 400"},
      {Key(PLAYER_KEY_UP), 400, "frame 400 of 400"},
  };
  size_t next = 0;
  std::vector<std::string> failures;
  bool paused = false;
  int escapes = 0;
  ScriptedHost host([&](ScriptedHost& h) {
    if (!paused) {
      if (h.window.shows < 3) return Nothing();
      paused = true;
      return Char(32);
    }
    if (next > 0 && next <= std::size(steps)) {
      const Step& done = steps[next - 1];
      if (!LineShown(h, done.line)) failures.push_back(std::string("line after ") + done.line);
      if (h.window.Pixel(32, 24) != FramePixel(file, done.frame)) failures.push_back(std::string("picture ") + done.line);
    }
    if (next < std::size(steps)) return steps[next++].key;
    if (next++ == std::size(steps)) return Char(32);  // resumed at the last frame: the movie ends
    if (escapes == 0 && EndCardShown(h)) escapes = 1;  // no Esc: the end came by itself
    return escapes ? Leave(h, escapes) : Nothing();
  });
  EXPECT_EQ(Play("/S", {file}, host), 0);
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_EQ(escapes, 2) << "the movie ended at its last frame";

  int keys = 0, lockedEscapes = 0;
  ScriptedHost locked([&](ScriptedHost& h) {
    if (h.window.shows < 3 + keys * 3) return Nothing();
    if (keys == 3) return Leave(h, lockedEscapes);
    ++keys;
    return Key(keys == 2 ? PLAYER_KEY_HOME : PLAYER_KEY_RIGHT);
  });
  EXPECT_EQ(Play("/U1", {file}, locked), 0);
  EXPECT_TRUE(locked.lines.empty()) << "no jump, no line: " << locked.lines.front();
}

// A jump as the last frame shows, while the sound plays out, plays the movie
// on from the frame jumped to, and it ends by itself again.
TEST(PlayerEvents, JumpAtTheEndPlaysOn) {
  const std::string file = MakeMovie("end_jump", 30, 0, true);
  bool jumped = false;
  int escapes = 0;
  ScriptedHost host([&](ScriptedHost& h) {
    if (!jumped && h.window.shows >= 30) return jumped = true, Key(PLAYER_KEY_HOME);
    if (EndCardShown(h) && escapes == 0) escapes = 1;
    return escapes ? Leave(h, escapes) : Nothing();
  });
  EXPECT_EQ(Play("", {file}, host), 0);
  EXPECT_TRUE(jumped);
  EXPECT_EQ(escapes, 2) << "the movie ended by itself";
  EXPECT_GE(host.window.shows, 59) << "the movie did not play on after the jump";
}

// A window the switches leave free is sized by the mouse and full screen,
// the picture scaled with its aspect and centred; volume and mute answer on
// the line; "s" saves the frame on screen. /W fixes the size.
TEST(PlayerEvents, ResizeFullScreenVolumeAndSave) {
  const std::string file = MakeMovie("resize", 400);
  const auto dir = std::filesystem::temp_directory_path() / ("tarn_save_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  const VideoRect none{};
  struct Step {
    PlayerEvent event;
    VideoRect picture;  // the last blit's destination afterwards (w 0: not checked)
    const char* line;
  };
  const Step steps[] = {
      {Resized(400, 150), {100, 0, 200, 150}, nullptr},
      {Char('f'), none, nullptr},
      {Resized(1280, 1024), {0, 32, 1280, 960}, nullptr},
      {{PlayerEventKind::DoubleClick}, none, nullptr},
      {Resized(64, 48), {0, 0, 64, 48}, nullptr},
      {Char('9'), none, "Volume 90%"},
      {Char('m'), none, "Sound off"},
      {Char('s'), none, "Saved tarn-"},
  };
  size_t next = 0;
  int escapes = 0;
  std::vector<std::string> failures;
  ScriptedHost host([&](ScriptedHost& h) {
    if (h.window.shows < 3) return Nothing();
    if (next == 0) return ++next, Char(32);  // paused from here
    if (next > 1 && next <= std::size(steps) + 1) {
      const Step& done = steps[next - 2];
      const VideoRect got = h.window.w_.blitDests.empty() ? none : h.window.w_.blitDests.back();
      const VideoRect& want = done.picture;
      if (want.w && (got.x != want.x || got.y != want.y || got.w != want.w || got.h != want.h)) {
        failures.push_back("picture after step " + std::to_string(next - 2));
      }
      if (done.line && !LineShown(h, done.line)) failures.push_back(std::string("line ") + done.line);
    }
    if (next <= std::size(steps)) return steps[next++ - 1].event;
    next = std::size(steps) + 2;
    return Leave(h, escapes);
  });
  EXPECT_EQ(Play("", {file}, host), 0);
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_EQ(host.resizable.front(), true);
  EXPECT_EQ(host.fullscreen, (std::vector<bool>{true, false}));
  bool saved = false;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) saved |= entry.file_size() > 100;
  EXPECT_TRUE(saved) << "a PNG in the current folder";

  bool sent = false;
  int fixedEscapes = 0;
  ScriptedHost fixed([&](ScriptedHost& h) {
    if (h.window.shows < 3) return Nothing();
    if (!sent) return sent = true, Resized(400, 150);
    return Leave(h, fixedEscapes);
  });
  EXPECT_EQ(Play("/W128", {file}, fixed), 0);
  EXPECT_EQ(fixed.resizable.front(), false);
  for (const VideoRect& d : fixed.window.w_.blitDests) {
    if (d.w != 224) {  // 224: the end card
      EXPECT_EQ(d.w, 128) << "the size /W asked for stays";
    }
  }
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(dir);
}

// The screen is the desktop the host reports (centring, /R); a "yes" to the
// version reminder ends the program with 1 and nothing else to say.
TEST(PlayerEvents, DesktopSizeAndTheReminderAnsweredYes) {
  const std::string file = MakeMovie("desktop", 20);
  for (const char* switches : {"", "/R"}) {
    ScriptedHost host([](ScriptedHost& h) {
      return h.window.shows >= 2 ? PlayerEvent{PlayerEventKind::Close} : Nothing();
    });
    host.desktopWidth = 1600;
    EXPECT_EQ(Play(switches, {file}, host), 0);
    if (*switches) {
      EXPECT_EQ(host.placedWidths.front(), 1600 + 4) << "/R covers the screen";
    } else {
      EXPECT_EQ(host.placedX.front(), (1600 - (64 + 4)) / 2 / 4 * 4) << "centred on the screen";
    }
  }

  const auto dir = std::filesystem::temp_directory_path() / ("tarn_remind_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "config");
  std::filesystem::current_path(dir);
  std::ofstream(dir / "harrowvideo") << "";  // the tool suite beside the player
  setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  ScriptedHost host([](ScriptedHost&) { return Nothing(); });
  host.answerYes = true;
  EXPECT_EQ(Play("", {file}, host), 1);
  EXPECT_EQ(host.messages.size(), 1u) << "the question only, no empty error after it";
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarn
