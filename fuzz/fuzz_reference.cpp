// Shared reference payloads from arbitrary bytes: the reordered layout's
// section (methods 0, 1 and 4) and the plain layout's LRR frame. A decoded
// reference must be self-consistent.
#include <cstddef>
#include <cstdint>

#include "zelk-base/pool.h"
#include "zelk-reorder/reference.h"

namespace {

void check(const zelk::Result<zelk::dna::ReferenceSet>& reference) {
  if (!reference) return;
  const auto& offsets = reference->offsets;
  if (offsets.empty() || offsets.front() != 0 || offsets.back() != reference->bases.size()) __builtin_trap();
  for (size_t k = 1; k < offsets.size(); ++k)
    if (offsets[k] < offsets[k - 1]) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static zelk::WorkerPool pool(2);
  check(zelk::reorder::decode_reorder_reference({data, size}, pool));
  check(zelk::reorder::decode_plain_reference({data, size}));
  return 0;
}
