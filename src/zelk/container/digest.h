// XXH3-64 digests of a block's decoded streams.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "zelk/bytes.h"

namespace zelk::container {

// Read count, then each name's u32 length and bytes.
uint64_t names_digest(std::span<const std::string> names);
// Read count, every read's u32 length, then the concatenated bytes (bases
// or qualities).
uint64_t per_read_digest(std::span<const uint32_t> read_lengths, ByteSpan concatenated);

}  // namespace zelk::container
