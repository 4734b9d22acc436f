// Sequence streams: the decoded form of a block's bases, the dispatcher
// over the codec methods, and the writer of method-0 streams.
#pragma once

#include <cstdint>
#include <optional>
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

// How a block's bases are coded; unset parameters take the defaults for the
// block's size and read length.
struct SequenceEncodeOptions {
  uint8_t method = 0;
  std::optional<uint8_t> order;
  std::optional<uint8_t> hashed_order;
  std::optional<uint8_t> table_bits;
};

// A whole sequence stream for `block`. A method without an encoder is an
// unsupported codec; parameters the decoder would refuse fail with its own
// text.
Result<Bytes> encode_sequence_stream(const SequenceBlock& block, const SequenceEncodeOptions& options);

}  // namespace zelk::seq
