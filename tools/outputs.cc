// The progress bar and the WAV and PNG writers of the `tarn` commands.
#include "tools/outputs.h"

#include <png.h>
#include <sndfile.h>

#include <cstdio>
#include <cstring>

namespace tarn::tools {

void ShowProgress(uint32_t done, uint32_t expected, uint64_t bytes, double seconds) {
  const double fps = seconds > 0 ? done / seconds : 0;
  char bar[41] = {};
  const int width = 30;
  int filled = expected ? int(uint64_t(done) * width / expected) : 0;
  if (filled > width) filled = width;
  for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
  char eta[32] = "--:--";
  if (expected > done && fps > 0) {
    const int s = int((expected - done) / fps);
    std::snprintf(eta, sizeof eta, "%d:%02d", s / 60, s % 60);
  }
  std::fprintf(stderr, "\r[%s] %u/%u frames  %.1f fps  ETA %s  %.2f MB ", bar, done, expected, fps,
               eta, bytes / 1048576.0);
  std::fflush(stderr);
}

std::string WriteWav(const std::string& path, const int16_t* values, size_t count, uint32_t rate,
                     uint32_t channels) {
  SF_INFO info{};
  info.samplerate = int(rate);
  info.channels = int(channels);
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return "cannot write " + path + ": " + sf_strerror(nullptr);
  const sf_count_t whole = sf_count_t(count / channels * channels);
  const sf_count_t written = sf_write_short(file, values, whole);
  std::string error;
  if (written != whole) error = "cannot write " + path + ": " + sf_strerror(file);
  if (sf_close(file) != 0 && error.empty()) error = "cannot finish " + path;
  return error;
}

bool WritePng(const std::string& path, const uint8_t* pixels, uint32_t width, uint32_t height, bool alpha) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  return png_image_write_to_file(&image, path.c_str(), 0, pixels, 0, nullptr) != 0;
}

}  // namespace tarn::tools
