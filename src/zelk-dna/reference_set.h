// Shared reference contigs: decoded once per archive and read by every block
// task, so they live in one buffer with an offset table (O(1) lookup, block
// decoders copy straight out of it).
#pragma once

#include <cstdint>
#include <vector>

#include "zelk-base/bytes.h"

namespace zelk::dna {

struct ReferenceSet {
  Bytes bases;                                 // every contig, concatenated
  std::vector<uint64_t> offsets{0};            // contig k is [offsets[k], offsets[k + 1])

  size_t contig_count() const { return offsets.size() - 1; }
  void add(ByteSpan contig) {
    append_bytes(bases, contig);
    offsets.push_back(bases.size());
  }
  ByteSpan contig(size_t k) const {
    return ByteSpan(bases).subspan(offsets[k], offsets[k + 1] - offsets[k]);
  }
};

}  // namespace zelk::dna
