// The archive header: fixed 21 bytes, extension records, CRC-32C.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk {
class BufferedReader;
}

namespace zelk::container {

inline constexpr uint8_t kHeaderMagic[4] = {'Z', 'E', 'L', 'K'};
inline constexpr size_t kFixedHeaderSize = 21;
// The smallest header (no extension records) and so the lowest legal block
// offset.
inline constexpr uint64_t kMinHeaderSize = 25;

enum HeaderFlag : uint8_t {
  kFlagPlusNormalized = 0x01,
  kFlagReordered = 0x02,
  kFlagKeepOrder = 0x04,
  kFlagGlobalReorder = 0x08,
  kFlagRegeneratedNames = 0x10,
  kFlagGlobalReference = 0x20,
  kFlagsUnknown = 0xC0,
};

enum ExtensionTag : uint8_t {
  kExtensionMemberLabels = 1,
  kExtensionFirstCritical = 0x80,
};

struct ArchiveHeader {
  std::vector<std::string> member_labels;
  uint64_t required_features = 0;
  uint64_t length = kMinHeaderSize;  // 25 + extension region
  uint8_t major = 1;
  uint8_t minor = 0;
  uint8_t seq_order = 0;
  uint8_t quality_binning = 0;
  uint8_t flags = 0;
  uint8_t member_count = 1;  // a stored 0 reads as 1
  uint8_t platform = 0;      // as stored

  bool has_flag(HeaderFlag flag) const { return flags & flag; }
  // Reads come back in file order: always in the plain layout, and in the
  // reordered layout when the archive kept the permutation.
  bool keep_order() const { return !has_flag(kFlagReordered) || has_flag(kFlagKeepOrder); }
  uint32_t format_version() const { return major * 256u + minor; }
};

// Reads and validates the header at the reader's position, leaving it right
// after the header CRC.
Result<ArchiveHeader> read_header(BufferedReader& reader);

// Display names of the platform codes; any value above 4 reads as unknown.
const char* platform_display_name(uint8_t code);

// Header fields as the writer lays them out; any value is allowed, so bad
// headers can be built on purpose.
struct HeaderFields {
  uint8_t magic[4] = {'Z', 'E', 'L', 'K'};
  uint8_t major = 1;
  uint8_t minor = 0;
  uint64_t required_features = 0;
  uint8_t seq_order = 0;
  uint8_t quality_binning = 0;
  uint8_t flags = 0;
  uint8_t member_count = 1;
  uint8_t platform = 0;
  Bytes extensions;                 // the raw extension region
  std::optional<uint32_t> crc;      // the computed CRC when empty
};

Bytes encode_header(const HeaderFields& fields);
// One extension record: tag, u16 length, payload.
void append_extension_record(Bytes& region, uint8_t tag, ByteSpan payload);
// The payload of a member-labels record.
Bytes member_labels_payload(const std::vector<std::string>& labels);

}  // namespace zelk::container
