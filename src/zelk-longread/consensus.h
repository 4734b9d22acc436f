// Contigs made of single long reads carry that read's errors, and every
// read placed on them pays for those errors again. The reads placed on a
// contig vote on each of its bases through their edit scripts, and the
// majority replaces the read's own calls.
#pragma once

#include <cstdint>
#include <span>

#include "zelk-base/bytes.h"
#include "zelk-longread/edit_script.h"

namespace zelk::longread {

// A read as it lies on a contig: `query` (already on the contig's strand)
// is rebuilt by `script` from the contig at `start`.
struct PlacedQuery {
  ByteSpan query;
  uint64_t start;
  const EditScript* script;
};

// `contig` with every base, deletion and insertion that a strict majority
// of the reads covering it call otherwise. Bases the reads do not call
// (other than A, C, G, T in either case) keep the contig's byte.
Bytes consensus_of(ByteSpan contig, std::span<const PlacedQuery> reads);

}  // namespace zelk::longread
