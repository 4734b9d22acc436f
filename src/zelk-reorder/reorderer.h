// The read reorderer behind the reordered layout's writer: reads that
// overlap (on either strand) are found through shared minimizers, then laid
// out greedily into contigs so that each read follows one it overlaps, on
// the contig's strand.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/reference_set.h"
#include "zelk-reorder/clustered.h"

namespace zelk {
class WorkerPool;
}

namespace zelk::reorder {

struct ReadOrder {
  std::vector<uint32_t> original;    // stored index -> original index
  std::vector<uint8_t> flipped;      // per stored read: stored as its reverse complement
  // Per stored read: the earlier stored read it overlaps (kNoAnchor for
  // none) and how many bases after that read's start it begins.
  std::vector<ReadPlacement> hints;
  // Per stored read: the contig it was laid out in (numbered in stored
  // order) and where it starts there.
  std::vector<uint32_t> contig;
  std::vector<int64_t> position;
};

struct ReorderParams {
  unsigned kmer = 21;          // at most 31
  unsigned window = 12;        // k-mers per minimizer window
  uint32_t max_bucket = 48;    // minimizers shared by more reads are repeats: ignored
  uint32_t min_overlap = 24;   // bases two reads must share to be placed together
  uint32_t max_mismatch_per_16 = 2;
};

// Where a read lies on a contig: the contig, the offset of the read's
// first base (on the strand `flip` says) and whether it is the reverse
// complement that matches there.
struct ContigHit {
  uint32_t contig;
  int64_t offset;
  bool flip;
};

// The place of each of `reads` on `contigs`, found through minimizers the
// read shares with them and checked base by base (at most
// max_mismatch_per_16 mismatches per 16 covered bases); none for a read
// that fits nowhere. The contig index takes about 12 bytes per 7 contig
// bases; the reads are placed on `pool`.
Result<std::vector<std::optional<ContigHit>>> place_on_contigs(const std::vector<ByteSpan>& reads,
                                                               const dna::ReferenceSet& contigs,
                                                               const ReorderParams& params, WorkerPool& pool);

// The order, strands and overlap hints for `reads` (original order).
// Memory is a few hundred bytes per read besides the reads themselves; the
// minimizer pass runs on `pool`.
Result<ReadOrder> order_reads(const std::vector<ByteSpan>& reads, const ReorderParams& params, WorkerPool& pool);

}  // namespace zelk::reorder
