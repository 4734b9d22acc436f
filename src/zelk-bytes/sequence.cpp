#include "zelk-bytes/sequence.h"

#include <algorithm>
#include <bit>

#include "zelk-bytes/method0.h"

namespace zelk::seq {

Result<SequenceBlock> decode_sequence_stream(ByteSpan stream, const std::vector<Bytes>* reference_contigs) {
  if (stream.empty()) return fail(ArchiveError::malformed("empty sequence stream"));
  uint8_t method = stream[0];
  ByteSpan payload = stream.subspan(1);
  switch (static_cast<SequenceMethod>(method)) {
    case SequenceMethod::ContextModel:
      return decode_method0(payload);
    case SequenceMethod::SharedOverlap:
      if (!reference_contigs)
        return fail(ArchiveError::malformed("shared-reference sequence block but no reference frame in the archive"));
      [[fallthrough]];
    default:
      // The long-read and reference LZ methods are not built yet.
      return fail(ArchiveError::unsupported_codec("sequence", method));
  }
}

Result<Bytes> encode_context_model_stream(const SequenceBlock& block, const range::ContextParams& params) {
  Bytes out{static_cast<uint8_t>(SequenceMethod::ContextModel)};
  ZELK_TRY(append_method0(out, block, params));
  return out;
}

range::ContextParams default_context_params(uint64_t total_bases, uint64_t mean_read_length) {
  (void)mean_read_length;
  unsigned log4 = (std::bit_width(std::max<uint64_t>(total_bases, 4)) - 1) / 2;
  auto order = static_cast<uint8_t>(std::clamp(log4, 1u, 11u));
  return {order, 0, 0};
}

}  // namespace zelk::seq
