// CPU features the vector paths depend on, detected once per process.
#pragma once

#include <cstdint>

namespace zelk {

enum CpuFeature : uint32_t {
  kCpuSse42 = 1u << 0,
  kCpuAvx2 = 1u << 1,
  kCpuAvx512f = 1u << 2,
  kCpuAvx512bw = 1u << 3,
};

// The feature word, computed on first use and cached (a racing second
// detection computes the same value).
uint32_t cpu_features();

}  // namespace zelk
