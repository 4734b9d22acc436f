#include "zelk-container/digest.h"

#include "zelk-base/xxh3.h"

namespace zelk::container {

uint64_t per_read_digest(std::span<const uint32_t> read_lengths, ByteSpan concatenated) {
  Xxh3Digest digest;
  digest.update_le(static_cast<uint64_t>(read_lengths.size()));
  // The lengths are little-endian u32 in memory already.
  digest.update({reinterpret_cast<const uint8_t*>(read_lengths.data()), read_lengths.size_bytes()});
  digest.update(concatenated);
  return digest.digest();
}

}  // namespace zelk::container
