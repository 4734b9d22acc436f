// The decode ceiling: how many bytes one coded stream of one block may
// expand to. Format-legal streams can declare gigabytes in a few bytes (a
// one-symbol quality stream, millions of identical read lengths); a service
// decoding archives it did not write needs a bound, checked from declared
// sizes before anything is allocated and while a stream expands.
#pragma once

#include <cstdint>

#include "zelk-base/error.h"

namespace zelk {

inline constexpr uint64_t kDefaultDecodeLimit = uint64_t{4} << 30;

// The ceiling in force (kDefaultDecodeLimit unless set); any thread may read it.
uint64_t decode_limit();
void set_decode_limit(uint64_t bytes);

// Fails in `family` when `declared` bytes are over the ceiling:
// "{prefix}{what} of {declared} bytes exceeds the decode limit of {limit} bytes".
Result<void> check_decode_limit(ErrorKind family, const char* what, uint64_t declared);

}  // namespace zelk
