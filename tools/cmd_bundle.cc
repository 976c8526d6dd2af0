// `tarn bundle`: a copy of the player that carries a movie. The movie is
// appended to the player's executable and the copy's embedded command line is
// set to ":<offset> <switches>", so the result plays it with no arguments.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/embedded_command.h"
#include "tools/command.h"

namespace tarn::tools {
namespace {

namespace fs = std::filesystem;

bool ReadAll(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The player beside this tool: installed side by side, or in the build tree.
std::string DefaultPlayer() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "tarnplay";
  const fs::path dir = self.parent_path();
  for (const fs::path& p : {dir / "tarnplay", dir.parent_path() / "player" / "tarnplay"})
    if (fs::exists(p, ec)) return p.string();
  return "tarnplay";
}

int Run(const std::vector<std::string>& args) {
  std::string movie, out, switches, player;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool more = i + 1 < args.size();
    if (a == "-o" && more) out = args[++i];
    else if (a == "--switches" && more) switches = args[++i];
    else if (a == "--player" && more) player = args[++i];
    else if (movie.empty() && !a.empty() && a[0] != '-') movie = a;
    else return Fail("bundle: unexpected argument '" + a + "'");
  }
  if (movie.empty() || out.empty()) return Fail("bundle: usage: tarn bundle MOVIE -o OUT [--switches TEXT]");
  if (player.empty()) player = DefaultPlayer();

  std::string image, movieBytes;
  if (!ReadAll(player, image)) return Fail("bundle: cannot read the player " + player);
  if (!ReadAll(movie, movieBytes)) return Fail("bundle: cannot read " + movie);
  if (movieBytes.size() < 4 || movieBytes.compare(0, 3, "TRN") != 0) return Fail("bundle: " + movie + ": Not a Tarn file.");

  const std::string commandLine = ":" + std::to_string(image.size()) + (switches.empty() ? "" : " " + switches);
  std::string why;
  if (!PatchEmbeddedCommandLine(image, commandLine, &why)) return Fail("bundle: " + player + ": " + why);
  {
    std::ofstream o(out, std::ios::binary | std::ios::trunc);
    if (!o) return Fail("bundle: cannot write " + out);
    o.write(image.data(), std::streamsize(image.size()));
    o.write(movieBytes.data(), std::streamsize(movieBytes.size()));
    if (!o) return Fail("bundle: error writing " + out);
  }
  ::chmod(out.c_str(), 0755);
  return 0;
}

const TarnCommand command("bundle", "bundle MOVIE -o OUT [--switches TEXT] [--player TARNPLAY]", Run);

}  // namespace
}  // namespace tarn::tools
