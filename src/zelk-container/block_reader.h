// Reading block frames and framed slices from an archive body.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk {
class BufferedReader;
}

namespace zelk::container {

// The next block's payload, or nullopt at the end-of-blocks marker. End of
// data anywhere in a frame, its first byte included, is Truncated.
// `block_index` only names the block in error texts.
Result<std::optional<Bytes>> read_block_frame(BufferedReader& reader, uint64_t block_index);

// One framed slice's payload; `label` names it in a CRC failure.
Result<Bytes> read_framed_slice(BufferedReader& reader, const std::string& label);

// The fixed fields and the three coded streams of a block payload, as views
// into it. Fails unless the streams exactly fill the payload.
struct BlockPayloadView {
  uint64_t names_digest;
  uint64_t sequence_digest;
  uint64_t quality_digest;
  uint32_t read_count;
  ByteSpan names;
  ByteSpan sequence;
  ByteSpan quality;
};
Result<BlockPayloadView> split_block_payload(ByteSpan payload);

}  // namespace zelk::container
