// A whole reordered archive, header included: the full decode with its
// output digest, a FASTA-style selective decode, and verify.
#include <cstddef>
#include <cstdint>

#include "discard_sink.h"
#include "zelk-container/decode.h"
#include "zelk-container/verify.h"
#include "zelk-base/io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelk::Bytes input(data, data + size);
  DiscardSink sink;
  zelk::MemorySource full(input);
  (void)zelk::container::decode_archive(full, {2, true, {}}, sink);
  zelk::MemorySource fasta(input);
  (void)zelk::container::decode_archive(fasta, {1, false, {true, true, false}}, sink);
  zelk::MemorySource verified(input);
  (void)zelk::container::verify_archive(verified, 1);
  return 0;
}
