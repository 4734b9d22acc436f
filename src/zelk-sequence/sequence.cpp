#include "zelk-sequence/sequence.h"

#include <algorithm>
#include <bit>

#include "zelk-sequence/lz.h"
#include "zelk-sequence/method0.h"

namespace zelk::seq {

Result<SequenceBlock> decode_sequence_stream(ByteSpan stream, const dna::ReferenceSet* reference_contigs) {
  if (stream.empty()) return fail(ArchiveError::malformed("empty sequence stream"));
  uint8_t method = stream[0];
  ByteSpan payload = stream.subspan(1);
  switch (static_cast<SequenceMethod>(method)) {
    case SequenceMethod::ContextModel:
      return decode_method0(payload);
    case SequenceMethod::ReferenceLz: return decode_reflzma_block(payload);
    case SequenceMethod::SharedOverlap:
      if (!reference_contigs)
        return fail(ArchiveError::malformed("shared-reference sequence block but no reference frame in the archive"));
      [[fallthrough]];
    default:
      // The long-read methods are not built yet.
      return fail(ArchiveError::unsupported_codec("sequence", method));
  }
}

namespace {

ContextParams default_context_params(uint64_t total_bases, uint64_t mean_read_length) {
  // Measured on real reads: the highest order the data can fill pays for
  // short reads and redundant long reads (amplicons, cDNA), with a 24-base
  // hashed tier for repeats; ultra-long genomic reads are close to random
  // and do best with a short context and no tier.
  constexpr uint64_t kUltraLong = 4096;
  constexpr unsigned kUltraLongOrder = 6;
  constexpr unsigned kMaxTableBits = 22;  // 64 MiB of hashed entries
  unsigned log2 = std::bit_width(std::max<uint64_t>(total_bases, 1)) - 1;
  unsigned order = std::clamp(log2 / 2, 1u, 11u);
  if (mean_read_length >= kUltraLong) return {static_cast<uint8_t>(std::min(order, kUltraLongOrder)), 0, 0};
  return {static_cast<uint8_t>(order), 24, static_cast<uint8_t>(std::min(log2, kMaxTableBits))};
}

}  // namespace

Result<Bytes> encode_sequence_stream(const SequenceBlock& block, const SequenceEncodeOptions& options) {
  if (options.method == static_cast<uint8_t>(SequenceMethod::ReferenceLz)) return encode_reference_lz_stream(block);
  if (options.method != static_cast<uint8_t>(SequenceMethod::ContextModel))
    return fail(ArchiveError::unsupported_codec("sequence", options.method));
  uint64_t reads = block.read_lengths.size();
  ContextParams params = default_context_params(block.bases.size(), reads ? block.bases.size() / reads : 0);
  params.order = options.order.value_or(params.order);
  params.hashed_order = options.hashed_order.value_or(params.hashed_order);
  params.table_bits = options.table_bits.value_or(params.table_bits);
  Bytes out{options.method};
  ZELK_TRY(append_method0(out, block, params));
  return out;
}

}  // namespace zelk::seq
