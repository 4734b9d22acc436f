// The reference LZ codec: method-3 payloads decoded from arbitrary bytes,
// and arbitrary bytes encoded and decoded back (the first byte picks which).
#include <cstddef>
#include <cstdint>

#include "zelk-sequence/lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  zelk::ByteSpan rest(data + 1, size - 1);
  if (data[0] & 1) {
    zelk::Bytes coded = zelk::seq::reflzma_encode(rest);
    auto decoded = zelk::seq::reflzma_decode(coded, rest.size());
    if (!decoded || !std::equal(decoded->begin(), decoded->end(), rest.begin(), rest.end())) __builtin_trap();
    return 0;
  }
  auto block = zelk::seq::decode_reflzma_block(rest);
  if (block) {
    uint64_t total = 0;
    for (uint32_t length : block->read_lengths) total += length;
    if (total != block->bases.size()) __builtin_trap();
  }
  return 0;
}
