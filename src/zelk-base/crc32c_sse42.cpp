// The SSE4.2 CRC32 instruction path; chosen at run time only on CPUs that
// have it.
#include <nmmintrin.h>

#include "zelk-base/crc32c.h"

namespace zelk {

[[gnu::target("sse4.2")]] uint32_t crc32c_extend_hardware(uint32_t crc, ByteSpan data) {
  uint64_t c = ~crc;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n >= 8) {
    c = _mm_crc32_u64(c, load_le<uint64_t>(p));
    p += 8;
    n -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  while (n--) c32 = _mm_crc32_u8(c32, *p++);
  return ~c32;
}

}  // namespace zelk
