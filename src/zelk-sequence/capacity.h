// The plausibility rule of the sequence codecs: a coded byte stands for at
// most 2^18 bases, so a declared length is checked against the coded size
// before anything is allocated for it.
#pragma once

#include <cstdint>

namespace zelk::seq {

inline constexpr uint64_t kBasesPerCodedByte = uint64_t{1} << 18;

// A declared count reserves at most this many entries up front; lists grow
// past it only as the data delivers them.
inline constexpr uint64_t kReserveLimit = uint64_t{1} << 20;

// `coded_bytes` × 2^18 + 2^18, saturating.
inline uint64_t coded_capacity(uint64_t coded_bytes) {
  uint64_t capacity;
  if (__builtin_mul_overflow(coded_bytes, kBasesPerCodedByte, &capacity) ||
      __builtin_add_overflow(capacity, kBasesPerCodedByte, &capacity))
    return UINT64_MAX;
  return capacity;
}

}  // namespace zelk::seq
