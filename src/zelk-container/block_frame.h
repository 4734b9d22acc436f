// Block frames ("ZELB", payload length, CRC-32C) and framed slices, the
// CRC-checked units of the archive body.
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

inline constexpr uint8_t kBlockMagic[4] = {'Z', 'E', 'L', 'B'};
inline constexpr uint64_t kBlockFrameHeaderSize = 16;
inline constexpr uint64_t kMaxBlockPayload = uint64_t{1} << 31;
inline constexpr uint64_t kMaxSlicePayload = uint64_t{1} << 31;
inline constexpr uint64_t kBlockPayloadFixedSize = 28;  // digests, read count, names length

// Frame for `payload`; the CRC and the declared length may be overridden to
// build damaged archives.
Bytes encode_block_frame(ByteSpan payload, std::optional<uint32_t> crc = std::nullopt,
                         std::optional<uint64_t> declared_length = std::nullopt);
Bytes encode_end_of_blocks();
Bytes encode_framed_slice(ByteSpan payload, std::optional<uint32_t> crc = std::nullopt);

// One block payload: digests, read count and three length-prefixed coded
// streams.
struct BlockPayloadParts {
  uint64_t names_digest = 0;
  uint64_t sequence_digest = 0;
  uint64_t quality_digest = 0;
  uint32_t read_count = 0;
  ByteSpan names;
  ByteSpan sequence;
  ByteSpan quality;
};
Bytes encode_block_payload(const BlockPayloadParts& parts);

}  // namespace zelk::container
