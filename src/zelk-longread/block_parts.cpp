#include "zelk-longread/block_parts.h"

#include <algorithm>

#include "zelk-base/limits.h"
#include "zelk-dna/dna.h"
#include "zelk-longread/edit_script.h"
#include "zelk-rans/rans.h"

namespace zelk::longread {

uint64_t payload_capacity(uint64_t payload_size) {
  uint64_t capacity;
  if (__builtin_mul_overflow(payload_size, kBasesPerByte, &capacity) ||
      __builtin_add_overflow(capacity, kBasesPerByte, &capacity))
    return UINT64_MAX;
  return capacity;
}

Result<void> expect_magic(ByteCursor& cursor, std::string_view magic, uint8_t fourth) {
  auto head = cursor.take(magic.size() + 1);
  if (!head || !std::equal(magic.begin(), magic.end(), head->begin()) || head->back() != fourth)
    return fail(malformed_block());
  return {};
}

Result<uint64_t> read_block_varint(ByteCursor& cursor) { return read_varint(cursor, malformed_block_error()); }

Result<uint8_t> read_block_byte(ByteCursor& cursor) {
  if (auto byte = cursor.take_u8()) return *byte;
  return fail(malformed_block());
}

Result<Bytes> read_framed(ByteCursor& cursor, uint64_t capacity) {
  auto decoded = rans::decode_framed(cursor, capacity);
  if (!decoded) return fail(malformed_block());
  return std::move(*decoded);
}

Result<BlockShape> read_shape(ByteCursor& cursor, uint64_t capacity) {
  uint64_t count = ZELK_TRY(read_block_varint(cursor));
  uint64_t total = ZELK_TRY(read_block_varint(cursor));
  if (total > capacity) return fail(malformed_block());
  ZELK_TRY(check_decode_limit(ErrorKind::SequenceCodec, "declared sequence length", total));
  Bytes coded = ZELK_TRY(read_framed(cursor, capacity));
  ByteCursor lengths(coded);
  // Every length takes at least a byte, so the stream bounds the count.
  if (count > coded.size()) return fail(malformed_block());
  BlockShape shape;
  shape.lengths.reserve(count);
  shape.offsets.reserve(count + 1);
  shape.offsets.push_back(0);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t length = ZELK_TRY(read_block_varint(lengths));
    if (length > UINT32_MAX || length > total - shape.offsets.back()) return fail(malformed_block());
    shape.lengths.push_back(static_cast<uint32_t>(length));
    shape.offsets.push_back(shape.offsets.back() + length);
  }
  if (shape.total() != total) return fail(malformed_block());
  return shape;
}

Result<void> take_raw_bases(ByteCursor& codes, std::span<uint8_t> out) {
  auto taken = codes.take(out.size());
  if (!taken) return fail(malformed_block());
  std::transform(taken->begin(), taken->end(), out.begin(), [](uint8_t code) { return dna::code_base(code); });
  return {};
}

Result<void> apply_exceptions(ByteCursor& cursor, uint64_t capacity, std::span<uint8_t> bases) {
  Bytes deltas = ZELK_TRY(read_framed(cursor, capacity));
  Bytes values = ZELK_TRY(read_framed(cursor, capacity));
  ByteCursor delta_cursor(deltas);
  uint64_t position = 0;
  for (uint8_t value : values) {
    uint64_t delta = ZELK_TRY(read_block_varint(delta_cursor));
    if (__builtin_add_overflow(position, delta, &position) || position >= bases.size())
      return fail(malformed_block());
    bases[position] = value;
  }
  return {};
}

void append_magic(Bytes& out, std::string_view magic, uint8_t fourth) {
  append_bytes(out, as_bytes(magic));
  out.push_back(fourth);
}

void append_shape(Bytes& out, const dna::SequenceBlock& block) {
  append_varint(out, block.read_lengths.size());
  append_varint(out, block.bases.size());
  Bytes lengths;
  for (uint32_t length : block.read_lengths) append_varint(lengths, length);
  rans::append_framed(out, lengths);
}

uint8_t raw_code(uint8_t base) {
  unsigned code = dna::base_code(base);
  return static_cast<uint8_t>(code < 4 ? code : 0);
}

void append_exceptions(Bytes& out, ByteSpan decoded, ByteSpan original) {
  Bytes deltas, values;
  uint64_t previous = 0;
  for (size_t i = 0; i < original.size(); ++i) {
    if (decoded[i] == original[i]) continue;
    append_varint(deltas, i - previous);
    values.push_back(original[i]);
    previous = i;
  }
  rans::append_framed(out, deltas);
  rans::append_framed(out, values);
}

void pad_to_capacity(Bytes& payload, uint64_t total) {
  if (payload_capacity(payload.size()) >= total) return;
  payload.resize((total - kBasesPerByte + kBasesPerByte - 1) / kBasesPerByte);
}

std::vector<uint64_t> read_offsets(std::span<const uint32_t> lengths) {
  std::vector<uint64_t> offsets{0};
  offsets.reserve(lengths.size() + 1);
  for (uint32_t length : lengths) offsets.push_back(offsets.back() + length);
  return offsets;
}

}  // namespace zelk::longread
