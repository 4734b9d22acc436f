#include "zelk-container/block_reader.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "zelk-container/block_frame.h"
#include "zelk-base/crc32c.h"
#include "zelk-base/io.h"
#include "zelk-base/text.h"

namespace zelk::container {

namespace {

// Reads exactly out.size() bytes; a short read is Truncated.
Result<void> read_or_truncated(BufferedReader& reader, std::span<uint8_t> out) {
  size_t got = ZELK_TRY(reader.read_some_exact(out));
  if (got != out.size()) return fail(ArchiveError::truncated());
  return {};
}

// Reads a payload of `length` bytes, growing the buffer as the data
// arrives: a length that overstates the input costs no more memory than the
// input itself. A short read is Truncated.
Result<Bytes> read_payload(BufferedReader& reader, uint64_t length) {
  constexpr uint64_t kFirstStep = 1 << 16;
  Bytes payload;
  while (payload.size() < length) {
    size_t at = payload.size();
    uint64_t step = std::min<uint64_t>(length - at, std::max<uint64_t>(kFirstStep, at));
    ZELK_TRY(resize_checked(payload, at + step, [] { return ArchiveError::truncated(); }));
    ZELK_TRY(read_or_truncated(reader, std::span<uint8_t>(payload).subspan(at)));
  }
  return payload;
}

}  // namespace

Result<std::optional<Bytes>> read_block_frame(BufferedReader& reader, uint64_t block_index) {
  uint8_t magic[4];
  // Only the end-of-blocks marker ends the body: data that stops where a
  // frame should start has lost its later blocks.
  ZELK_TRY(read_or_truncated(reader, magic));
  if (std::memcmp(magic, kBlockMagic, 4) != 0)
    return fail(ArchiveError::corrupt(strprintf("block %" PRIu64 " (bad sync marker)", block_index)));
  uint8_t length_field[8];
  ZELK_TRY(read_or_truncated(reader, length_field));
  uint64_t length = load_le<uint64_t>(length_field);
  if (length == 0) return std::optional<Bytes>();
  if (length > kMaxBlockPayload)
    return fail(ArchiveError::malformed("block payload length exceeds the maximum"));
  uint8_t crc_field[4];
  ZELK_TRY(read_or_truncated(reader, crc_field));
  Bytes payload = ZELK_TRY(read_payload(reader, length));
  if (crc32c(payload) != load_le<uint32_t>(crc_field))
    return fail(ArchiveError::corrupt(strprintf("block %" PRIu64, block_index)));
  return std::optional<Bytes>(std::move(payload));
}

Result<Bytes> read_framed_slice(BufferedReader& reader, const std::string& label) {
  uint8_t fields[8];
  ZELK_TRY(reader.read_exact({fields, 4}));
  uint32_t length = load_le<uint32_t>(fields);
  if (length > kMaxSlicePayload)
    return fail(ArchiveError::malformed("framed slice length exceeds the maximum"));
  ZELK_TRY(reader.read_exact({fields + 4, 4}));
  Bytes payload = ZELK_TRY(read_payload(reader, length));
  if (crc32c(payload) != load_le<uint32_t>(fields + 4)) return fail(ArchiveError::corrupt(label));
  return payload;
}

Result<BlockPayloadView> split_block_payload(ByteSpan payload) {
  if (payload.size() < kBlockPayloadFixedSize) return fail(ArchiveError::truncated());
  ByteCursor cursor(payload);
  BlockPayloadView view;
  view.names_digest = *cursor.take_le<uint64_t>();
  view.sequence_digest = *cursor.take_le<uint64_t>();
  view.quality_digest = *cursor.take_le<uint64_t>();
  view.read_count = *cursor.take_le<uint32_t>();
  for (ByteSpan* stream : {&view.names, &view.sequence, &view.quality}) {
    auto length = cursor.take_le<uint32_t>();
    auto data = length ? cursor.take(*length) : std::nullopt;
    if (!data) return fail(ArchiveError::truncated());
    *stream = *data;
  }
  if (!cursor.at_end())
    return fail(ArchiveError::malformed("block payload has trailing bytes after the three streams"));
  return view;
}

}  // namespace zelk::container
