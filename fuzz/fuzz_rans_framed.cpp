// Framed rANS sub-streams read one after another from arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "zelk-rans/rans.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelk::ByteCursor cursor({data, size});
  while (!cursor.at_end()) {
    auto decoded = zelk::rans::decode_framed(cursor, 1 << 20);  // the caller's bound
    if (!decoded) break;
  }
  return 0;
}
