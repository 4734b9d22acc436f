// The read-length list that sequence and quality streams carry: varint count,
// a mode byte (0: one varint per read; anything else: one varint shared by
// every read), then the lengths.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::dna {

// Reads of this mean length or more are long reads: the writer tries the
// long-read sequence codecs on them and codes their qualities against the
// bases.
inline constexpr uint64_t kLongReadLength = 1000;

// A shared length may repeat at most this often: 2^28 reads of up to 2^32
// bases keep every total within 64 bits.
inline constexpr uint64_t kMaxUniformReads = uint64_t{1} << 28;

struct ReadLengths {
  std::vector<uint32_t> lengths;
  uint64_t total = 0;
};

// Reads a list; errors are in `family`, with `truncated` as the text for a
// missing mode byte.
Result<ReadLengths> read_read_lengths(ByteCursor& cursor, ErrorKind family, std::string_view truncated);

// Writes the shared form when every length is equal and the list is short
// enough for it, else one varint per read.
void append_read_lengths(Bytes& out, std::span<const uint32_t> lengths);

}  // namespace zelk::dna
