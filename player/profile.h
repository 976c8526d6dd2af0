// The player's two remembered values (the quick-play switches and the date of
// the last version check) in an INI file: $XDG_CONFIG_HOME/tarn/tarn.ini, or
// ~/.config/tarn/tarn.ini, section kProfileSection.
#pragma once

#include <string>

namespace tarn {

inline constexpr const char* kProfileSection = "Harrow Video Tools";
inline constexpr const char* kQuickPlayKey = "TarnQuickPlay";

// The file's path; "" when no configuration directory is known.
std::string ProfilePath();

// The value of key in section (section and key compare ignoring case), or
// fallback when the file, section or key is missing; at most maxLength
// characters.
std::string ProfileGetString(const char* section, const char* key, const char* fallback, size_t maxLength);

// Sets key in section, adding either when missing and keeping every other
// line of the file; creates the file and its directory. The file is replaced
// whole (written beside it, then renamed), so a failed write loses nothing.
// False when it cannot be written.
bool ProfileSetString(const char* section, const char* key, const std::string& value);

}  // namespace tarn
