#include "zelk-sequence/method0.h"

#include <algorithm>
#include <numeric>

#include "zelk-base/limits.h"
#include "zelk-dna/dna.h"
#include "zelk-dna/read_lengths.h"
#include "zelk-sequence/capacity.h"

namespace zelk::seq {

namespace {

using seq::ContextParams;

constexpr uint8_t kVersion = 1;
constexpr unsigned kMaxOrder = 11;
constexpr unsigned kHashedOrderLimit = 25;
constexpr unsigned kTableBitsLimit = 27;
// Bases decoded between two publications to a follower.
constexpr uint64_t kPublishedStretch = uint64_t{1} << 16;
// Code 4 comes back as "N"; every other byte the model cannot express is
// an exception.
constexpr char kLetters[] = "ACGTN";

ArchiveError malformed(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::SequenceCodec, detail);
}

auto error_of(std::string_view detail) {
  return [detail] { return malformed(detail); };
}

struct Exception {
  uint64_t position;
  uint8_t value;
};

Result<void> check_order(uint8_t order) {
  if (order < 1 || order > kMaxOrder) return fail(malformed("order out of range"));
  return {};
}

Result<void> check_hashed_tier(const ContextParams& params) {
  if (params.hashed_active() &&
      (params.hashed_order >= kHashedOrderLimit || params.table_bits >= kTableBitsLimit))
    return fail(malformed("hashed-tier params out of range"));
  return {};
}

// Context tables never outgrow the data they model.
Result<void> check_tables_fit(const ContextParams& params, uint64_t total) {
  if ((uint64_t{1} << (2 * params.order)) > std::max<uint64_t>(total, 4))
    return fail(malformed("order-k table exceeds declared length"));
  if (params.hashed_active() && total < (uint64_t{1} << params.table_bits))
    return fail(malformed("hashed-tier table exceeds declared length"));
  return {};
}

Result<uint8_t> take_byte(ByteCursor& cursor) {
  if (auto byte = cursor.take_u8()) return *byte;
  return fail(malformed("truncated stream"));
}

Result<uint64_t> take_varint(ByteCursor& cursor) { return read_varint(cursor, error_of("varint too long")); }

Result<std::vector<Exception>> read_exceptions(ByteCursor& cursor) {
  uint64_t count = ZELK_TRY(take_varint(cursor));
  std::vector<Exception> exceptions;
  exceptions.reserve(std::min(count, kReserveLimit));
  uint64_t position = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t delta = ZELK_TRY(take_varint(cursor));
    if (__builtin_add_overflow(position, delta, &position))
      return fail(malformed("exception position overflows"));
    exceptions.push_back({position, ZELK_TRY(take_byte(cursor))});
  }
  return exceptions;
}

Result<seq::ContextModel> new_model(const ContextParams& params, uint64_t bases) {
  return seq::ContextModel::create(params, bases, malformed("declared total length too large to allocate"),
                                     malformed("hashed-tier table too large to allocate"));
}

void write_exceptions(Bytes& out, ByteSpan bases) {
  std::vector<Exception> exceptions;
  for (size_t i = 0; i < bases.size(); ++i)
    if (kLetters[dna::base_code(bases[i])] != bases[i]) exceptions.push_back({i, bases[i]});
  append_varint(out, exceptions.size());
  uint64_t previous = 0;
  for (const Exception& exception : exceptions) {
    append_varint(out, exception.position - previous);
    out.push_back(exception.value);
    previous = exception.position;
  }
}

}  // namespace

Result<SequenceBlock> decode_method0(ByteSpan payload, BufferFill* bases_fill) {
  if (payload.empty()) return fail(malformed("truncated stream"));
  if (payload[0] != kVersion) return fail(malformed("unsupported version"));
  if (payload.size() < 2) return fail(malformed("truncated stream"));
  ZELK_TRY(check_order(payload[1]));
  if (payload.size() < 4) return fail(malformed("truncated stream"));
  ContextParams params{payload[1], payload[2], payload[3]};
  ZELK_TRY(check_hashed_tier(params));

  ByteCursor cursor(payload.subspan(4));
  SequenceBlock block;
  dna::ReadLengths lengths = ZELK_TRY(dna::read_read_lengths(cursor, ErrorKind::SequenceCodec, "truncated stream"));
  block.read_lengths = std::move(lengths.lengths);
  uint64_t total = lengths.total;
  std::vector<Exception> exceptions = ZELK_TRY(read_exceptions(cursor));

  if (total > coded_capacity(cursor.remaining()))
    return fail(malformed("declared length exceeds payload capacity"));
  ZELK_TRY(check_tables_fit(params, total));
  seq::ContextModel model = ZELK_TRY(new_model(params, total));

  ZELK_TRY(check_decode_limit(ErrorKind::SequenceCodec, "declared sequence length", total));
  block.bases = ZELK_TRY(allocate<Bytes>(total, error_of("declared total length too large to allocate")));
  // Exception positions never decrease: the last one is the largest.
  if (!exceptions.empty() && exceptions.back().position >= total) return fail(malformed("exception out of range"));
  // Nothing fails from here on, so a follower may read the bases as they
  // come: they outlive it.
  if (bases_fill) bases_fill->start(block.bases);
  // The context runs on across read boundaries, so the block's bases are
  // one coding sequence. Each stretch is final, exceptions and all, once
  // decoded.
  range::RangeDecoder decoder(cursor.rest());
  auto exception = exceptions.begin();
  for (uint64_t decoded = 0; decoded < total;) {
    uint64_t end = std::min(total, decoded + kPublishedStretch);
    for (; decoded < end; ++decoded) block.bases[decoded] = kLetters[model.decode_base(decoder)];
    for (; exception != exceptions.end() && exception->position < end; ++exception)
      block.bases[exception->position] = exception->value;
    if (bases_fill) bases_fill->publish(end);
  }
  return block;
}

Result<void> append_method0(Bytes& out, const SequenceBlock& block, const ContextParams& params) {
  ZELK_TRY(check_order(params.order));
  ZELK_TRY(check_hashed_tier(params));
  uint64_t total = std::accumulate(block.read_lengths.begin(), block.read_lengths.end(), uint64_t{0});
  if (total != block.bases.size())
    return fail(ArchiveError::length_mismatch(ErrorKind::SequenceCodec, "sequence", total, block.bases.size()));
  ZELK_TRY(check_tables_fit(params, total));
  seq::ContextModel model = ZELK_TRY(new_model(params, total));

  out.insert(out.end(), {kVersion, params.order, params.hashed_order, params.table_bits});
  dna::append_read_lengths(out, block.read_lengths);
  write_exceptions(out, block.bases);
  size_t coded_start = out.size();
  range::RangeEncoder encoder(out);
  for (uint8_t base : block.bases) model.encode_base(encoder, dna::base_code(base));
  encoder.finish();
  // Highly repetitive input may code into fewer bytes than the decoder's
  // capacity rule accepts; zero padding decodes the same.
  while (coded_capacity(out.size() - coded_start) < total) out.push_back(0);
  return {};
}

}  // namespace zelk::seq
