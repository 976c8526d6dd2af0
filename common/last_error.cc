#include "common/last_error.h"

#include <cstring>

namespace tarn {
namespace {
char lastError[512];
}

const char* MovieGetError() { return lastError; }

void MovieSetError(const char* text) {
  if (!text) text = "";
  std::strncpy(lastError, text, sizeof lastError - 1);
  lastError[sizeof lastError - 1] = '\0';
}

void MovieClearError() { lastError[0] = '\0'; }

}  // namespace tarn
