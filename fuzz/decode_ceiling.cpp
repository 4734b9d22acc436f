// Linked into every fuzz target: a low decode ceiling. A few input bytes
// may legally declare gigabytes of output; decoding that much only
// measures time and memory, and smaller declared sizes run the same loops.
#include <cstdint>

#include "zelk-base/limits.h"

namespace {

const bool kCeilingSet = (zelk::set_decode_limit(uint64_t{1} << 16), true);

}  // namespace
