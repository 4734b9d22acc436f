#include "zelk-container/block.h"

#include <optional>

#include "zelk-container/block_reader.h"
#include "zelk-container/digest.h"
#include "zelk-base/pool.h"
#include "zelk-sequence/sequence.h"
#include "zelk-quality/quality.h"
#include "zelk-names/names.h"

namespace zelk::container {

namespace {

ArchiveError length_disagreement() { return ArchiveError::malformed("block stream length disagreement"); }

// The bases and qualities of a block decode at once: qualities coded
// against the bases follow them read by read as they are decoded. The bases
// start first, so a thread that runs both (a busy pool) never waits on
// bases nobody decodes.
Result<void> decode_bases_and_qualities(const BlockPayloadView& view, StreamSelection selection,
                                        const dna::ReferenceSet* reference, WorkerPool& pool,
                                        DecodedBlock& block) {
  bool quality_needs_bases = selection.quality && quality::quality_needs_sequence(view.quality);
  std::optional<Result<seq::SequenceBlock>> sequence;
  std::optional<Result<quality::DecodedQualities>> qualities;
  BufferFill bases_fill;
  pool.fork_join(
      [&] {
        if (selection.sequence || quality_needs_bases)
          sequence = seq::decode_sequence_stream(view.sequence, reference, &bases_fill);
      },
      [&] {
        if (!selection.quality) return;
        std::span<const uint8_t> bases;
        if (quality_needs_bases) {
          auto started = bases_fill.wait_started();
          if (!started) return;  // the sequence error is the one to report
          bases = *started;
        }
        qualities = quality::decode_quality_stream(view.quality, bases, &pool,
                                                   quality_needs_bases ? &bases_fill : nullptr);
      });
  if (sequence) {
    seq::SequenceBlock decoded = ZELK_TRY(std::move(*sequence));
    block.read_lengths = std::move(decoded.read_lengths);
    block.bases = std::move(decoded.bases);
  }
  if (qualities) {
    quality::DecodedQualities decoded = ZELK_TRY(std::move(*qualities));
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
