// Assembling plain-layout archives from encoded pieces. Every field can be
// overridden, so tests can build damaged archives on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-container/footer.h"

namespace zelk::container {

struct FooterOverrides {
  std::optional<uint64_t> total_reads;
  std::optional<uint32_t> whole_file_crc;
  std::optional<uint32_t> body_crc;
  std::optional<uint64_t> footer_offset;  // the trailer's pointer
};

// header ‖ (global reference slice) ‖ one frame per payload ‖ end marker ‖
// footer ‖ trailer. The footer's stream locations and CRCs come from the
// payloads; a payload that does not split into its three streams gets no
// footer entry (a deliberately damaged block).
Bytes assemble_plain_archive(ByteSpan header, const std::vector<Bytes>& payloads,
                             const FooterOverrides& overrides = {},
                             std::optional<ByteSpan> global_reference_slice = std::nullopt);

// Footer body and trailer for `index` placed at `footer_offset`, after
// bytes whose CRC-32C is `crc_before`; the whole-file CRC is computed unless
// overridden.
Bytes encode_footer_and_trailer(Index index, uint32_t crc_before, uint64_t footer_offset,
                                const FooterOverrides& overrides = {});

// The footer's group record for a payload framed at `block_offset`; false
// when the payload does not split into its three streams.
bool group_entry_for_payload(ByteSpan payload, uint64_t block_offset, GroupEntry& entry);

// What the footer needs of one block frame written elsewhere: its length,
// its CRC-32C and its group record with offsets from the frame's start.
struct FrameSummary {
  uint64_t length = 0;
  uint32_t crc = 0;
  GroupEntry entry;
};

// The frame around `payload` and its summary; false as for
// group_entry_for_payload.
bool frame_with_summary(ByteSpan payload, Bytes& frame, FrameSummary& summary);

// End marker, footer and trailer of the archive `header` ‖ the frames
// `blocks` summarise, in order. The whole-file CRC is combined from the
// header's and the frames' CRCs, so the frames are never read again.
Bytes archive_ending(ByteSpan header, std::span<const FrameSummary> blocks);

}  // namespace zelk::container
