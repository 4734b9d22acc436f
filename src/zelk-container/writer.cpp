#include "zelk-container/writer.h"

#include "zelk-container/block_frame.h"
#include "zelk-container/block_reader.h"
#include "zelk-base/crc32c.h"

namespace zelk::container {

bool group_entry_for_payload(ByteSpan payload, uint64_t block_offset, GroupEntry& entry) {
  auto view = split_block_payload(payload);
  if (!view) return false;
  entry.block_offset = block_offset;
  entry.read_count = view->read_count;
  uint64_t payload_start = block_offset + kBlockFrameHeaderSize;
  ByteSpan streams[] = {view->names, view->sequence, view->quality};
  for (size_t s = 0; s < kStreamCount; ++s) {
    uint64_t at = static_cast<uint64_t>(streams[s].data() - payload.data());
    entry.streams[s] = {payload_start + at, static_cast<uint32_t>(streams[s].size()), crc32c(streams[s])};
  }
  return true;
}

Bytes encode_footer_and_trailer(Index index, uint32_t crc_before, uint64_t footer_offset,
                                const FooterOverrides& overrides) {
  // The whole-file CRC stops before its own field: the body up to and
  // including total reads.
  Bytes body = encode_footer_body(index, std::nullopt);
  index.whole_file_crc =
      overrides.whole_file_crc.value_or(crc32c_extend(crc_before, ByteSpan(body).first(body.size() - 8)));
  Bytes out = encode_footer_body(index, overrides.body_crc);
  append_bytes(out, encode_trailer(overrides.footer_offset.value_or(footer_offset)));
  return out;
}

Bytes assemble_plain_archive(ByteSpan header, const std::vector<Bytes>& payloads,
                             const FooterOverrides& overrides,
                             std::optional<ByteSpan> global_reference_slice) {
  Bytes archive(header.begin(), header.end());
  if (global_reference_slice) append_bytes(archive, *global_reference_slice);
  Index index;
  for (const Bytes& payload : payloads) {
    GroupEntry entry;
    if (group_entry_for_payload(payload, archive.size(), entry)) {
      index.total_reads += entry.read_count;
      index.groups.push_back(entry);
    }
    append_bytes(archive, encode_block_frame(payload));
  }
  append_bytes(archive, encode_end_of_blocks());
  index.total_reads = overrides.total_reads.value_or(index.total_reads);
  append_bytes(archive, encode_footer_and_trailer(std::move(index), crc32c(archive), archive.size(), overrides));
  return archive;
}

bool frame_with_summary(ByteSpan payload, Bytes& frame, FrameSummary& summary) {
  if (!group_entry_for_payload(payload, 0, summary.entry)) return false;
  frame = encode_block_frame(payload);
  summary.length = frame.size();
  summary.crc = crc32c(frame);
  return true;
}

Bytes archive_ending(ByteSpan header, std::span<const FrameSummary> blocks) {
  uint64_t offset = header.size();
  uint32_t crc = crc32c(header);
  Index index;
  for (const FrameSummary& block : blocks) {
    GroupEntry entry = block.entry;
    entry.block_offset += offset;
    for (StreamLoc& stream : entry.streams) stream.offset += offset;
    index.groups.push_back(entry);
    index.total_reads += entry.read_count;
    crc = crc32c_combine(crc, block.crc, block.length);
    offset += block.length;
  }
  Bytes out = encode_end_of_blocks();
  crc = crc32c_extend(crc, out);
  append_bytes(out, encode_footer_and_trailer(std::move(index), crc, offset + out.size()));
  return out;
}

}  // namespace zelk::container
