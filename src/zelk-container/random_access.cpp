#include "zelk-container/random_access.h"

#include <cinttypes>

#include "zelk-container/block.h"
#include "zelk-container/block_frame.h"
#include "zelk-base/crc32c.h"
#include "zelk-base/io.h"
#include "zelk-base/pool.h"
#include "zelk-base/text.h"
#include "zelk-sequence/sequence.h"
#include "zelk-quality/quality.h"
#include "zelk-names/names.h"

namespace zelk::container {

namespace {

ArchiveError group_out_of_range() { return ArchiveError::malformed("row-group index out of range"); }

// Reads one coded stream of a row group and checks it against the footer.
Result<Bytes> read_checked_stream(BufferedReader& reader, const GroupEntry& entry, uint64_t group,
                                  StreamKind kind) {
  const StreamLoc& loc = entry.stream(kind);
  Bytes coded(loc.length);
  ZELK_TRY(reader.seek(loc.offset));
  ZELK_TRY(reader.read_exact(coded));
  if (crc32c(coded) != loc.crc)
    return fail(ArchiveError::corrupt(
        strprintf("row group %" PRIu64 " %s stream", group, stream_display_name(kind))));
  return coded;
}

Result<std::vector<std::string>> read_group_stream(BufferedReader& reader, const GroupEntry& entry,
                                                   uint64_t group, StreamKind kind) {
  Bytes coded = ZELK_TRY(read_checked_stream(reader, entry, group, kind));
  switch (kind) {
    case StreamKind::Names: return decode_names_stream(coded);
    case StreamKind::Sequence: return decode_sequences_stream(coded);
    case StreamKind::Quality: break;
  }
  if (!quality_needs_sequence(coded)) return decode_qualities_stream(coded, {});
  Bytes coded_bases = ZELK_TRY(read_checked_stream(reader, entry, group, StreamKind::Sequence));
  seq::SequenceBlock sequence = ZELK_TRY(seq::decode_sequence_stream(coded_bases, nullptr));
  return decode_qualities_stream(coded, sequence.bases);
}

}  // namespace

Result<std::vector<std::string>> split_reads(std::span<const uint32_t> lengths, ByteSpan data, StreamKind kind) {
  std::vector<std::string> reads;
  reads.reserve(lengths.size());
  uint64_t offset = 0;
  for (uint32_t length : lengths) {
    if (data.size() - offset < length)
      return fail(ArchiveError::malformed(kind == StreamKind::Quality
                                              ? "quality shorter than declared read lengths"
                                              : "sequence shorter than declared read lengths"));
    reads.emplace_back(reinterpret_cast<const char*>(data.data()) + offset, length);
    offset += length;
  }
  return reads;
}

Result<std::vector<std::string>> decode_names_stream(ByteSpan coded) {
  names::NameList names = ZELK_TRY(names::decode_names(coded));
  std::vector<std::string> reads;
  reads.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) reads.emplace_back(names[i]);
  return reads;
}

Result<std::vector<std::string>> decode_sequences_stream(ByteSpan coded) {
  seq::SequenceBlock block = ZELK_TRY(seq::decode_sequence_stream(coded, nullptr));
  return split_reads(block.read_lengths, block.bases, StreamKind::Sequence);
}

Result<std::vector<std::string>> decode_qualities_stream(ByteSpan coded, ByteSpan bases) {
  quality::DecodedQualities decoded =
      ZELK_TRY(quality::decode_quality_stream(coded, bases, &WorkerPool::shared()));
  return split_reads(decoded.read_lengths, decoded.qualities, StreamKind::Quality);
}

bool quality_needs_sequence(ByteSpan coded_quality) { return quality::quality_needs_sequence(coded_quality); }

Result<std::vector<Record>> read_block(Source& source, uint64_t group) {
  BufferedReader reader(source);
  Index index = ZELK_TRY(read_index(reader));
  if (group >= index.groups.size()) return fail(group_out_of_range());
  ZELK_TRY(reader.seek(index.groups[group].block_offset));
  uint8_t frame[kBlockFrameHeaderSize];
  ZELK_TRY(reader.read_exact(frame));
  uint64_t length = load_le<uint64_t>(frame + 4);
  if (length > kMaxBlockPayload) return fail(ArchiveError::malformed("block payload length exceeds the maximum"));
  // A declared length past the end of the file is a short read, found
  // before anything that large is allocated.
  uint64_t file_len = ZELK_TRY(reader.size());
  if (length > file_len - reader.position()) return fail(unexpected_eof());
  Bytes payload(length);
  ZELK_TRY(reader.read_exact(payload));
  DecodedBlock block = ZELK_TRY(decode_block_payload(payload, StreamSelection{}, nullptr, WorkerPool::shared()));
  return block_records(block);
}

Result<std::vector<std::string>> read_stream(Source& source, const std::optional<std::vector<uint64_t>>& groups,
                                             StreamKind kind) {
  BufferedReader reader(source);
  Index index = ZELK_TRY(read_index(reader));
  std::vector<uint64_t> chosen;
  if (groups) {
    chosen = *groups;
    for (uint64_t group : chosen)
      if (group >= index.groups.size()) return fail(group_out_of_range());
  } else {
    for (uint64_t group = 0; group < index.groups.size(); ++group) chosen.push_back(group);
  }
  std::vector<std::string> reads;
  for (uint64_t group : chosen) {
    auto group_reads = ZELK_TRY(read_group_stream(reader, index.groups[group], group, kind));
    std::move(group_reads.begin(), group_reads.end(), std::back_inserter(reads));
  }
  return reads;
}

}  // namespace zelk::container
