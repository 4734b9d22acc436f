// Sequence streams: the decoded form of a block's bases, the dispatcher
// over the codec methods, and the writer of method-0 streams.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zelk-dna/reference_set.h"
#include "zelk-dna/sequence_block.h"
#include "zelk-sequence/context_model.h"
#include "zelk-base/buffer_fill.h"
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
// always passes nullptr). `bases_fill`, when given, follows the bases as
// they are decoded (the context model publishes them as it goes, once its
// stream has passed every check; the other codecs at the end) and is
// abandoned when the decode fails.
Result<SequenceBlock> decode_sequence_stream(ByteSpan stream, const dna::ReferenceSet* reference_contigs = nullptr,
                                             BufferFill* bases_fill = nullptr);

// Levels up to kFastLevel trade size for speed; from kThoroughLevel on,
// the smallest streams are taken whatever they cost to decode, and the
// slowest encoders (contigs polished from the reads) are tried too.
inline constexpr uint8_t kFastLevel = 3;
inline constexpr uint8_t kThoroughLevel = 7;
inline constexpr uint8_t kBestLevel = 9;

// How a block's bases are coded; unset parameters are chosen for the block
// (by its size, and by trial above the fast levels).
struct SequenceEncodeOptions {
  // Unset: whichever of the context model and the copying codecs (LZ,
  // above the fast levels tiles, and from kThoroughLevel the overlap codec
  // with the block's own contigs) codes the block smallest.
  std::optional<uint8_t> method;
  // 1 to 3 favour speed: a short context, no hashed tier and no tiles; 4 to
  // 6 choose the context by trial, keeping the tier where it pays for its
  // decode time; 7 to 9 the smallest streams.
  uint8_t level = 5;
  std::optional<uint8_t> order;
  std::optional<uint8_t> hashed_order;
  std::optional<uint8_t> table_bits;
  // The archive's shared reference, which method 2 places the reads on.
  const dna::ReferenceSet* reference = nullptr;
};

// A whole sequence stream for `block`. A method without an encoder is an
// unsupported codec; parameters the decoder would refuse fail with its own
// text. Long reads: method 1 builds contigs from the block's own reads,
// method 2 places them on `reference` (required), method 4 copies each read
// from earlier ones.
Result<Bytes> encode_sequence_stream(const SequenceBlock& block, const SequenceEncodeOptions& options);

}  // namespace zelk::seq
