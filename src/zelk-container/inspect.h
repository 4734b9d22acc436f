// Archive metadata without decoding payloads.
#pragma once

#include <cstdint>
#include <optional>

#include "zelk-container/header.h"
#include "zelk-base/error.h"

namespace zelk {
class Source;
}

namespace zelk::container {

struct ArchiveInfo {
  ArchiveHeader header;
  uint64_t reads = 0;
  uint64_t blocks = 0;
  uint64_t names_bytes = 0;
  uint64_t sequence_bytes = 0;
  uint64_t quality_bytes = 0;
  std::optional<uint32_t> whole_file_crc;  // only when a footer was read
};

// Header, then the footer's totals; the block frames are walked when the
// footer cannot be used, and the reordered layout's sections are walked
// instead of either.
Result<ArchiveInfo> inspect_archive(Source& source);

}  // namespace zelk::container
