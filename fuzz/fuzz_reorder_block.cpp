// One reordered sequence block on arbitrary bytes, without and with a
// shared reference; a decoded block's lengths must account for its bases.
#include <cstddef>
#include <cstdint>

#include "zelk-reorder/clustered.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const zelk::dna::ReferenceSet kReference = [] {
    zelk::dna::ReferenceSet reference;
    reference.bases = {'A', 'C', 'G', 'T', 'T', 'G', 'C', 'A', 'N', 'A'};
    reference.offsets = {0, 4, 4, 10};
    return reference;
  }();
  for (const zelk::dna::ReferenceSet* reference : {static_cast<const zelk::dna::ReferenceSet*>(nullptr), &kReference}) {
    auto block = zelk::reorder::decode_sequence_block({data, size}, reference);
    if (!block) continue;
    uint64_t total = 0;
    for (uint32_t length : block->read_lengths) total += length;
    if (total != block->bases.size()) __builtin_trap();
  }
  return 0;
}
