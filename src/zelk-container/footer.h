// The footer row-group index of the plain layout and the 12-byte trailer
// that points at it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk {
class BufferedReader;
}

namespace zelk::container {

enum class StreamKind : uint8_t { Names = 0, Sequence = 1, Quality = 2 };
inline constexpr size_t kStreamCount = 3;
// "Names", "Sequence", "Quality".
const char* stream_display_name(StreamKind kind);

inline constexpr uint8_t kTrailerMagic[4] = {'Z', 'E', 'L', 'F'};
inline constexpr uint64_t kTrailerSize = 12;
inline constexpr uint64_t kGroupRecordSize = 60;
inline constexpr uint64_t kFooterFixedSize = 20;

struct StreamLoc {
  uint64_t offset = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
};

struct GroupEntry {
  uint64_t block_offset = 0;
  uint32_t read_count = 0;
  std::array<StreamLoc, kStreamCount> streams;

  const StreamLoc& stream(StreamKind kind) const { return streams[static_cast<size_t>(kind)]; }
};

struct Index {
  std::vector<GroupEntry> groups;
  uint64_t total_reads = 0;
  uint32_t whole_file_crc = 0;
};

struct FooterParse {
  Index index;
  uint64_t covered_length = 0;  // bytes the whole-file CRC covers
};

Result<FooterParse> parse_footer_body(ByteSpan body, uint64_t footer_offset);
// Locates and parses the footer of a seekable reader whose header has been
// read.
Result<FooterParse> read_footer(BufferedReader& reader);
// Parses the header, refuses the reordered layout, then reads the footer.
Result<Index> read_index(BufferedReader& reader);

// From the last bytes of an archive: the index, or how many trailing bytes
// to fetch instead.
struct SuffixParse {
  std::optional<Index> index;
  uint64_t need_at_least = 0;
};
Result<SuffixParse> parse_index_suffix(ByteSpan suffix, uint64_t file_len);

// Checks `coded`, the bytes of one stream of row group `group`, against the
// CRC-32C the index holds for it: "row-group index out of range" (Malformed)
// for a group the index lacks, a Corrupt error naming the stream on a
// mismatch.
Result<void> verify_stream(const Index& index, uint64_t group, StreamKind kind, ByteSpan coded);

// Footer body and trailer for `index` placed at `footer_offset`; the
// whole-file CRC and body CRC are taken as given.
Bytes encode_footer_body(const Index& index, std::optional<uint32_t> body_crc);
Bytes encode_trailer(uint64_t footer_offset);

}  // namespace zelk::container
