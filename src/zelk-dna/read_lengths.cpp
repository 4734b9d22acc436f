#include "zelk-dna/read_lengths.h"

#include <algorithm>
#include <functional>

#include "zelk-base/limits.h"

namespace zelk::dna {

namespace {

constexpr uint8_t kPerReadLengths = 0;
constexpr uint8_t kSharedLength = 1;

}  // namespace

Result<ReadLengths> read_read_lengths(ByteCursor& cursor, ErrorKind family, std::string_view truncated) {
  auto error = [family](std::string_view detail) { return ArchiveError::malformed_stream(family, detail); };
  auto varint = [&] { return read_varint(cursor, [&] { return error("varint too long"); }); };
  uint64_t count = ZELK_TRY(varint());
  auto mode = cursor.take_u8();
  if (!mode) return fail(error(truncated));
  ReadLengths out;
  if (*mode != kPerReadLengths) {
    auto too_many = [&] { return error("length count too large to allocate"); };
    if (count > kMaxUniformReads) return fail(too_many());
    if (count == 0) return out;
    // A few bytes can declare 2^28 reads: the list itself is held to the
    // decode ceiling.
    ZELK_TRY(check_decode_limit(family, "declared read-length list", count * sizeof(uint32_t)));
    auto length = static_cast<uint32_t>(ZELK_TRY(varint()));
    out.lengths = ZELK_TRY(allocate<std::vector<uint32_t>>(count, too_many));
    std::fill(out.lengths.begin(), out.lengths.end(), length);
    out.total = count * length;
    return out;
  }
  // Each length takes at least one byte, so the input bounds the count.
  out.lengths.reserve(std::min<uint64_t>(count, cursor.remaining()));
  for (uint64_t i = 0; i < count; ++i) {
    auto length = static_cast<uint32_t>(ZELK_TRY(varint()));
    out.lengths.push_back(length);
    if (__builtin_add_overflow(out.total, length, &out.total)) return fail(error("total length overflows usize"));
  }
  return out;
}

void append_read_lengths(Bytes& out, std::span<const uint32_t> lengths) {
  append_varint(out, lengths.size());
  bool shared = !lengths.empty() && lengths.size() <= kMaxUniformReads &&
                std::adjacent_find(lengths.begin(), lengths.end(), std::not_equal_to<>()) == lengths.end();
  if (shared) {
    out.push_back(kSharedLength);
    append_varint(out, lengths[0]);
    return;
  }
  out.push_back(kPerReadLengths);
  for (uint32_t length : lengths) append_varint(out, length);
}

}  // namespace zelk::dna
