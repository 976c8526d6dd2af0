// The movie library's process-wide last-error text. Cleared at the start of
// every open; holds the reason of the last failing open. Not locked: it is
// meant for one opening thread, like the other pre-open settings.
#pragma once

namespace tarn {

// Never null; "" when no error is recorded.
const char* MovieGetError();

// Copies text (truncated to the buffer) into the last-error text.
void MovieSetError(const char* text);

void MovieClearError();

}  // namespace tarn
