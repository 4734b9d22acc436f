// Long-read sequence codecs. The overlap codec places reads on contigs (the
// block's own, or the archive's shared reference) with an edit script; the
// tile codec builds each read from stretches of earlier reads of the block.
// Both fall back to raw two-bit codes where nothing overlaps, and every
// failure reads "malformed lroverlap block".
#pragma once

#include <cstdint>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/reference_set.h"
#include "zelk-dna/sequence_block.h"

namespace zelk::longread {

inline constexpr uint8_t kBlockContigs = 1;     // contigs carried in the block
inline constexpr uint8_t kSharedReference = 2;  // contigs of the archive's reference

// Decodes an "LRO" payload of `method` (1 or 2). Method 2 reads its
// contigs from `reference`, which the caller must supply.
Result<dna::SequenceBlock> decode_long_read_overlap(ByteSpan payload, uint8_t method,
                                                    const dna::ReferenceSet* reference);

// Decodes an "LRT" payload.
Result<dna::SequenceBlock> decode_long_read_tiles(ByteSpan payload);

// The payloads (from the magic on) coding `block`. Method 1 builds its
// contigs from the block's own reads; method 2 places the reads on
// `reference`. Each fails only when `block`'s lengths do not match its bases.
Result<Bytes> encode_long_read_overlap(const dna::SequenceBlock& block);
Result<Bytes> encode_long_read_overlap(const dna::SequenceBlock& block, const dna::ReferenceSet& reference);
Result<Bytes> encode_long_read_tiles(const dna::SequenceBlock& block);

}  // namespace zelk::longread
