// Sequence streams: the decoded form of a block's bases, the dispatcher
// over the codec methods, and the writer of method-0 streams.
#pragma once

#include <cstdint>
#include <vector>

#include "zelk-dna/reference_set.h"
#include "zelk-dna/sequence_block.h"
#include "zelk-sequence/context_model.h"
#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::seq {

// The first byte of a sequence stream.
enum class SequenceMethod : uint8_t {
  ContextModel = 0,   // order-k context model over the bases
  Overlap = 1,        // long-read overlap, contigs carried in the block
  SharedOverlap = 2,  // long-read overlap against the archive's reference
  ReferenceLz = 3,
  Tile = 4,
};

using dna::SequenceBlock;

// Decodes a whole sequence stream. `reference_contigs` is the archive's
// shared reference frame, or nullptr when there is none (random access
// always passes nullptr).
Result<SequenceBlock> decode_sequence_stream(ByteSpan stream,
                                             const dna::ReferenceSet* reference_contigs = nullptr);

// A whole method-0 stream for `block`. Fails with the decoder's own text
// when `params` could not be decoded for this many bases.
Result<Bytes> encode_context_model_stream(const SequenceBlock& block, const seq::ContextParams& params);

// A whole long-read stream for `block`: method Overlap builds contigs from
// the block's own reads, SharedOverlap places the reads on `reference`,
// Tile copies each read from earlier ones. Fails for any other method, and
// for SharedOverlap without a reference.
Result<Bytes> encode_long_read_stream(const SequenceBlock& block, SequenceMethod method,
                                      const dna::ReferenceSet* reference = nullptr);

// Parameters that suit `total_bases` bases in reads of about
// `mean_read_length`.
seq::ContextParams default_context_params(uint64_t total_bases, uint64_t mean_read_length);

}  // namespace zelk::seq
