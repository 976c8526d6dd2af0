// What the player needs from the desktop besides the display buffer: its one
// window, the events that arrive for it, message boxes, text drawing for the
// statistics line, and opening a web address. platform/sdl/ implements it over
// SDL2; tests drive the player through a scripted fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tarn {

class VideoWindow;

struct PlayerWindowStyle {
  bool child = false;       // preview: play inside parentWindow
  bool decorated = true;    // title bar and frame
  bool topmost = false;
  bool hideCursor = false;
  uint64_t parentWindow = 0;  // X11 window id for /# and the saver preview
};

enum class PlayerEventKind {
  None,
  Char,        // key: the character code (Enter 13, Space 32, Esc 27, "." 46, letters and digits lower case)
  Key,         // a key without a character: code is a PlayerKey
  KeyDown,     // any key press (before its character)
  ButtonDown,  // any mouse button
  DoubleClick,  // the left button, twice in a row (after its ButtonDown)
  LeftButtonUp,
  MouseMove,   // x, y
  FocusGained,
  FocusLost,
  Exposed,     // needs repainting
  Moved,       // the window moved: x, y are the new client origin
  Resized,     // the client area changed size: x, y are its new width and height
  Close,       // the user asked to close the window
  Suspend,     // the system is about to sleep
};

enum PlayerKey { PLAYER_KEY_LEFT = 1, PLAYER_KEY_RIGHT, PLAYER_KEY_UP, PLAYER_KEY_DOWN, PLAYER_KEY_HOME, PLAYER_KEY_END };

struct PlayerEvent {
  PlayerEventKind kind = PlayerEventKind::None;
  int code = 0;
  int x = 0, y = 0;
};

enum class MessageKind { Information, Error, Question };

class PlayerHost {
 public:
  virtual ~PlayerHost() = default;

  // Creates the player window (client 32 x 32, hidden). False with a reason.
  [[nodiscard]] virtual bool CreateWindow(const char* title, const PlayerWindowStyle& style) = 0;
  // Why the last CreateWindow failed, for the user, when the host can tell
  // (no display, say): lines separated by newlines; empty otherwise.
  virtual std::string WindowError() const { return {}; }
  virtual void DestroyWindow() = 0;
  // The window as the display buffer uses it; null before CreateWindow.
  virtual VideoWindow* Window() = 0;
  // Places the window: (x, y) of its outer frame, outer width and height.
  virtual void PlaceWindow(int x, int y, int width, int height) = 0;
  virtual void ShowWindow(bool show) = 0;
  // Outer frame position of the window on the screen.
  virtual void WindowPosition(int& x, int& y) = 0;
  // Fills the client area with black (and shows it).
  virtual void FillBlack() = 0;

  // The next event without waiting; false when none is queued.
  virtual bool PollEvent(PlayerEvent& event) = 0;

  // A message box. Also written to standard output (information) or standard
  // error (errors) so that scripts see it; only that with TARN_NO_DIALOGS=1 or
  // when no dialog can be shown. A question answers yes or no.
  virtual bool Message(MessageKind kind, const char* caption, const char* text) = 0;

  // One line for the console only (no dialog): how playback goes on after
  // something the user should know, such as playing without sound.
  virtual void Notice(const char* text) { (void)text; }

  // The statistics line: measure a text, and draw one centred in a strip.
  virtual void TextExtent(const char* text, int& width, int& height) = 0;
  virtual void DrawTextLine(const char* text, int left, int top, int right, int bottom) = 0;

  // Opens an address in the user's browser.
  virtual void OpenAddress(const char* address) = 0;

  // Size of the client area of the parent window given for a preview.
  virtual bool ParentClientSize(uint64_t parent, int& width, int& height) = 0;

  // The desktop size of the display the window is on (the first display
  // before the window exists); false when the window system does not say.
  virtual bool DesktopSize(int& /*width*/, int& /*height*/) { return false; }

  // Whether the user may resize the window with the mouse.
  virtual void SetResizable(bool /*resizable*/) {}
  // The window full screen on its display (the desktop's mode), or back in
  // its frame at the size it had; the change arrives as a Resized event.
  // False when the window system refused.
  virtual bool SetFullscreen(bool /*on*/) { return false; }
  // Takes away a text line DrawTextLine put over a picture the window's
  // renderer shows (a line drawn into the window's surface goes with the
  // next full redraw).
  virtual void ClearTextLine() {}
};

// The SDL2 host (platform/sdl/sdl_player_host.cc).
std::unique_ptr<PlayerHost> SdlPlayerHostCreate();

}  // namespace tarn
