// Arbitrary bytes through every rANS encoder: the encoders agree byte for
// byte and the block decodes back to the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "zelk-rans/rans.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using zelk::rans::Impl;
  zelk::ByteSpan input(data, size);
  for (int order : {0, 1}) {
    zelk::Bytes block = zelk::rans::rans_encode(input, order, Impl::Scalar);
    if (zelk::rans::impl_available(Impl::Avx512) &&
        zelk::rans::rans_encode(input, order, Impl::Avx512) != block)
      std::abort();
    auto decoded = zelk::rans::rans_decode(block, size);
    if (!decoded || !std::equal(decoded->begin(), decoded->end(), data, data + size)) std::abort();
  }
  return 0;
}
