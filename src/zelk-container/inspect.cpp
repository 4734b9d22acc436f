#include "zelk-container/inspect.h"

#include <cstring>

#include "zelk-container/block_frame.h"
#include "zelk-container/footer.h"
#include "zelk-base/io.h"

namespace zelk::container {

namespace {

template <class T>
Result<T> read_le(BufferedReader& reader) {
  uint8_t raw[sizeof(T)];
  ZELK_TRY(reader.read_exact(raw));
  return load_le<T>(raw);
}

// Skips one framed slice and returns its payload length.
Result<uint64_t> skip_framed_slice(BufferedReader& reader) {
  uint32_t length = ZELK_TRY(read_le<uint32_t>(reader));
  ZELK_TRY(reader.skip(4 + uint64_t{length}));
  return length;
}

Result<void> walk_reordered_sections(BufferedReader& reader, ArchiveInfo& info) {
  info.reads = ZELK_TRY(read_le<uint64_t>(reader));
  ZELK_TRY(skip_framed_slice(reader));
  info.sequence_bytes += ZELK_TRY(skip_framed_slice(reader));
  info.names_bytes += ZELK_TRY(skip_framed_slice(reader));
  if (info.header.has_flag(kFlagGlobalReference))
    info.sequence_bytes += ZELK_TRY(skip_framed_slice(reader));
  uint32_t block_count = ZELK_TRY(read_le<uint32_t>(reader));
  info.blocks = block_count;
  for (uint32_t i = 0; i < block_count; ++i) info.sequence_bytes += ZELK_TRY(skip_framed_slice(reader));
  for (uint32_t i = 0; i < block_count; ++i) {
    info.names_bytes += ZELK_TRY(skip_framed_slice(reader));
    info.quality_bytes += ZELK_TRY(skip_framed_slice(reader));
  }
  return {};
}

// Counts one block frame at the reader's position; false at the end of the
// walk (no frame there).
Result<bool> walk_one_block(BufferedReader& reader, ArchiveInfo& info) {
  uint64_t start = reader.position();
  uint8_t frame[kBlockFrameHeaderSize];
  ZELK_TRY(reader.read_exact(frame));
  uint64_t payload_length = load_le<uint64_t>(frame + 4);
  if (std::memcmp(frame, kBlockMagic, 4) != 0 || payload_length < 1 ||
      payload_length > kMaxBlockPayload)
    return false;
  ++info.blocks;
  ZELK_TRY(reader.skip(24));
  uint32_t read_count = ZELK_TRY(read_le<uint32_t>(reader));
  info.reads += read_count;
  if (info.header.has_flag(kFlagReordered)) {
    ZELK_TRY(reader.skip((uint64_t{read_count} + 7) / 8));
    uint32_t field_length = ZELK_TRY(read_le<uint32_t>(reader));
    ZELK_TRY(reader.skip(field_length));
  }
  for (uint64_t* total : {&info.names_bytes, &info.sequence_bytes, &info.quality_bytes}) {
    uint32_t length = ZELK_TRY(read_le<uint32_t>(reader));
    *total += length;
    ZELK_TRY(reader.skip(length));
  }
  ZELK_TRY(reader.seek(start + kBlockFrameHeaderSize + payload_length));
  return true;
}

// Any read failure simply ends the walk: it reports what it could count.
void walk_blocks(BufferedReader& reader, ArchiveInfo& info) {
  if (!reader.seek(info.header.length)) return;
  // The shared reference frame sits between the header and the first block.
  if (info.header.has_flag(kFlagGlobalReference) && !skip_framed_slice(reader)) return;
  for (;;) {
    auto more = walk_one_block(reader, info);
    if (!more || !*more) return;
  }
}

}  // namespace

Result<ArchiveInfo> inspect_archive(Source& source) {
  BufferedReader reader(source);
  ArchiveInfo info;
  info.header = ZELK_TRY(read_header(reader));
  if (info.header.has_flag(kFlagGlobalReorder)) {
    ZELK_TRY(walk_reordered_sections(reader, info));
    return info;
  }
  if (auto footer = read_footer(reader)) {
    const Index& index = footer->index;
    info.reads = index.total_reads;
    info.blocks = index.groups.size();
    for (const auto& group : index.groups) {
      info.names_bytes += group.stream(StreamKind::Names).length;
      info.sequence_bytes += group.stream(StreamKind::Sequence).length;
      info.quality_bytes += group.stream(StreamKind::Quality).length;
    }
    info.whole_file_crc = index.whole_file_crc;
    return info;
  }
  walk_blocks(reader, info);
  return info;
}

}  // namespace zelk::container
