// One rANS block decoded by every decoder this CPU runs; they must agree
// byte for byte, or fail alike (the vector ones word exhausted words as
// "truncated renorm stream").
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "zelk-rans/rans.h"

namespace {

// The outcome with the vector decoders' wording folded onto the scalar's.
std::string outcome(const zelk::Result<zelk::Bytes>& result) {
  if (result) return "ok:" + std::string(result->begin(), result->end());
  const std::string& text = result.error().message();
  bool vector_truncation = text == "malformed rANS stream: truncated renorm stream";
  return vector_truncation ? "malformed rANS stream: truncated stream" : text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using zelk::rans::Impl;
  constexpr uint64_t kMaxLen = 1 << 20;  // the caller's bound keeps allocations small
  zelk::ByteSpan block(data, size);
  std::string scalar = outcome(zelk::rans::rans_decode(block, kMaxLen, Impl::Scalar));
  for (Impl impl : {Impl::Avx2, Impl::Avx512}) {
    if (!zelk::rans::impl_available(impl)) continue;
    if (outcome(zelk::rans::rans_decode(block, kMaxLen, impl)) != scalar) std::abort();
  }
  return 0;
}
