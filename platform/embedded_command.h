// The embedded command line: the stand-in for a command line stored in the
// program's resources. A 512-byte field in the program's writable data follows
// a marker; `tarn bundle` finds the marker in a copy of the player's executable
// and writes a command line into the field. The stock program holds only "~"
// padding there.
#pragma once

#include <cstddef>
#include <string>

namespace tarn {

inline constexpr size_t kEmbeddedCommandLineCapacity = 511;
inline constexpr size_t kEmbeddedCommandMarkerSize = 32;
inline constexpr size_t kEmbeddedCommandFieldSize = 512;

// The embedded command line as stored (the caller cuts it at the first "~").
std::string EmbeddedCommandLine();
// The marker that precedes the field in the program image.
const char* EmbeddedCommandMarker();
// Writes commandLine (at most kEmbeddedCommandLineCapacity characters, no
// "~") into the field that follows the marker in a copy of an executable,
// padded with "~". False with a reason when the marker is missing or twice,
// or the text does not fit.
bool PatchEmbeddedCommandLine(std::string& image, const std::string& commandLine, std::string* why);

}  // namespace tarn
