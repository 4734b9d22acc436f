// The names decoder on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "zelk-names/names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)zelk::names::decode_names({data, size});
  return 0;
}
