#include "zelk-container/footer.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "zelk-container/header.h"
#include "zelk-base/crc32c.h"
#include "zelk-base/io.h"
#include "zelk-base/text.h"

namespace zelk::container {

namespace {

bool has_trailer_magic(const uint8_t* trailer) {
  return std::memcmp(trailer + 8, kTrailerMagic, 4) == 0;
}

// The footer offset must leave room for the smallest body before the
// trailer and cannot point into the header.
bool footer_offset_in_range(uint64_t footer_offset, uint64_t file_len) {
  return footer_offset >= kMinHeaderSize && file_len >= kTrailerSize + kFooterFixedSize &&
         footer_offset <= file_len - kTrailerSize - kFooterFixedSize;
}

Result<void> check_stream(const StreamLoc& loc, uint64_t block_offset, uint64_t footer_offset) {
  uint64_t end;
  if (__builtin_add_overflow(loc.offset, uint64_t{loc.length}, &end))
    return fail(ArchiveError::malformed("footer stream offset overflow"));
  if (loc.offset < block_offset || end > footer_offset)
    return fail(ArchiveError::malformed("footer stream location out of range"));
  return {};
}

}  // namespace

const char* stream_display_name(StreamKind kind) {
  static constexpr const char* kNames[] = {"Names", "Sequence", "Quality"};
  return kNames[static_cast<size_t>(kind)];
}

Result<FooterParse> parse_footer_body(ByteSpan body, uint64_t footer_offset) {
  if (body.size() < kFooterFixedSize) return fail(ArchiveError::malformed("footer body too short"));
  size_t crc_at = body.size() - 4;
  if (crc32c(body.first(crc_at)) != load_le<uint32_t>(body.data() + crc_at))
    return fail(ArchiveError::corrupt("footer"));
  uint64_t count = load_le<uint32_t>(body.data());
  if (body.size() != kGroupRecordSize * count + kFooterFixedSize)
    return fail(ArchiveError::malformed("footer size does not match its row-group count"));

  FooterParse out;
  out.index.groups.resize(count);
  const uint8_t* record = body.data() + 4;
  for (auto& group : out.index.groups) {
    group.block_offset = load_le<uint64_t>(record);
    group.read_count = load_le<uint32_t>(record + 8);
    if (group.block_offset < kMinHeaderSize || group.block_offset >= footer_offset)
      return fail(ArchiveError::malformed("footer row-group offset out of range"));
    for (size_t s = 0; s < kStreamCount; ++s) {
      const uint8_t* loc = record + 12 + 16 * s;
      group.streams[s] = {load_le<uint64_t>(loc), load_le<uint32_t>(loc + 8),
                          load_le<uint32_t>(loc + 12)};
      ZELK_TRY(check_stream(group.streams[s], group.block_offset, footer_offset));
    }
    record += kGroupRecordSize;
  }
  out.index.total_reads = load_le<uint64_t>(record);
  out.index.whole_file_crc = load_le<uint32_t>(record + 8);
  out.covered_length = footer_offset + kGroupRecordSize * count + 12;
  return out;
}

Result<FooterParse> read_footer(BufferedReader& reader) {
  uint64_t file_len = ZELK_TRY(reader.size());
  if (file_len < kMinHeaderSize + kTrailerSize) return fail(ArchiveError::truncated());
  ZELK_TRY(reader.seek(file_len - kTrailerSize));
  uint8_t trailer[kTrailerSize];
  ZELK_TRY(reader.read_exact(trailer));
  if (!has_trailer_magic(trailer)) return fail(ArchiveError::malformed("missing footer trailer magic"));
  uint64_t footer_offset = load_le<uint64_t>(trailer);
  if (!footer_offset_in_range(footer_offset, file_len))
    return fail(ArchiveError::malformed("footer offset out of range"));
  auto body = ZELK_TRY(allocate<Bytes>(file_len - footer_offset - kTrailerSize, [] {
    return ArchiveError::malformed("footer too large to allocate");
  }));
  ZELK_TRY(reader.seek(footer_offset));
  ZELK_TRY(reader.read_exact(body));
  return parse_footer_body(body, footer_offset);
}

Result<Index> read_index(BufferedReader& reader) {
  ArchiveHeader header = ZELK_TRY(read_header(reader));
  if (header.has_flag(kFlagGlobalReorder))
    return fail(ArchiveError::malformed(
        "reorder layout has no row-group index; random access is unsupported"));
  FooterParse footer = ZELK_TRY(read_footer(reader));
  return std::move(footer.index);
}

Result<SuffixParse> parse_index_suffix(ByteSpan suffix, uint64_t file_len) {
  uint64_t length = suffix.size();
  if (file_len < length) return fail(ArchiveError::malformed("suffix longer than the archive"));
  if (length < kTrailerSize) return SuffixParse{std::nullopt, kTrailerSize};
  const uint8_t* trailer = suffix.data() + length - kTrailerSize;
  if (!has_trailer_magic(trailer)) return fail(ArchiveError::malformed("missing footer trailer magic"));
  uint64_t footer_offset = load_le<uint64_t>(trailer);
  if (!footer_offset_in_range(footer_offset, file_len))
    return fail(ArchiveError::malformed("footer offset out of range"));
  if (footer_offset < file_len - length) return SuffixParse{std::nullopt, file_len - footer_offset};
  ByteSpan body = suffix.subspan(footer_offset + length - file_len,
                                 file_len - footer_offset - kTrailerSize);
  FooterParse footer = ZELK_TRY(parse_footer_body(body, footer_offset));
  return SuffixParse{std::move(footer.index), 0};
}

Result<void> verify_stream(const Index& index, uint64_t group, StreamKind kind, ByteSpan coded) {
  if (group >= index.groups.size()) return fail(ArchiveError::malformed("row-group index out of range"));
  if (crc32c(coded) != index.groups[group].stream(kind).crc)
    return fail(ArchiveError::corrupt(strprintf("row group %" PRIu64 " %s stream", group, stream_display_name(kind))));
  return {};
}

Bytes encode_footer_body(const Index& index, std::optional<uint32_t> body_crc) {
  Bytes body;
  append_le(body, static_cast<uint32_t>(index.groups.size()));
  for (const auto& group : index.groups) {
    append_le(body, group.block_offset);
    append_le(body, group.read_count);
    for (const auto& loc : group.streams) {
      append_le(body, loc.offset);
      append_le(body, loc.length);
      append_le(body, loc.crc);
    }
  }
  append_le(body, index.total_reads);
  append_le(body, index.whole_file_crc);
  append_le(body, body_crc.value_or(crc32c(body)));
  return body;
}

Bytes encode_trailer(uint64_t footer_offset) {
  Bytes trailer(kTrailerSize);
  store_le(trailer.data(), footer_offset);
  std::memcpy(trailer.data() + 8, kTrailerMagic, 4);
  return trailer;
}

}  // namespace zelk::container
