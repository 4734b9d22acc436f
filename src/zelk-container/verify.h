// Integrity check of a whole archive without producing output.
#pragma once

#include <cstdint>

#include "zelk-base/error.h"

namespace zelk {
class Source;
}

namespace zelk::container {

// Header, footer and the parallel whole-file CRC of a plain archive.
// `threads` sizes the worker pool (0: one per processor).
Result<void> verify_archive(Source& source, uint64_t threads);

}  // namespace zelk::container
