#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/paths.h"

namespace tarn {

std::string ExecutablePath(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (n > 0 && size_t(n) < sizeof(buffer)) return std::string(buffer, size_t(n));
  return argv0 ? std::string(argv0) : std::string();
}

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return std::string(home) + "/.config";
  return std::string();
}

}  // namespace tarn
