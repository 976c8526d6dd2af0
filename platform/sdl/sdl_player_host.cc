// The player's desktop over SDL2: one window (or a window inside a foreign
// parent), its events as the player's events, message boxes mirrored to the
// console, the statistics text with SDL_ttf, and xdg-open for addresses.
#include <SDL.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#ifdef TARN_HAVE_TTF
#include <SDL_ttf.h>
#endif

#include "common/movie_time.h"
#include "platform/player_host.h"
#include "platform/sdl/sdl_quiet.h"
#include "platform/sdl/sdl_video.h"
#include "platform/video_window.h"

extern char** environ;

namespace tarn {
namespace {

bool DialogsAllowed() {
  const char* no = std::getenv("TARN_NO_DIALOGS");
  if (no && std::strcmp(no, "1") == 0) return false;
  const char* driver = SDL_GetCurrentVideoDriver();
  if (!driver) return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
  return std::strcmp(driver, "dummy") != 0 && std::strcmp(driver, "offscreen") != 0;
}

const char* kFontPaths[] = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
    "/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf",
    "/usr/share/fonts/truetype/freefont/FreeMono.ttf",
};

class SdlPlayerHost final : public PlayerHost {
 public:
  ~SdlPlayerHost() override {
    DestroyWindow();
#ifdef TARN_HAVE_TTF
    if (line_) SDL_FreeSurface(line_);
    if (font_) TTF_CloseFont(font_);
    if (ttfStarted_) TTF_Quit();
#endif
    if (videoStarted_) SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }

  bool CreateWindow(const char* title, const PlayerWindowStyle& style) override {
    windowError_.clear();
    if (!StartVideo()) return false;
    if (InvisibleByDefault()) {
      const bool named = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
      windowError_ = std::string("The display device is not available\n") +
                     (named ? "The desktop that DISPLAY or WAYLAND_DISPLAY names did not answer."
                            : "No DISPLAY or WAYLAND_DISPLAY was found in the environment.");
      return false;
    }
    if (style.child && style.parentWindow) {
      window_ = SDL_CreateWindowFrom(reinterpret_cast<void*>(uintptr_t(style.parentWindow)));
      foreign_ = window_ != nullptr;
    }
    if (!window_) {
      Uint32 flags = SDL_WINDOW_HIDDEN;
      if (!style.decorated) flags |= SDL_WINDOW_BORDERLESS;
      if (style.topmost) flags |= SDL_WINDOW_ALWAYS_ON_TOP;
      window_ = SDL_CreateWindow(title, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 32, 32, flags);
    }
    if (!window_) return false;
    if (style.hideCursor) SDL_ShowCursor(SDL_DISABLE);
    video_ = SdlVideoWindowWrap(window_);
    return video_ != nullptr;
  }

  std::string WindowError() const override { return windowError_; }

  void Notice(const char* text) override {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
  }

  void DestroyWindow() override {
    video_.reset();
    if (window_) SDL_DestroyWindow(window_);  // a foreign window itself stays
    window_ = nullptr;
    foreign_ = false;
  }

  VideoWindow* Window() override { return video_.get(); }

  void PlaceWindow(int x, int y, int width, int height) override {
    if (!window_ || foreign_) return;
    int top = 0, left = 0, bottom = 0, right = 0;
    SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right);
    SDL_SetWindowSize(window_, std::max(1, width - left - right), std::max(1, height - top - bottom));
    SDL_SetWindowPosition(window_, x + left, y + top);
  }

  void ShowWindow(bool show) override {
    if (!window_ || foreign_) return;
    if (show) {
      SDL_ShowWindow(window_);
      SDL_RaiseWindow(window_);
    } else {
      SDL_HideWindow(window_);
    }
  }

  void WindowPosition(int& x, int& y) override {
    x = y = 0;
    if (!window_) return;
    int top = 0, left = 0, bottom = 0, right = 0;
    SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right);
    SDL_GetWindowPosition(window_, &x, &y);
    x -= left;
    y -= top;
  }

  void FillBlack() override {
    if (!window_) return;
    if (SDL_Renderer* r = SDL_GetRenderer(window_)) {
      SDL_SetRenderDrawColor(r, 0, 0, 0, 255);
      SDL_RenderClear(r);
      return;
    }
    if (SDL_Surface* s = SDL_GetWindowSurface(window_)) {
      SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, 0, 0, 0));
      SDL_UpdateWindowSurface(window_);
    }
  }

  bool PollEvent(PlayerEvent& out) override {
    if (pending_.empty()) Pump();
    if (pending_.empty()) return false;
    out = pending_.front();
    pending_.pop_front();
    return true;
  }

  bool Message(MessageKind kind, const char* caption, const char* text) override {
    std::FILE* console = kind == MessageKind::Error ? stderr : stdout;
    std::fprintf(console, "%s\n%s\n", caption, text);
    std::fflush(console);
    if (!DialogsAllowed()) return false;
    if (kind == MessageKind::Question) {
      const SDL_MessageBoxButtonData buttons[] = {
          {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 1, "Yes"},
          {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, 0, "No"},
      };
      const SDL_MessageBoxData data = {SDL_MESSAGEBOX_INFORMATION, window_, caption, text, 2, buttons, nullptr};
      int hit = 0;
      return SDL_ShowMessageBox(&data, &hit) == 0 && hit == 1;
    }
    const Uint32 flags = kind == MessageKind::Error ? SDL_MESSAGEBOX_ERROR : SDL_MESSAGEBOX_INFORMATION;
    SDL_ShowSimpleMessageBox(flags, caption, text, window_);
    return true;
  }

  void TextExtent(const char* text, int& width, int& height) override {
#ifdef TARN_HAVE_TTF
    if (Font() && TTF_SizeText(font_, text, &width, &height) == 0) return;
#endif
    width = int(std::strlen(text)) * 7;
    height = 14;
  }

  void DrawTextLine(const char* text, int left, int top, int right, int bottom) override {
    if (!window_) return;
#ifdef TARN_HAVE_TTF
    // Yellow on black, centred in the strip: straight into the window surface
    // when the display buffer shows through it, else as the renderer's overlay.
    const SDL_Rect strip{left, std::min(top, bottom), right - left, std::abs(bottom - top)};
    if (Font() && strip.w > 0 && strip.h > 0) {
      const bool rendered = SDL_GetRenderer(window_) != nullptr;
      SDL_Surface* ws = rendered ? nullptr : SDL_GetWindowSurface(window_);
      SDL_Surface* line = rendered ? LineSurface(strip.w, strip.h) : nullptr;
      if (ws || line) {
        SDL_Surface* target = ws ? ws : line;
        SDL_Rect fill = ws ? strip : SDL_Rect{0, 0, strip.w, strip.h};
        SDL_FillRect(target, &fill, SDL_MapRGB(target->format, 0, 0, 0));
        if (SDL_Surface* t = TTF_RenderText_Shaded(font_, text, {255, 255, 0, 255}, {0, 0, 0, 255})) {
          SDL_Rect at{fill.x + fill.w / 2 - t->w / 2, fill.y, t->w, t->h};
          SDL_BlitSurface(t, nullptr, target, &at);
          SDL_FreeSurface(t);
        }
        if (ws) {
          SDL_UpdateWindowSurfaceRects(window_, &strip, 1);
        } else {
          if (SDL_MUSTLOCK(line)) SDL_LockSurface(line);
          if (line->pitch == strip.w * 4)
            video_->OverlaySet(static_cast<const uint32_t*>(line->pixels), VideoRect{strip.x, strip.y, strip.w, strip.h});
          if (SDL_MUSTLOCK(line)) SDL_UnlockSurface(line);
        }
        return;
      }
    }
#endif
    (void)left, (void)top, (void)right, (void)bottom;
    const uint32_t now = MovieTimeMs();
    if (now - lastConsoleLine_ >= 1000) {
      lastConsoleLine_ = now;
      std::fprintf(stderr, "%s\n", text);
    }
  }

  void OpenAddress(const char* address) override {
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(address), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) == 0) {
      int status = 0;
      waitpid(pid, &status, WNOHANG);
    }
  }

  bool DesktopSize(int& width, int& height) override {
    if (!StartVideo()) return false;
    SDL_DisplayMode mode{};
    const int display = window_ ? std::max(0, SDL_GetWindowDisplayIndex(window_)) : 0;
    if (SDL_GetDesktopDisplayMode(display, &mode) != 0 || mode.w <= 0 || mode.h <= 0) return false;
    width = mode.w;
    height = mode.h;
    return true;
  }

  void SetResizable(bool resizable) override {
    if (window_ && !foreign_) SDL_SetWindowResizable(window_, resizable ? SDL_TRUE : SDL_FALSE);
  }

  bool SetFullscreen(bool on) override {
    if (!window_ || foreign_) return false;
    return SDL_SetWindowFullscreen(window_, on ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0) == 0;
  }

  void ClearTextLine() override {
    if (video_) video_->OverlaySet(nullptr, VideoRect{});
  }

  bool ParentClientSize(uint64_t parent, int& width, int& height) override {
    if (!StartVideo() || !parent) return false;
    SDL_Window* w = SDL_CreateWindowFrom(reinterpret_cast<void*>(uintptr_t(parent)));
    if (!w) return false;
    SDL_GetWindowSize(w, &width, &height);
    SDL_DestroyWindow(w);  // leaves a foreign window itself alone
    return width > 0 && height > 0;
  }

 private:
  bool StartVideo() {
    if (!videoStarted_) {
      SdlQuietStderr quiet;
      videoStarted_ = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
    }
    return videoStarted_;
  }

  // Without a display SDL falls back to a driver whose windows nobody sees;
  // that is what the user wants only when they chose it by name.
  static bool InvisibleByDefault() {
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!driver || std::getenv("SDL_VIDEODRIVER")) return false;
    return std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0;
  }

#ifdef TARN_HAVE_TTF
  // The statistics line's pixels for a renderer window, kept while its size holds.
  SDL_Surface* LineSurface(int width, int height) {
    if (line_ && (line_->w != width || line_->h != height)) {
      SDL_FreeSurface(line_);
      line_ = nullptr;
    }
    if (!line_) line_ = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_RGB888);
    return line_;
  }

  TTF_Font* Font() {
    if (font_ || fontTried_) return font_;
    fontTried_ = true;
    if (!TTF_WasInit()) ttfStarted_ = TTF_Init() == 0;
    if (!TTF_WasInit()) return nullptr;
    for (const char* path : kFontPaths)
      if ((font_ = TTF_OpenFont(path, 11)) != nullptr) break;
    return font_;
  }
#endif

  void Push(PlayerEventKind kind, int code = 0, int x = 0, int y = 0) { pending_.push_back({kind, code, x, y}); }

  void Pump() {
    SDL_Event e;
    while (pending_.empty() && SDL_PollEvent(&e)) {
      switch (e.type) {
        case SDL_QUIT: Push(PlayerEventKind::Close); break;
        case SDL_KEYDOWN: {
          Push(PlayerEventKind::KeyDown, e.key.keysym.sym);
          const SDL_Keycode sym = e.key.keysym.sym;
          int ch = 0, key = 0;
          switch (sym) {
            case SDLK_RETURN: case SDLK_KP_ENTER: ch = 13; break;
            case SDLK_SPACE: ch = 32; break;
            case SDLK_ESCAPE: ch = 27; break;
            case SDLK_PERIOD: case SDLK_KP_PERIOD: ch = 46; break;
            case SDLK_LEFT: key = PLAYER_KEY_LEFT; break;
            case SDLK_RIGHT: key = PLAYER_KEY_RIGHT; break;
            case SDLK_UP: key = PLAYER_KEY_UP; break;
            case SDLK_DOWN: key = PLAYER_KEY_DOWN; break;
            case SDLK_HOME: key = PLAYER_KEY_HOME; break;
            case SDLK_END: key = PLAYER_KEY_END; break;
            default:  // letters (lower case whatever the shift) and digits
              if ((sym >= SDLK_a && sym <= SDLK_z) || (sym >= SDLK_0 && sym <= SDLK_9)) ch = int(sym);
              break;
          }
          if (ch) Push(PlayerEventKind::Char, ch);
          if (key) Push(PlayerEventKind::Key, key);
          break;
        }
        case SDL_MOUSEBUTTONDOWN:
          Push(PlayerEventKind::ButtonDown, e.button.button);
          if (e.button.button == SDL_BUTTON_LEFT && e.button.clicks == 2) Push(PlayerEventKind::DoubleClick);
          break;
        case SDL_MOUSEBUTTONUP:
          if (e.button.button == SDL_BUTTON_LEFT) Push(PlayerEventKind::LeftButtonUp);
          break;
        case SDL_MOUSEMOTION: Push(PlayerEventKind::MouseMove, 0, e.motion.x, e.motion.y); break;
        case SDL_APP_WILLENTERBACKGROUND: Push(PlayerEventKind::Suspend); break;
        case SDL_WINDOWEVENT:
          switch (e.window.event) {
            case SDL_WINDOWEVENT_FOCUS_GAINED: Push(PlayerEventKind::FocusGained); break;
            case SDL_WINDOWEVENT_FOCUS_LOST: Push(PlayerEventKind::FocusLost); break;
            case SDL_WINDOWEVENT_EXPOSED: Push(PlayerEventKind::Exposed); break;
            case SDL_WINDOWEVENT_MOVED: Push(PlayerEventKind::Moved, 0, e.window.data1, e.window.data2); break;
            case SDL_WINDOWEVENT_SIZE_CHANGED:
              Push(PlayerEventKind::Resized, 0, e.window.data1, e.window.data2);
              break;
            case SDL_WINDOWEVENT_CLOSE: Push(PlayerEventKind::Close); break;
            default: break;
          }
          break;
        default: break;
      }
    }
  }

  SDL_Window* window_ = nullptr;
  std::string windowError_;  // why CreateWindow failed, when it knows
  bool foreign_ = false;
  bool videoStarted_ = false;
  std::unique_ptr<VideoWindow> video_;
  std::deque<PlayerEvent> pending_;
  uint32_t lastConsoleLine_ = 0;
#ifdef TARN_HAVE_TTF
  TTF_Font* font_ = nullptr;
  SDL_Surface* line_ = nullptr;  // the statistics line for a renderer window
  bool fontTried_ = false;
  bool ttfStarted_ = false;
#endif
};

}  // namespace

std::unique_ptr<PlayerHost> SdlPlayerHostCreate() { return std::make_unique<SdlPlayerHost>(); }

}  // namespace tarn
