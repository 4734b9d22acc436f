// The whole-archive decode (frames, payload split, every codec, digests)
// and the random-access paths on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "discard_sink.h"
#include "zelk-container/decode.h"
#include "zelk-container/random_access.h"
#include "zelk-base/io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelk::Bytes input(data, data + size);
  DiscardSink sink;
  zelk::MemorySource full(input);
  (void)zelk::container::decode_archive(full, {1, true, {}, {}}, sink);
  zelk::MemorySource names_only(input);
  (void)zelk::container::decode_archive(names_only, {1, false, {true, false, false}, {}}, sink);
  zelk::MemorySource random_access(input);
  (void)zelk::container::read_block(random_access, 0);
  return 0;
}
