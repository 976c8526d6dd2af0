#include "common/cpu_features.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tarn {
namespace {

std::atomic<CpuFlags> cached{0};
std::atomic<CpuFlags> mask{~0u};

bool NoSimdRequested() {
  const char* v = std::getenv("TARN_NO_SIMD");
  return v && std::strcmp(v, "1") == 0;
}

}  // namespace

CpuFlags CpuFlagsDetect() {
  CpuFlags flags = 0;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & (1u << 23))) {
    flags |= CPU_MMX;
    if (edx & (1u << 25)) {
      flags |= CPU_SSE;
      if (edx & (1u << 26)) flags |= CPU_SSE2;
    }
    unsigned maxExt = __get_cpuid_max(0x80000000u, nullptr);
    if (maxExt > 0x80000000u && __get_cpuid(0x80000001u, &eax, &ebx, &ecx, &edx) &&
        (edx & (1u << 31)))
      flags |= CPU_3DNOW;
  }
#endif
  return flags;
}

CpuFlags CpuFeatures() {
  CpuFlags word = cached.load(std::memory_order_acquire);
  if (!(word & CPU_PROBED)) {
    word = (NoSimdRequested() ? 0 : CpuFlagsDetect()) | CPU_PROBED;
    cached.store(word, std::memory_order_release);
  }
  return word & (mask.load(std::memory_order_relaxed) | CPU_PROBED);
}

void CpuFeaturesSetMask(CpuFlags m) { mask.store(m, std::memory_order_relaxed); }

}  // namespace tarn
