// Where the program finds itself and its configuration.
#pragma once

#include <string>

namespace tarn {

// The running executable's full path (from /proc/self/exe); argv0 when that
// cannot be read, or "" when argv0 is null too.
std::string ExecutablePath(const char* argv0);

// The user's configuration directory: $XDG_CONFIG_HOME when it is set to an
// absolute path, else $HOME/.config; "" when neither is known.
std::string ConfigHome();

}  // namespace tarn
