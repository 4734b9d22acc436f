// The pieces the overlap and tile payloads have in common: the magic, the
// read count, total and lengths at the front, raw base codes, and the
// exception list at the end that restores every byte base codes cannot say.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/sequence_block.h"

namespace zelk::longread {

// A payload byte stands for at most this many bases, which bounds every
// allocation before it is made.
inline constexpr uint64_t kBasesPerByte = uint64_t{1} << 14;
uint64_t payload_capacity(uint64_t payload_size);

// The read lengths and where each read starts in the block's bases.
struct BlockShape {
  std::vector<uint32_t> lengths;
  std::vector<uint64_t> offsets;  // lengths.size() + 1 prefix sums
  uint64_t total() const { return offsets.back(); }
};

// Checks the three magic bytes and the byte after them.
Result<void> expect_magic(ByteCursor& cursor, std::string_view magic, uint8_t fourth);
// The read count, the total and the framed read lengths. A total over the
// decode ceiling fails in the sequence family, as for every sequence stream.
Result<BlockShape> read_shape(ByteCursor& cursor, uint64_t capacity);
// A framed sub-stream, any failure reported as a malformed block.
Result<Bytes> read_framed(ByteCursor& cursor, uint64_t capacity);
Result<uint64_t> read_block_varint(ByteCursor& cursor);
Result<uint8_t> read_block_byte(ByteCursor& cursor);
// The exception deltas and bytes, applied to `bases`.
Result<void> apply_exceptions(ByteCursor& cursor, uint64_t capacity, std::span<uint8_t> bases);
// Turns `count` raw codes from `codes` into bases at `out`.
Result<void> take_raw_bases(ByteCursor& codes, std::span<uint8_t> out);

void append_magic(Bytes& out, std::string_view magic, uint8_t fourth);
void append_shape(Bytes& out, const dna::SequenceBlock& block);
// The two-bit code a raw base is stored with (bases other than A, C, G, T
// come back as A, and the exceptions restore them).
uint8_t raw_code(uint8_t base);
// The exceptions turning `decoded` back into `original` (same length).
void append_exceptions(Bytes& out, ByteSpan decoded, ByteSpan original);
// Highly redundant blocks can code into fewer bytes than the decoder's
// capacity rule accepts; trailing zeros are never read.
void pad_to_capacity(Bytes& payload, uint64_t total);

std::vector<uint64_t> read_offsets(std::span<const uint32_t> lengths);

}  // namespace zelk::longread
