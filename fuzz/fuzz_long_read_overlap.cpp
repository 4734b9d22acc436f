// "LRO" payloads on arbitrary bytes, as method 1 (contigs in the block) and
// as method 2 (contigs from a small shared reference).
#include <cstddef>
#include <cstdint>

#include "zelk-longread/longread.h"

namespace {

void check(const zelk::Result<zelk::dna::SequenceBlock>& block) {
  if (!block) return;
  uint64_t total = 0;
  for (uint32_t length : block->read_lengths) total += length;
  if (total != block->bases.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const zelk::dna::ReferenceSet kReference = [] {
    zelk::dna::ReferenceSet reference;
    for (const char* contig : {"ACGTACGGTTCAGGATCCAT", "", "acgtNNNNRYKMACGT"}) {
      for (const char* base = contig; *base; ++base) reference.bases.push_back(static_cast<uint8_t>(*base));
      reference.offsets.push_back(reference.bases.size());
    }
    return reference;
  }();
  zelk::ByteSpan payload(data, size);
  check(zelk::longread::decode_long_read_overlap(payload, zelk::longread::kBlockContigs, nullptr));
  check(zelk::longread::decode_long_read_overlap(payload, zelk::longread::kSharedReference, &kReference));
  return 0;
}
