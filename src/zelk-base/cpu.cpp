#include "zelk-base/cpu.h"

#include <cpuid.h>

#include <atomic>

namespace zelk {

namespace {

uint64_t read_xcr0() {
  uint32_t eax, edx;
  __asm__("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

uint32_t detect() {
  uint32_t eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  uint32_t features = 0;
  if (ecx & bit_SSE4_2) features |= kCpuSse42;
  bool os_saves_ymm = (ecx & bit_OSXSAVE) && (read_xcr0() & 0x6) == 0x6;
  bool os_saves_zmm = os_saves_ymm && (read_xcr0() & 0xE0) == 0xE0;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (os_saves_ymm && (ebx & bit_AVX2)) features |= kCpuAvx2;
    if (os_saves_zmm && (ebx & bit_AVX512F)) features |= kCpuAvx512f;
    if (os_saves_zmm && (ebx & bit_AVX512BW)) features |= kCpuAvx512bw;
  }
  return features;
}

constexpr uint32_t kNotDetected = ~0u;
std::atomic<uint32_t> cached{kNotDetected};

}  // namespace

uint32_t cpu_features() {
  uint32_t features = cached.load(std::memory_order_relaxed);
  if (features == kNotDetected) {
    features = detect();
    cached.store(features, std::memory_order_relaxed);
  }
  return features;
}

}  // namespace zelk
