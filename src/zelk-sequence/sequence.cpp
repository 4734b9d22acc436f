#include "zelk-sequence/sequence.h"

#include <algorithm>
#include <bit>

#include "zelk-longread/longread.h"
#include "zelk-sequence/method0.h"

namespace zelk::seq {

Result<SequenceBlock> decode_sequence_stream(ByteSpan stream, const dna::ReferenceSet* reference_contigs) {
  if (stream.empty()) return fail(ArchiveError::malformed("empty sequence stream"));
  uint8_t method = stream[0];
  ByteSpan payload = stream.subspan(1);
  switch (static_cast<SequenceMethod>(method)) {
    case SequenceMethod::ContextModel:
      return decode_method0(payload);
    case SequenceMethod::Overlap:
      return longread::decode_long_read_overlap(payload, method, nullptr);
    case SequenceMethod::SharedOverlap:
      if (!reference_contigs)
        return fail(ArchiveError::malformed("shared-reference sequence block but no reference frame in the archive"));
      return longread::decode_long_read_overlap(payload, method, reference_contigs);
    case SequenceMethod::Tile:
      return longread::decode_long_read_tiles(payload);
    default:
      // The reference LZ method is not built yet.
      return fail(ArchiveError::unsupported_codec("sequence", method));
  }
}

Result<Bytes> encode_context_model_stream(const SequenceBlock& block, const seq::ContextParams& params) {
  Bytes out{static_cast<uint8_t>(SequenceMethod::ContextModel)};
  ZELK_TRY(append_method0(out, block, params));
  return out;
}

Result<Bytes> encode_long_read_stream(const SequenceBlock& block, SequenceMethod method,
                                      const dna::ReferenceSet* reference) {
  Bytes payload;
  switch (method) {
    case SequenceMethod::Overlap:
      payload = ZELK_TRY(longread::encode_long_read_overlap(block));
      break;
    case SequenceMethod::SharedOverlap:
      if (!reference)
        return fail(ArchiveError::malformed("shared-reference sequence block but no reference frame in the archive"));
      payload = ZELK_TRY(longread::encode_long_read_overlap(block, *reference));
      break;
    case SequenceMethod::Tile:
      payload = ZELK_TRY(longread::encode_long_read_tiles(block));
      break;
    default:
      return fail(ArchiveError::unsupported_codec("sequence", static_cast<uint8_t>(method)));
  }
  Bytes out{static_cast<uint8_t>(method)};
  append_bytes(out, payload);
  return out;
}

seq::ContextParams default_context_params(uint64_t total_bases, uint64_t mean_read_length) {
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

}  // namespace zelk::seq
