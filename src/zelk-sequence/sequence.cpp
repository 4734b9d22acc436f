#include "zelk-sequence/sequence.h"

#include <algorithm>
#include <bit>

#include "zelk-dna/read_lengths.h"
#include "zelk-longread/longread.h"
#include "zelk-sequence/lz.h"
#include "zelk-sequence/method0.h"

namespace zelk::seq {

namespace {

ArchiveError missing_reference() {
  return ArchiveError::malformed("shared-reference sequence block but no reference frame in the archive");
}

Result<SequenceBlock> decode_by_method(ByteSpan stream, const dna::ReferenceSet* reference_contigs,
                                       BufferFill* bases_fill) {
  if (stream.empty()) return fail(ArchiveError::malformed("empty sequence stream"));
  uint8_t method = stream[0];
  ByteSpan payload = stream.subspan(1);
  switch (static_cast<SequenceMethod>(method)) {
    case SequenceMethod::ContextModel:
      return decode_method0(payload, bases_fill);
    case SequenceMethod::Overlap:
      return longread::decode_long_read_overlap(payload, method, nullptr);
    case SequenceMethod::ReferenceLz:
      return decode_reflzma_block(payload);
    case SequenceMethod::SharedOverlap:
      if (!reference_contigs) return fail(missing_reference());
      return longread::decode_long_read_overlap(payload, method, reference_contigs);
    case SequenceMethod::Tile:
      return longread::decode_long_read_tiles(payload);
    default:
      return fail(ArchiveError::unsupported_codec("sequence", method));
  }
}

}  // namespace

Result<SequenceBlock> decode_sequence_stream(ByteSpan stream, const dna::ReferenceSet* reference_contigs,
                                             BufferFill* bases_fill) {
  Result<SequenceBlock> block = decode_by_method(stream, reference_contigs, bases_fill);
  if (bases_fill) {
    if (block)
      bases_fill->complete(block->bases);
    else
      bases_fill->abandon();
  }
  return block;
}

namespace {

constexpr unsigned kShortOrder = 6;

// The highest order the data can fill, with a 24-base hashed tier for
// repeats; the fast levels a short context without the tier.
ContextParams default_context_params(uint64_t total_bases, uint8_t level) {
  // A 4 MiB hashed table stays in the last-level cache: measured on
  // Illumina runs, 1-2.5 % more bases than a 64 MiB one, decoded 30-40 %
  // faster. The thorough levels take the larger table.
  unsigned max_table_bits = level >= kThoroughLevel ? 22 : 18;
  unsigned log2 = std::bit_width(std::max<uint64_t>(total_bases, 1)) - 1;
  unsigned order = std::clamp(log2 / 2, 1u, 11u);
  if (level <= kFastLevel) return {static_cast<uint8_t>(std::min(order, kShortOrder)), 0, 0};
  return {static_cast<uint8_t>(order), 24, static_cast<uint8_t>(std::min(log2, max_table_bits))};
}

Result<Bytes> context_model_stream(const SequenceBlock& block, const ContextParams& params) {
  Bytes out{static_cast<uint8_t>(SequenceMethod::ContextModel)};
  ZELK_TRY(append_method0(out, block, params));
  return out;
}

// Above the fast levels, unless the caller fixed a parameter, the context is
// chosen by trial. Without the tier, the full order and a short one: reads
// with little repetition (Nanopore DNA) code smaller with the short one.
// The hashed tier finds repeats longer than the order-k context, at the
// cost of a random access per base into a table far larger than the caches,
// which halves the decode speed. It stays only where it pays: for 2 % of
// the stream below the thorough levels (repeats in short-read runs save
// 6-16 %, reads with little repetition next to nothing).
Result<Bytes> encode_context_model(const SequenceBlock& block, const SequenceEncodeOptions& options) {
  ContextParams params = default_context_params(block.bases.size(), options.level);
  bool fixed = options.order || options.hashed_order || options.table_bits;
  params.order = options.order.value_or(params.order);
  params.hashed_order = options.hashed_order.value_or(params.hashed_order);
  params.table_bits = options.table_bits.value_or(params.table_bits);
  if (fixed || options.level <= kFastLevel) return context_model_stream(block, params);
  Bytes plain = ZELK_TRY(context_model_stream(block, {params.order, 0, 0}));
  if (params.order > kShortOrder) {
    Bytes short_context = ZELK_TRY(context_model_stream(block, {kShortOrder, 0, 0}));
    if (short_context.size() < plain.size()) plain = std::move(short_context);
  }
  if (!params.hashed_active()) return plain;
  Bytes tier = ZELK_TRY(context_model_stream(block, params));
  bool tier_pays = options.level >= kThoroughLevel ? tier.size() < plain.size()
                                                    : tier.size() * 50 < plain.size() * 49;
  return tier_pays ? tier : plain;
}

Result<Bytes> encode_long_read_payload(const SequenceBlock& block, uint8_t method,
                                      const dna::ReferenceSet* reference) {
  switch (static_cast<SequenceMethod>(method)) {
    case SequenceMethod::Overlap:
      return longread::encode_long_read_overlap(block);
    case SequenceMethod::SharedOverlap:
      if (!reference) return fail(missing_reference());
      return longread::encode_long_read_overlap(block, *reference);
    case SequenceMethod::Tile:
      return longread::encode_long_read_tiles(block);
    default:
      return fail(ArchiveError::unsupported_codec("sequence", method));
  }
}

Result<Bytes> encode_with_method(const SequenceBlock& block, const SequenceEncodeOptions& options, uint8_t method) {
  if (method == static_cast<uint8_t>(SequenceMethod::ReferenceLz)) return encode_reference_lz_stream(block);
  if (method == static_cast<uint8_t>(SequenceMethod::ContextModel)) return encode_context_model(block, options);
  Bytes out{method};
  append_bytes(out, ZELK_TRY(encode_long_read_payload(block, method, options.reference)));
  return out;
}

}  // namespace

Result<Bytes> encode_sequence_stream(const SequenceBlock& block, const SequenceEncodeOptions& options) {
  if (options.method) return encode_with_method(block, options, *options.method);
  Bytes smallest = ZELK_TRY(encode_with_method(block, options, static_cast<uint8_t>(SequenceMethod::ContextModel)));
  uint64_t reads = block.read_lengths.size();
  if (reads == 0) return smallest;
  // Repeated stretches (duplicate short reads, overlapping long reads) code
  // far smaller as copies, and decode fast; reads that share little do
  // better with the context model. LZ finds exact repeats at any distance;
  // tiles also copy with edits, which pays on reads with errors, short or
  // long, but aligning the reads writes at only a few MB/s: the fast levels
  // keep to LZ. Contigs polished from overlapping reads pay their errors
  // once rather than for every pair, but take several alignment passes.
  std::vector<SequenceMethod> copying{SequenceMethod::ReferenceLz};
  if (options.level > kFastLevel) copying.push_back(SequenceMethod::Tile);
  if (options.level >= kThoroughLevel) copying.push_back(SequenceMethod::Overlap);
  for (SequenceMethod method : copying) {
    Bytes copies = ZELK_TRY(encode_with_method(block, options, static_cast<uint8_t>(method)));
    if (copies.size() < smallest.size()) smallest = std::move(copies);
  }
  return smallest;
}

}  // namespace zelk::seq
