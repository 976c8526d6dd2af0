// The player on a real SDL window: the window is made larger as a user's
// mouse would, and what it then shows is read back: the picture scaled to
// fit with its aspect kept, centred, black on both sides. Runs on SDL's dummy
// driver in the suite and on X11 under a virtual server (label xvfb).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/movie_time.h"
#include "encoder/movie_encoder.h"
#include "platform/player_host.h"
#include "platform/video_window.h"
#include "player/options.h"
#include "player/player.h"
#include "tests/support/movie_builder.h"

namespace tarn {
namespace {

// The SDL host, with a hand on the window: once the movie plays it sizes the
// window to 300 x 120, and a little later it reads back what the window shows.
class ResizingHost final : public PlayerHost {
 public:
  explicit ResizingHost(std::unique_ptr<PlayerHost> inner) : inner_(std::move(inner)), start_(MovieTimeMs()) {}

  std::vector<uint32_t> shown;  // 300 x 120, once read

  bool CreateWindow(const char* t, const PlayerWindowStyle& s) override { return inner_->CreateWindow(t, s); }
  void DestroyWindow() override { inner_->DestroyWindow(); }
  VideoWindow* Window() override { return inner_->Window(); }
  void PlaceWindow(int x, int y, int w, int h) override { inner_->PlaceWindow(x, y, w, h); }
  void ShowWindow(bool show) override { inner_->ShowWindow(show); }
  void WindowPosition(int& x, int& y) override { inner_->WindowPosition(x, y); }
  void FillBlack() override { inner_->FillBlack(); }
  bool Message(MessageKind k, const char* c, const char* t) override { return inner_->Message(k, c, t); }
  void TextExtent(const char* t, int& w, int& h) override { inner_->TextExtent(t, w, h); }
  void DrawTextLine(const char* t, int l, int u, int r, int b) override { inner_->DrawTextLine(t, l, u, r, b); }
  void OpenAddress(const char*) override {}
  bool ParentClientSize(uint64_t p, int& w, int& h) override { return inner_->ParentClientSize(p, w, h); }
  bool DesktopSize(int& w, int& h) override { return inner_->DesktopSize(w, h); }
  void SetResizable(bool on) override { inner_->SetResizable(resizable_ = on); }
  bool SetFullscreen(bool on) override { return inner_->SetFullscreen(on); }
  void ClearTextLine() override { inner_->ClearTextLine(); }

  bool PollEvent(PlayerEvent& event) override {
    const uint32_t t = MovieTimeMs() - start_;
    if (t > 5000 || (t > 900 && !shown.empty())) {
      event = {PlayerEventKind::Close};
      return true;
    }
    if (t > 300 && !sized_ && resizable_) {
      sized_ = true;
      int x = 0, y = 0;
      inner_->WindowPosition(x, y);
      const VideoGeometry g = Window()->Geometry();
      inner_->PlaceWindow(x, y, 300 + g.borderLeft + g.borderRight, 120 + g.borderTop + g.borderBottom);
    }
    if (t > 700 && sized_ && shown.empty()) {
      shown.assign(300 * 120, 0);
      if (!Window()->ReadBack(shown.data(), 300, 120)) shown.assign(1, 0);
    }
    return inner_->PollEvent(event);
  }

 private:
  std::unique_ptr<PlayerHost> inner_;
  uint32_t start_;
  bool resizable_ = false, sized_ = false;
};

TEST(PlayerWindow, ResizedWindowShowsThePictureScaledWithItsAspect) {
  std::vector<encoder::Picture> pictures(200);
  for (auto& p : pictures) {
    p.Resize(64, 48, false);
    std::fill(p.y.begin(), p.y.end(), uint8_t(180));
    std::fill(p.cb.begin(), p.cb.end(), uint8_t(128));
    std::fill(p.cr.begin(), p.cr.end(), uint8_t(128));
  }
  encoder::EncodeOptions opts;
  opts.rateNumerator = 50;
  std::vector<uint8_t> movie;
  std::string why;
  ASSERT_TRUE(encoder::EncodeMovieMemory(pictures, {}, opts, movie, &why)) << why;
  const std::string file = test::WriteTempFile(movie, "window.trn");

  ResizingHost host(SdlPlayerHostCreate());
  std::vector<std::string> args{"tarnplay", file};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  CommandLineSources sources;
  sources.processCommandLine = JoinArguments(int(argv.size()), argv.data());
  PlayerOptions options;
  const CommandLineResult parsed = ParseCommandLine(sources, options);
  ASSERT_EQ(parsed.outcome, CommandLineResult::PLAY);
  EXPECT_EQ(PlayerRun(options, parsed.fileList, host), 0);
  if (host.shown.size() == 1) GTEST_SKIP() << "the window cannot be read back here";
  ASSERT_EQ(host.shown.size(), 300u * 120u) << "the window was resized and read";

  // 64 x 48 in 300 x 120: 160 x 120 at x = 70 (rounded for the screen's pixels).
  auto lit = [&](int x, int y) { return (host.shown[size_t(y) * 300 + x] & 0xFFFFFF) != 0; };
  int left = 0, right = 299;
  while (left < 300 && !lit(left, 60)) ++left;
  while (right >= 0 && !lit(right, 60)) --right;
  EXPECT_NEAR(left, 70, 4);
  EXPECT_NEAR(right - left + 1, 160, 4) << "as wide as the height allows, at 4:3";
  for (int y : {0, 119}) EXPECT_TRUE(lit(150, y)) << "full height, row " << y;
}

}  // namespace
}  // namespace tarn
