// "LRT" payloads on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "zelk-longread/longread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto block = zelk::longread::decode_long_read_tiles({data, size});
  if (block) {
    uint64_t total = 0;
    for (uint32_t length : block->read_lengths) total += length;
    if (total != block->bases.size()) __builtin_trap();
  }
  return 0;
}
