// The embedded command line's field and its patcher; see embedded_command.h.
#include <algorithm>
#include <cstring>

#include "platform/embedded_command.h"

namespace tarn {
namespace {

struct EmbeddedCommandBlock {
  char marker[kEmbeddedCommandMarkerSize];
  char field[kEmbeddedCommandFieldSize];  // text, "~" up to the last byte, which is 0
};

// Split so the whole marker appears nowhere else in the image.
constexpr char kMarkerHead[] = "\x7ftarn-embedded-";
constexpr char kMarkerTail[] = "command-line\x01\x02\x03";

constexpr EmbeddedCommandBlock MakeStockBlock() {
  EmbeddedCommandBlock b{};
  size_t n = 0;
  for (size_t i = 0; kMarkerHead[i]; ++i) b.marker[n++] = kMarkerHead[i];
  for (size_t i = 0; kMarkerTail[i]; ++i) b.marker[n++] = kMarkerTail[i];
  for (size_t i = 0; i + 1 < kEmbeddedCommandFieldSize; ++i) b.field[i] = '~';
  return b;
}
static_assert(sizeof(kMarkerHead) + sizeof(kMarkerTail) - 2 < kEmbeddedCommandMarkerSize);

// Not const: the compiler must read the field from the image at run time.
constinit EmbeddedCommandBlock embeddedBlock = MakeStockBlock();

}  // namespace

std::string EmbeddedCommandLine() {
  const volatile char* field = embeddedBlock.field;
  std::string text;
  for (size_t i = 0; i < kEmbeddedCommandLineCapacity && field[i] != '\0'; ++i) text.push_back(field[i]);
  return text;
}

const char* EmbeddedCommandMarker() { return embeddedBlock.marker; }

bool PatchEmbeddedCommandLine(std::string& image, const std::string& commandLine, std::string* why) {
  auto fail = [&](const char* reason) {
    if (why) *why = reason;
    return false;
  };
  if (commandLine.size() > kEmbeddedCommandLineCapacity) return fail("the command line is longer than 511 characters");
  if (commandLine.find('~') != std::string::npos || commandLine.find('\0') != std::string::npos)
    return fail("the command line may not contain '~'");
  const std::string marker(EmbeddedCommandMarker(), std::strlen(EmbeddedCommandMarker()));
  const size_t at = image.find(marker);
  if (at == std::string::npos) return fail("the program has no embedded command line");
  if (image.find(marker, at + 1) != std::string::npos) return fail("the program has two embedded command lines");
  if (image.size() - at < kEmbeddedCommandMarkerSize + kEmbeddedCommandFieldSize)
    return fail("the embedded command line is cut off");
  char* field = image.data() + at + kEmbeddedCommandMarkerSize;
  std::fill(field, field + kEmbeddedCommandFieldSize - 1, '~');
  std::copy(commandLine.begin(), commandLine.end(), field);
  field[kEmbeddedCommandFieldSize - 1] = '\0';
  return true;
}

}  // namespace tarn
