// Reordered sequence blocks: reads coded against the consensus of a cluster
// of similar earlier reads (version 2: the current cluster; version 3: any
// earlier cluster) or against a contig of the shared reference (version 4).
// Each read is a copy of the previous one, a literal that starts a cluster,
// or an aligned read: a base string at an offset, corrected by substitutions
// and extended by novel bases at its end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/reference_set.h"
#include "zelk-dna/sequence_block.h"

namespace zelk::reorder {

enum class BlockVersion : uint8_t {
  CurrentCluster = 2,
  AnyCluster = 3,
  Reference = 4,
};

enum class ReadOp : uint8_t {
  Copy = 0,
  Aligned = 1,
  Literal = 2,  // versions 2 and 3 only
};

inline constexpr uint64_t kMaxBlockReads = 0x4000000;
inline constexpr uint64_t kMaxReadLength = 0x1000000;
inline constexpr uint64_t kMaxBlockBases = 0x10000000;

// Decodes one block payload to its reads in stored order. `reference` is
// the archive's shared contigs (required by version 4), or null. Failures
// read "malformed clustered stream: ..." or carry the wrapped rANS or
// sequence codec text.
Result<dna::SequenceBlock> decode_sequence_block(ByteSpan payload, const dna::ReferenceSet* reference);

// How the encoder places one read (reads in stored order, already on the
// strand they are stored on). An anchor is an earlier read of the same
// block that this one overlaps, starting `shift` bases after the anchor's
// start; for version 4 the anchor is instead a contig position.
struct ReadPlacement {
  static constexpr uint32_t kNoAnchor = UINT32_MAX;
  uint32_t anchor = kNoAnchor;  // index within the block, earlier than this read
  int64_t shift = 0;
  // Version 4: the contig and the offset the read aligns to.
  uint32_t contig = 0;
  int64_t contig_offset = -1;  // negative: no reference hit
};

struct BlockEncodeOptions {
  BlockVersion version = BlockVersion::AnyCluster;
  // An aligned read may differ from its base string in at most this many
  // positions per 16 bases, else it is coded as a literal (or, in version
  // 4, as an aligned read at offset 0 of an empty stretch... never: it
  // needs a hit).
  uint32_t max_substitutions_per_16 = 2;
};

// The payload of one block of `reads` (lengths and concatenated bases in
// stored order). `placements` (one per read, or empty for none) says where
// each read probably fits; the encoder checks every candidate and takes
// the one with the fewest substitutions, or a literal when none fits.
// Version 4 needs `reference` and a contig hit for every read that is not a
// copy of the previous one.
Result<Bytes> encode_sequence_block(const dna::SequenceBlock& reads, std::span<const ReadPlacement> placements,
                                    const dna::ReferenceSet* reference, const BlockEncodeOptions& options);

}  // namespace zelk::reorder
