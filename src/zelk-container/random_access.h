// Random access to plain archives through the footer index: one whole row
// group, or one stream of chosen row groups, reading only what it needs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zelk-container/decode.h"
#include "zelk-container/footer.h"
#include "zelk-base/error.h"

namespace zelk {
class Source;
}

namespace zelk::container {

// Every read of row group `group`, all three streams decoded and checked.
Result<std::vector<Record>> read_block(Source& source, uint64_t group);

// One stream of the given row groups (all, in footer order, when empty),
// one element per read.
Result<std::vector<std::string>> read_stream(Source& source, const std::optional<std::vector<uint64_t>>& groups,
                                             StreamKind kind);

// Decoders of one fetched coded stream, split per read. `bases` is the
// sequence context of a quality stream coded against it (may be empty).
Result<std::vector<std::string>> decode_names_stream(ByteSpan coded);
Result<std::vector<std::string>> decode_sequences_stream(ByteSpan coded);
Result<std::vector<std::string>> decode_qualities_stream(ByteSpan coded, ByteSpan bases);

// Whether a coded quality stream is coded against the bases.
bool quality_needs_sequence(ByteSpan coded_quality);

// Slices `data` into reads of the given lengths; `kind` names the stream in
// the error when the data runs out.
Result<std::vector<std::string>> split_reads(std::span<const uint32_t> lengths, ByteSpan data, StreamKind kind);

}  // namespace zelk::container
