// The one XXH3-64 wrapper (seed 0, default secret): digests of decoded
// streams.
#pragma once

// Header-only: the vendored xxHash is compiled into each user, so the
// built modules need no xxHash library at run time.
#define XXH_INLINE_ALL
#include "xxhash.h"

#include <cstdint>

#include "zelk-base/bytes.h"

namespace zelk {

class Xxh3Digest {
 public:
  Xxh3Digest() { XXH3_64bits_reset(&state_); }
  Xxh3Digest(const Xxh3Digest&) = delete;
  Xxh3Digest& operator=(const Xxh3Digest&) = delete;

  void update(ByteSpan data) { XXH3_64bits_update(&state_, data.data(), data.size()); }
  template <class T>
  void update_le(T value) {
    uint8_t raw[sizeof value];
    store_le(raw, value);
    update(raw);
  }
  uint64_t digest() const { return XXH3_64bits_digest(&state_); }

 private:
  XXH3_state_t state_;
};

inline uint64_t xxh3_64(ByteSpan data) { return XXH3_64bits(data.data(), data.size()); }

}  // namespace zelk
