// Runs the real tarnplay headless (SDL's dummy drivers, no dialogs) on movies
// made by the tools, and reads what it reports.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
  int exitCode = -1;
  std::string out, err;
};

// extraEnv entries NAME=VALUE are added; "-NAME" removes NAME.
Result RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
  const fs::path dir = fs::temp_directory_path() / ("tarnplay_test_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string outPath = (dir / "out.txt").string(), errPath = (dir / "err.txt").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back("SDL_VIDEODRIVER=dummy");
  env.push_back("SDL_AUDIODRIVER=dummy");
  env.push_back("TARN_NO_DIALOGS=1");
  env.push_back("XDG_CONFIG_HOME=" + (dir / "config").string());
  for (const auto& e : extraEnv) {
    if (e[0] != '-') {
      env.push_back(e);
      continue;
    }
    const std::string name = e.substr(1) + "=";
    env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& v) { return v.rfind(name, 0) == 0; }),
              env.end());
  }
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  Result r;
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  auto slurp = [](const std::string& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  r.out = slurp(outPath);
  r.err = slurp(errPath);
  return r;
}

std::string Tool() {
  const char* t = std::getenv("TARN_TOOL");
  return t ? t : "tarn";
}

// A small movie made by the tools: `frames` frames of the test pattern at 30/1.
std::string MakeMovie(const std::string& name, int frames, const char* size = "64x48") {
  const fs::path dir = fs::temp_directory_path() / ("tarnplay_movies_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string y4m = (dir / (name + ".y4m")).string(), trn = (dir / (name + ".trn")).string();
  if (!fs::exists(trn)) {
    EXPECT_EQ(RunProgram({Tool(), "synth", "video", y4m, "--size", size, "--frames", std::to_string(frames)}).exitCode, 0);
    EXPECT_EQ(RunProgram({Tool(), "encode", "-o", trn, y4m, "--quiet"}).exitCode, 0);
  }
  return trn;
}

std::map<std::string, std::string> SummaryFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return fields;
}

TEST(Tarnplay, ListWithLoopsPlaysEachFileTwiceThenEnds) {
  const std::string a = MakeMovie("a", 3), b = MakeMovie("b", 4), c = MakeMovie("c", 5);
  const Result r = RunProgram({TARN_PLAYER_PATH, a, b, c, "/L2", "/S", "/F"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The summary describes the last movie played before the end card.
  const auto f = SummaryFields(r.out);
  EXPECT_EQ(f.at("Total frames"), "5");
  EXPECT_EQ(f.at("Total frames played"), "5");
  EXPECT_EQ(f.at("Frame rate played"), "As fast as possible");
  EXPECT_EQ(f.at("Skipped frames"), "0");
}

TEST(Tarnplay, SummaryOfOneMovieAtItsRate) {
  const std::string m = MakeMovie("rate", 15);
  const Result r = RunProgram({TARN_PLAYER_PATH, m, "/S"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto f = SummaryFields(r.out);
  EXPECT_EQ(f.at("Video"), "64 x 48 at 30.0 frames/sec");
  EXPECT_EQ(f.at("Total frames played"), "15");
  EXPECT_EQ(f.at("Frame rate played"), "30.0 frames/sec");
  const double obtained = std::atof(f.at("Frame rate obtained").c_str());
  EXPECT_GT(obtained, 20.0);
  EXPECT_LT(obtained, 40.0);
  EXPECT_NE(r.out.find("Second slowest frame: "), std::string::npos);
}

TEST(Tarnplay, OneFrameLeavesTheSecondSlowestLineEmpty) {
  const std::string m = MakeMovie("one", 1);
  const Result r = RunProgram({TARN_PLAYER_PATH, m, "/S"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("frames/sec)\n\nAverage data rate: "), std::string::npos) << r.out;
}

TEST(Tarnplay, NamesWithoutExtensionAndOffsetForm) {
  const std::string m = MakeMovie("plain", 2);
  const std::string stem = m.substr(0, m.size() - 4);
  EXPECT_EQ(RunProgram({TARN_PLAYER_PATH, stem}).exitCode, 0);
  // The same movie inside a larger file, after 1000 bytes of something else.
  const std::string carrier = m + ".carrier";
  {
    std::ofstream out(carrier, std::ios::binary);
    out << std::string(1000, 'x');
    std::ifstream in(m, std::ios::binary);
    out << in.rdbuf();
  }
  EXPECT_EQ(RunProgram({TARN_PLAYER_PATH, carrier + "|1000"}).exitCode, 0);
}

// A movie cut short on disk plays up to the read error and ends there, also
// when told to loop for ever; the summary counts the frames it showed.
TEST(Tarnplay, ReadErrorEndsTheMovie) {
  const std::string whole = MakeMovie("whole", 30);
  const std::string cut = whole + ".cut";
  {
    std::ifstream in(whole, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 3 / 5);
  }
  const Result r = RunProgram({TARN_PLAYER_PATH, cut, "/L", "/S", "/F"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto f = SummaryFields(r.out);
  const int played = std::atoi(f.at("Total frames played").c_str());
  EXPECT_GT(played, 0) << r.out;
  EXPECT_LT(played, 30) << r.out;
}

TEST(Tarnplay, ErrorsExitWithOne) {
  const Result missing = RunProgram({TARN_PLAYER_PATH, "/nonexistent/none.trn"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("Error opening file."), std::string::npos) << missing.err;
  const std::string junk = (fs::temp_directory_path() / "tarnplay_not_a_movie.trn").string();
  std::ofstream(junk) << "this is not a movie at all, not even close............";
  const Result bad = RunProgram({TARN_PLAYER_PATH, junk});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("Not a Tarn file."), std::string::npos) << bad.err;
  for (const char* arg : {"", "/?"}) {
    const Result help = RunProgram(*arg ? std::vector<std::string>{TARN_PLAYER_PATH, arg} : std::vector<std::string>{TARN_PLAYER_PATH});
    EXPECT_EQ(help.exitCode, 1) << arg;
    EXPECT_NE(help.out.find("SYNTAX"), std::string::npos) << arg << ": " << help.out << help.err;
  }
  // No display to show the movie on: said, and no endless invisible play.
  const std::string m = MakeMovie("nodisplay", 3);
  const Result blind = RunProgram({TARN_PLAYER_PATH, m}, {"-SDL_VIDEODRIVER", "-DISPLAY", "-WAYLAND_DISPLAY"});
  EXPECT_EQ(blind.exitCode, 1);
  EXPECT_NE(blind.err.find("The display device is not available\nNo DISPLAY or WAYLAND_DISPLAY"), std::string::npos)
      << blind.err;
}

// Without a sound device the movie plays at its rate, and one line says so;
// the sound library's own complaints stay off the terminal.
TEST(Tarnplay, NoSoundDeviceIsOneLine) {
  const std::string m = MakeMovie("nosound", 6);
  const Result r = RunProgram({TARN_PLAYER_PATH, m, "/S"}, {"-SDL_AUDIODRIVER", "SDL_AUDIODRIVER=nonexistent"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "No sound device could be opened: the movie plays without sound.\n");
  EXPECT_EQ(SummaryFields(r.out).at("Total frames played"), "6");
}

}  // namespace

namespace {

// A copy of the player named like a screen saver.
std::string SaverCopy() {
  const fs::path p = fs::temp_directory_path() / ("tarnsaver_" + std::to_string(getpid()) + ".scr");
  if (!fs::exists(p)) fs::copy_file(TARN_PLAYER_PATH, p);
  return p.string();
}

TEST(Tarnplay, ScreenSaverArgumentModes) {
  const std::string saver = SaverCopy();
  const Result configure = RunProgram({saver, "/c"});
  EXPECT_EQ(configure.exitCode, 0);
  EXPECT_NE(configure.out.find("There are no settings for this screensaver."), std::string::npos);
  const Result previewWithoutWindow = RunProgram({saver, "/p"});
  EXPECT_EQ(previewWithoutWindow.exitCode, 0);
}

}  // namespace
