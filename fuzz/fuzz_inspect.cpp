// Header parse and inspect (block walk and footer) on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "zelk-container/footer.h"
#include "zelk-container/inspect.h"
#include "zelk-base/io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelk::MemorySource source(zelk::Bytes(data, data + size));
  (void)zelk::container::inspect_archive(source);
  (void)zelk::container::parse_index_suffix({data, size}, size);
  return 0;
}
