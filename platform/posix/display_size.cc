#include "platform/display_size.h"

#include <atomic>

namespace tarn {
namespace {

std::atomic<DisplaySizeQuery> installed{nullptr};

}  // namespace

void SetPrimaryDisplaySizeQuery(DisplaySizeQuery query) { installed.store(query); }

DisplaySize PrimaryDisplaySize() {
  const DisplaySizeQuery query = installed.load();
  return query ? query() : DisplaySize{640, 480};
}

}  // namespace tarn
