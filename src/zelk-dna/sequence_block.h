// The decoded bases of one block, the form every sequence codec produces.
#pragma once

#include <cstdint>
#include <vector>

#include "zelk-base/bytes.h"

namespace zelk::dna {

// Per-read lengths in record order and all reads concatenated;
// `bases.size()` is the sum of `read_lengths`.
struct SequenceBlock {
  std::vector<uint32_t> read_lengths;
  Bytes bases;
};

}  // namespace zelk::dna
