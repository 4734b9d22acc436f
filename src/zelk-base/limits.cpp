#include "zelk-base/limits.h"

#include <atomic>
#include <cinttypes>

#include "zelk-base/text.h"

namespace zelk {

namespace {
std::atomic<uint64_t> current_limit{kDefaultDecodeLimit};
}  // namespace

uint64_t decode_limit() { return current_limit.load(std::memory_order_relaxed); }

void set_decode_limit(uint64_t bytes) { current_limit.store(bytes, std::memory_order_relaxed); }

Result<void> check_decode_limit(ErrorKind family, const char* what, uint64_t declared) {
  uint64_t limit = decode_limit();
  if (declared <= limit) return {};
  return fail(ArchiveError::malformed_stream(
      family, strprintf("%s of %" PRIu64 " bytes exceeds the decode limit of %" PRIu64 " bytes", what, declared,
                        limit)));
}

}  // namespace zelk
