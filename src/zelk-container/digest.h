// XXH3-64 digests of a block's decoded streams.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "zelk-base/bytes.h"
#include "zelk-base/xxh3.h"

namespace zelk::container {

// Read count, then each name's u32 length and bytes. `Names` has size()
// and an operator[] giving something viewable as a string.
template <class Names>
uint64_t names_digest(const Names& names) {
  Xxh3Digest digest;
  digest.update_le(static_cast<uint64_t>(names.size()));
  for (size_t i = 0; i < names.size(); ++i) {
    std::string_view name = names[i];
    digest.update_le(static_cast<uint32_t>(name.size()));
    digest.update(as_bytes(name));
  }
  return digest.digest();
}
// Read count, every read's u32 length, then the concatenated bytes (bases
// or qualities).
uint64_t per_read_digest(std::span<const uint32_t> read_lengths, ByteSpan concatenated);

}  // namespace zelk::container
