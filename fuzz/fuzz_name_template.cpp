// Name-template parsing and rendering on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "zelk-names/names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (auto parsed = zelk::names::parse_name_template({data, size})) {
    (void)zelk::names::render_name_template(*parsed, 0);
    (void)zelk::names::render_name_template(*parsed, UINT64_MAX);
  }
  return 0;
}
