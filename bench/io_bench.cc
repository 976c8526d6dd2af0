// Reading a 200 MB movie-sized file: through the reader's ring (filled inline,
// or by the reader service thread) against plain sequential 128 KB reads of
// the same file. The file is generated in /tmp and removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/io_reader.h"
#include "io/service_thread.h"

namespace tarn {
namespace {

constexpr uint32_t kFileSize = 200u << 20;
constexpr uint32_t kFrameBytes = 40000;  // a typical frame record
constexpr uint32_t kRingBytes = 4u << 20;

class BenchFile {
 public:
  BenchFile() {
    char name[] = "/tmp/tarn_io_bench_XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    std::vector<uint8_t> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 131 + (i >> 12));
    for (uint32_t done = 0; fd >= 0 && done < kFileSize; done += uint32_t(block.size())) {
      if (::write(fd, block.data(), block.size()) != ssize_t(block.size())) break;
    }
    if (fd >= 0) ::close(fd);
  }
  ~BenchFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

const char* FilePath() {
  static BenchFile file;
  return file.path();
}

// Generated before the first benchmark, so no timing includes it.
const char* const kGenerated = FilePath();

// With cold set, drops the file from the page cache so the reads go to the
// device (timing paused).
void MaybeEvict(benchmark::State& state, bool cold) {
  if (!cold) return;
  state.PauseTiming();
  const int fd = ::open(kGenerated, O_RDONLY);
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
  state.ResumeTiming();
}

// Plain reads straight into the destination: 128 KB chunks (range 0) or
// frame-sized reads into the frame buffer (range 1), as a reader without a
// ring would deliver frames.
void BM_PlainRead(benchmark::State& state) {
  std::vector<uint8_t> buffer(state.range(0) ? kFrameBytes : kIoChunk);
  for (auto _ : state) {
    MaybeEvict(state, state.range(1) != 0);
    const int fd = ::open(kGenerated, O_RDONLY);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t total = 0;
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) total += uint64_t(n);
    ::close(fd);
    benchmark::DoNotOptimize(total);
    if (total != kFileSize) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
}

// Frame-sized reads through the ring. Inline: the reading thread tops the
// ring up when it falls below half, as the playback thread does when idle.
// Threaded: the reader service thread fills it in the background.
void BM_RingRead(benchmark::State& state) {
  const bool threaded = state.range(0) != 0;
  std::vector<uint8_t> frame(kFrameBytes);
  std::vector<uint8_t> ring(kRingBytes + 0x1000);
  for (auto _ : state) {
    MaybeEvict(state, state.range(1) != 0);
    IoReader r;
    if (!IoReaderOpen(&r, FilePath(), 0)) {
      state.SkipWithError("open failed");
      return;
    }
    IoReaderUseNodeLock(&r);
    r.SetBuffer(&r, ring.data(), r.BufferSizeFor(&r, kRingBytes), kFileSize, 0);
    ServiceThread* thread = nullptr;
    if (threaded) {
      thread = ServiceThreadCreate(kReaderThreadPriority);
      if (!thread || !ServiceThreadJoin(thread, &r.serviceNode, IoReaderNodeUrgency, IoReaderNodeService, &r)) {
        state.SkipWithError("no service thread");
        return;
      }
      ServiceThreadStart(thread);
    }
    while (r.FillChunk(&r) > 0) {
    }
    uint64_t total = 0;
    for (uint32_t at = 0; at < kFileSize; at += kFrameBytes) {
      const uint32_t count = std::min(kFrameBytes, kFileSize - at);
      total += r.ReadBuffered(&r, 0, at, frame.data(), count);
      if (IoReaderLoad(r.held) < IoReaderLoad(r.target) / 2 && ServiceNodeTryLock(&r.serviceNode)) {
        if (!threaded) {
          while (r.FillChunk(&r) > 0) {
          }
        } else {
          (void)r.FillChunk(&r);
        }
        ServiceNodeUnlock(&r.serviceNode);
      }
    }
    if (thread) ServiceThreadLeave(nullptr, thread, &r.serviceNode, nullptr, SERVICE_LEAVE_END_EMPTY);
    r.Close(&r);
    benchmark::DoNotOptimize(total);
    if (total != kFileSize || r.error) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
}

BENCHMARK(BM_PlainRead)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"frames", "cold"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RingRead)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"threaded", "cold"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarn
