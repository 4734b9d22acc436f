#include "zelk-container/block_frame.h"

#include "zelk-base/crc32c.h"

namespace zelk::container {

Bytes encode_block_frame(ByteSpan payload, std::optional<uint32_t> crc,
                         std::optional<uint64_t> declared_length) {
  Bytes frame(kBlockMagic, kBlockMagic + 4);
  append_le(frame, declared_length.value_or(payload.size()));
  append_le(frame, crc.value_or(crc32c(payload)));
  append_bytes(frame, payload);
  return frame;
}

Bytes encode_end_of_blocks() {
  Bytes marker(kBlockMagic, kBlockMagic + 4);
  append_le(marker, uint64_t{0});
  return marker;
}

Bytes encode_framed_slice(ByteSpan payload, std::optional<uint32_t> crc) {
  Bytes slice;
  append_le(slice, static_cast<uint32_t>(payload.size()));
  append_le(slice, crc.value_or(crc32c(payload)));
  append_bytes(slice, payload);
  return slice;
}

Bytes encode_block_payload(const BlockPayloadParts& parts) {
  Bytes payload;
  payload.reserve(40 + parts.names.size() + parts.sequence.size() + parts.quality.size());
  append_le(payload, parts.names_digest);
  append_le(payload, parts.sequence_digest);
  append_le(payload, parts.quality_digest);
  append_le(payload, parts.read_count);
  for (ByteSpan stream : {parts.names, parts.sequence, parts.quality}) {
    append_le(payload, static_cast<uint32_t>(stream.size()));
    append_bytes(payload, stream);
  }
  return payload;
}

}  // namespace zelk::container
