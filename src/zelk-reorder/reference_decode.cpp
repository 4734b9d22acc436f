#include <algorithm>
#include <optional>

#include "zelk-base/limits.h"
#include "zelk-base/pool.h"
#include "zelk-rans/rans.h"
#include "zelk-reorder/reference.h"
#include "zelk-sequence/capacity.h"
#include "zelk-sequence/lz.h"
#include "zelk-sequence/sequence.h"

namespace zelk::reorder {

namespace {

ArchiveError reorder_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::ReorderCodec, detail);
}

auto error_of(std::string_view detail) {
  return [detail] { return reorder_error(detail); };
}

Result<uint64_t> take_varint(ByteCursor& cursor) { return read_varint(cursor, error_of("varint too long")); }

// A varint length, then that many bytes.
Result<ByteSpan> take_prefixed(ByteCursor& cursor) {
  uint64_t length = ZELK_TRY(take_varint(cursor));
  if (auto bytes = cursor.take(length)) return *bytes;
  return fail(reorder_error("truncated"));
}

Result<dna::ReferenceSet> reference_of(std::span<const uint32_t> lengths, Bytes bases) {
  dna::ReferenceSet reference;
  reference.offsets.reserve(lengths.size() + 1);
  uint64_t end = 0;
  for (uint32_t length : lengths) reference.offsets.push_back(end += length);
  if (end != bases.size()) return fail(reorder_error("reference length disagreement"));
  reference.bases = std::move(bases);
  return reference;
}

Result<dna::ReferenceSet> decode_single(ByteCursor& cursor) {
  uint64_t contigs = ZELK_TRY(take_varint(cursor));
  ByteSpan stream = ZELK_TRY(take_prefixed(cursor));
  dna::SequenceBlock block = ZELK_TRY(seq::decode_sequence_stream(stream));
  if (block.read_lengths.size() != contigs) return fail(reorder_error("reference contig count mismatch"));
  return reference_of(block.read_lengths, std::move(block.bases));
}

struct ReferenceBlock {
  uint64_t contigs = 0;
  ByteSpan stream;
  std::optional<Result<dna::SequenceBlock>> decoded;
};

Result<dna::ReferenceSet> decode_blocked(ByteCursor& cursor, WorkerPool& pool) {
  const uint64_t stream_size = cursor.remaining();
  uint64_t count = ZELK_TRY(take_varint(cursor));
  if (count > stream_size / 2) return fail(reorder_error("reference block count exceeds stream size"));
  auto blocks = ZELK_TRY(allocate<std::vector<ReferenceBlock>>(
      count, error_of("reference block count too large to allocate")));
  for (ReferenceBlock& block : blocks) {
    block.contigs = ZELK_TRY(take_varint(cursor));
    block.stream = ZELK_TRY(take_prefixed(cursor));
  }
  pool.parallel_for(blocks.size(), [&](size_t j) { blocks[j].decoded = seq::decode_sequence_stream(blocks[j].stream); });

  std::vector<uint32_t> lengths;
  Bytes bases;
  for (ReferenceBlock& block : blocks) {
    dna::SequenceBlock decoded = ZELK_TRY(std::move(*block.decoded));
    if (decoded.read_lengths.size() != block.contigs)
      return fail(reorder_error("blocked reference contig count mismatch"));
    lengths.insert(lengths.end(), decoded.read_lengths.begin(), decoded.read_lengths.end());
    append_bytes(bases, decoded.bases);
  }
  return reference_of(lengths, std::move(bases));
}

// Refpack bounds every declared size by the payload: 2^18 bases per byte.
uint64_t refpack_capacity(uint64_t payload_bytes) {
  uint64_t capacity;
  if (__builtin_mul_overflow(payload_bytes + 1, seq::kBasesPerCodedByte, &capacity)) return UINT64_MAX;
  return capacity;
}

struct RefpackException {
  uint64_t position;
  uint8_t base;
};

Result<std::vector<uint32_t>> read_refpack_lengths(ByteCursor& cursor, uint64_t contigs, uint64_t capacity) {
  uint64_t raw_length = ZELK_TRY(read_varint(cursor, error_of("refpack: bad lens raw len")));
  if (raw_length > capacity) return fail(reorder_error("refpack: lens length exceeds capacity"));
  ZELK_TRY(check_decode_limit(ErrorKind::ReorderCodec, "declared reference lengths stream", raw_length));
  uint64_t coded_length = ZELK_TRY(read_varint(cursor, error_of("refpack: bad lens coded len")));
  uint64_t end;
  if (__builtin_add_overflow(cursor.position(), coded_length, &end))
    return fail(reorder_error("refpack: lens stream length overflows"));
  auto coded = cursor.take(coded_length);
  if (!coded) return fail(reorder_error("refpack: truncated lens stream"));
  Bytes raw = ZELK_TRY(seq::reflzma_decode(*coded, raw_length));

  ByteCursor lengths_cursor(raw);
  std::vector<uint32_t> lengths;
  lengths.reserve(std::min(contigs, seq::kReserveLimit));
  for (uint64_t i = 0; i < contigs; ++i)
    lengths.push_back(static_cast<uint32_t>(ZELK_TRY(read_varint(lengths_cursor, error_of("refpack: bad contig len")))));
  return lengths;
}

Result<std::vector<RefpackException>> read_refpack_exceptions(ByteCursor& cursor, uint64_t total) {
  uint64_t count = ZELK_TRY(read_varint(cursor, error_of("refpack: bad exc count")));
  if (count > total) return fail(reorder_error("refpack: too many exceptions"));
  std::vector<RefpackException> exceptions;
  exceptions.reserve(std::min(count, seq::kReserveLimit));
  uint64_t position = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t delta = ZELK_TRY(read_varint(cursor, error_of("refpack: bad exc pos")));
    if (__builtin_add_overflow(position, delta, &position) || position >= total)
      return fail(reorder_error("refpack: exception position out of range"));
    auto base = cursor.take_u8();
    if (!base) return fail(reorder_error("refpack: truncated exc byte"));
    exceptions.push_back({position, *base});
  }
  return exceptions;
}

Result<dna::ReferenceSet> decode_refpack(ByteCursor& cursor) {
  const uint64_t capacity = refpack_capacity(cursor.remaining());
  uint64_t contigs = ZELK_TRY(read_varint(cursor, error_of("refpack: bad contig count")));
  if (contigs > capacity) return fail(reorder_error("refpack: implausible contig count"));
  std::vector<uint32_t> lengths = ZELK_TRY(read_refpack_lengths(cursor, contigs, capacity));
  uint64_t total = ZELK_TRY(read_varint(cursor, error_of("refpack: bad total")));
  if (total > capacity) return fail(reorder_error("refpack: declared length exceeds capacity"));
  ZELK_TRY(check_decode_limit(ErrorKind::ReorderCodec, "declared reference length", total));
  std::vector<RefpackException> exceptions = ZELK_TRY(read_refpack_exceptions(cursor, total));

  // The decoder yields exactly the bytes asked for, so the packed stream is
  // never short.
  Bytes packed = ZELK_TRY(seq::reflzma_decode(cursor.rest(), (total + 3) / 4));
  Bytes bases = ZELK_TRY(allocate<Bytes>(total, error_of("refpack: output too large to allocate")));
  static constexpr uint8_t kLetters[4] = {'A', 'C', 'G', 'T'};
  for (uint64_t i = 0; i < total; ++i) bases[i] = kLetters[(packed[i / 4] >> (2 * (i % 4))) & 3];
  for (const RefpackException& exception : exceptions) bases[exception.position] = exception.base;

  uint64_t sum = 0;
  for (uint32_t length : lengths) sum += length;
  if (sum != total) return fail(reorder_error("refpack: length/seq disagreement"));
  return reference_of(lengths, std::move(bases));
}

ArchiveError bad_plain_frame() { return ArchiveError::codec(ErrorKind::OverlapCodec, "malformed lroverlap block"); }

// Every failure of the plain frame reads the same.
template <class T>
Result<T> or_bad_frame(Result<T> result) {
  if (!result) return fail(bad_plain_frame());
  return result;
}

}  // namespace

Result<dna::ReferenceSet> decode_reorder_reference(ByteSpan payload, WorkerPool& pool) {
  if (payload.empty()) return fail(ArchiveError::malformed("reorder reference: bad method tag"));
  ByteCursor cursor(payload.subspan(1));
  switch (static_cast<ReferenceMethod>(payload[0])) {
    case ReferenceMethod::Single: return decode_single(cursor);
    case ReferenceMethod::Blocked: return decode_blocked(cursor, pool);
    case ReferenceMethod::Refpack: return decode_refpack(cursor);
  }
  return fail(ArchiveError::malformed("reorder reference: bad method tag"));
}

Result<dna::ReferenceSet> decode_plain_reference(ByteSpan payload) {
  ByteCursor cursor(payload);
  auto header = cursor.take(sizeof kPlainReferenceHeader);
  if (!header || !std::equal(header->begin(), header->end(), kPlainReferenceHeader)) return fail(bad_plain_frame());
  auto contigs = cursor.take_varint();
  if (!contigs) return fail(bad_plain_frame());
  // Neither stream may claim more bytes than the frame could code, nor
  // more than the decode limit.
  const uint64_t bound = std::min(seq::coded_capacity(payload.size()), decode_limit());
  Bytes lengths_stream = ZELK_TRY(or_bad_frame(rans::decode_framed(cursor, bound)));
  Bytes bases = ZELK_TRY(or_bad_frame(rans::decode_framed(cursor, bound)));

  ByteCursor lengths_cursor(lengths_stream);
  std::vector<uint32_t> lengths;
  lengths.reserve(std::min(*contigs, seq::kReserveLimit));
  uint64_t end = 0;
  for (uint64_t i = 0; i < *contigs; ++i) {
    auto length = lengths_cursor.take_varint();
    if (!length || *length > UINT32_MAX || *length > bases.size() - end) return fail(bad_plain_frame());
    lengths.push_back(static_cast<uint32_t>(*length));
    end += *length;
  }
  return or_bad_frame(reference_of(lengths, std::move(bases)));
}

}  // namespace zelk::reorder
