#include "zelk-container/block.h"

#include "zelk-container/block_reader.h"
#include "zelk-container/digest.h"
#include "zelk-base/pool.h"
#include "zelk-sequence/sequence.h"
#include "zelk-quality/quality.h"
#include "zelk-names/names.h"

namespace zelk::container {

namespace {

ArchiveError length_disagreement() { return ArchiveError::malformed("block stream length disagreement"); }

// The sequence-then-quality half of a block decode.
Result<void> decode_bases_and_qualities(const BlockPayloadView& view, StreamSelection selection,
                                        const dna::ReferenceSet* reference, WorkerPool& pool,
                                        DecodedBlock& block) {
  bool quality_needs_bases = selection.quality && quality::quality_needs_sequence(view.quality);
  if (selection.sequence || quality_needs_bases) {
    seq::SequenceBlock sequence = ZELK_TRY(seq::decode_sequence_stream(view.sequence, reference));
    block.read_lengths = std::move(sequence.read_lengths);
    block.bases = std::move(sequence.bases);
  }
  if (selection.quality) {
    ByteSpan bases = quality_needs_bases ? ByteSpan(*block.bases) : ByteSpan();
    quality::DecodedQualities decoded = ZELK_TRY(quality::decode_quality_stream(view.quality, bases, &pool));
    if (!block.bases) block.read_lengths = std::move(decoded.read_lengths);
    block.qualities = std::move(decoded.qualities);
  }
  // Bases decoded only to condition the qualities are not part of the result.
  if (!selection.sequence) block.bases.reset();
  return {};
}

Result<void> check_digests(const BlockPayloadView& view, const DecodedBlock& block) {
  if (block.names && names_digest(*block.names) != view.names_digest)
    return fail(ArchiveError::corrupt("block names digest"));
  if (block.bases && per_read_digest(block.read_lengths, *block.bases) != view.sequence_digest)
    return fail(ArchiveError::corrupt("block sequence digest"));
  if (block.qualities && per_read_digest(block.read_lengths, *block.qualities) != view.quality_digest)
    return fail(ArchiveError::corrupt("block quality digest"));
  return {};
}

}  // namespace

Result<DecodedBlock> decode_block_payload(ByteSpan payload, StreamSelection selection,
                                          const dna::ReferenceSet* reference, WorkerPool& pool) {
  BlockPayloadView view = ZELK_TRY(split_block_payload(payload));
  DecodedBlock block;
  block.read_count = view.read_count;
  Result<void> names_outcome;
  Result<void> chain_outcome;
  pool.fork_join(
      [&] {
        if (!selection.names) return;
        auto names = names::decode_names(view.names);
        if (names) block.names = std::move(*names); else names_outcome = fail(std::move(names).error());
      },
      [&] { chain_outcome = decode_bases_and_qualities(view, selection, reference, pool, block); });
  ZELK_TRY(std::move(names_outcome));
  ZELK_TRY(std::move(chain_outcome));

  if (block.names && block.names->size() != view.read_count) return fail(length_disagreement());
  bool lengths_decoded = selection.sequence || selection.quality;
  if (lengths_decoded && block.read_lengths.size() != view.read_count) return fail(length_disagreement());
  ZELK_TRY(check_digests(view, block));
  return block;
}

}  // namespace zelk::container
