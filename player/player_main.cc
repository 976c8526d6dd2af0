// tarnplay's entry: the command line, the saver modes that never open a
// window, and the version reminder's environment.
#include <ctime>
#include <string>

#include "common/clock.h"
#include "platform/display_size.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "display/display_mode.h"
#include "platform/player_host.h"
#include "display/display_buffer.h"
#include "player/player.h"
#include "player/profile.h"
#include "player/version_reminder.h"

namespace tarn {

namespace {
std::string programPath;  // set once by PlayerMain
}

std::string PlayerProgramPath() { return programPath; }

bool HasToolSuite() {
  const size_t slash = programPath.find_last_of("/:");
  const std::string dir = slash == std::string::npos ? std::string() : programPath.substr(0, slash + 1);
  return FileExists((dir + "harrowvideo").c_str()) || FileExists((dir + "harrowvideo.exe").c_str());
}

int IsWow64() { return 0; }

int RunVersionReminder(PlayerHost& host) {
  ReminderEnvironment env;
  env.hasToolSuite = HasToolSuite;
  env.today = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return CalendarDate{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
  };
  env.readValue = [](const char* key, const char* fallback) {
    return ProfileGetString(kProfileSection, key, fallback, 15);
  };
  env.writeValue = [](const char* key, const std::string& value) {
    (void)ProfileSetString(kProfileSection, key, value);
  };
  env.askYesNo = [&host](const char* caption, const char* text) {
    return host.Message(MessageKind::Question, caption, text);
  };
  env.openAddress = [&host](const std::string& address) { host.OpenAddress(address.c_str()); };
  env.sleep = [](unsigned ms) { SleepMs(ms); };
  env.isWow64 = IsWow64() != 0;
  std::string site = kHomePage;
  while (!site.empty() && site.back() == '/') site.pop_back();
  env.webSite = site;
  return VersionReminder(env);
}

int PlayerMain(int argc, char** argv, PlayerHost& host) {
  programPath = ExecutablePath(argc > 0 ? argv[0] : nullptr);
  const CommandLineSources sources = ProcessCommandLineSources(argc, argv);
  PlayerOptions options;
  const CommandLineResult parsed = ParseCommandLine(sources, options);
  if (parsed.outcome == CommandLineResult::REFUSED) {
    host.Message(MessageKind::Error, kErrorCaption, parsed.message.c_str());
    return 1;
  }
  const bool saver = IsScreenSaverName(sources.moduleName);
  if (saver && options.ScreenSaverMode == 0) return 0;  // a preview without a window
  if (saver && options.ScreenSaverMode == 3) {
    host.Message(MessageKind::Information, kPlayerTitle, "There are no settings for this screensaver.");
    return 0;
  }
  if (parsed.outcome == CommandLineResult::SHOW_HELP) {
    host.Message(MessageKind::Information, kHelpCaption, HelpText().c_str());
    return 1;
  }
  if (options.bufferFlags & BUFFER_SET_MODE)
    DisplayModeSetRequest(options.displayModeWidth, options.displayModeHeight, options.displayModeDepth);
  return PlayerRun(options, parsed.fileList, host);
}

}  // namespace tarn
