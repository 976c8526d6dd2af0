// The player's command line on arbitrary text. The first byte says where the
// rest is split: the part before the split is the embedded command line, the
// part after it the process command line. The quick-play profile value and
// the screen size come from fixed stand-ins, never from the real system.
#include <cstddef>
#include <cstdint>
#include <string>

#include "player/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  if (size < 1) return 0;
  const size_t rest = size - 1;
  const size_t split = rest ? data[0] % (rest + 1) : 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  CommandLineSources sources;
  sources.embedded.assign(text, split);
  sources.processCommandLine.assign(text + split, rest - split);
  sources.moduleName = "tarnplay";
  sources.quickPlay = [] { return std::string("/L2 /Q"); };
  sources.screenSize = [](int32_t& width, int32_t& height) { width = 1920, height = 1080; };
  PlayerOptions options;
  CommandLineResult result = ParseCommandLine(sources, options);
  std::string list = result.fileList;
  for (int guard = 0; !list.empty() && guard < 4096; ++guard) TakeNextFileName(list);
  return 0;
}
