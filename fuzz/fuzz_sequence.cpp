// The sequence-stream dispatcher on arbitrary bytes, with and without a
// shared reference frame.
#include <cstddef>
#include <cstdint>

#include "zelk-sequence/sequence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const zelk::dna::ReferenceSet kContigs{{'A', 'C', 'G', 'T'}, {0, 4}};
  auto block = zelk::seq::decode_sequence_stream({data, size});
  if (block) {
    uint64_t total = 0;
    for (uint32_t length : block->read_lengths) total += length;
    if (total != block->bases.size()) __builtin_trap();
  }
  (void)zelk::seq::decode_sequence_stream({data, size}, &kContigs);
  return 0;
}
