// Decoding one block payload into its names, bases and qualities.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/reference_set.h"
#include "zelk-names/names.h"

namespace zelk {
class WorkerPool;
}

namespace zelk::container {

// Which streams a decode produces.
struct StreamSelection {
  bool names = true;
  bool sequence = true;
  bool quality = true;

  bool all() const { return names && sequence && quality; }
};

struct DecodedBlock {
  uint32_t read_count = 0;
  std::optional<names::NameList> names;
  // From the sequence codec when the bases were decoded, else from the
  // quality codec; empty when neither ran.
  std::vector<uint32_t> read_lengths;
  std::optional<Bytes> bases;
  std::optional<Bytes> qualities;
};

// Checks the payload's bounds, decodes the selected streams (names beside
// the sequence-then-quality chain, a fork-join on `pool`), checks the read
// counts and the digests of what was decoded. `reference` is the archive's
// shared contigs, or null.
Result<DecodedBlock> decode_block_payload(ByteSpan payload, StreamSelection selection,
                                          const dna::ReferenceSet* reference, WorkerPool& pool);

// One decoded read, as views into its block.
struct ReadView {
  std::string_view name;
  ByteSpan sequence;
  ByteSpan quality;
};

// Calls `visit` for each read of `block` in order, slicing the selected
// streams by the read lengths; deselected fields are empty.
template <class Visit>
Result<void> for_each_read(const DecodedBlock& block, Visit&& visit) {
  const bool sliced = block.bases || block.qualities;
  uint64_t offset = 0;
  for (uint32_t i = 0; i < block.read_count; ++i) {
    ReadView read;
    if (block.names) read.name = (*block.names)[i];
    if (sliced) {
      uint64_t length = block.read_lengths[i];
      uint64_t end;
      if (__builtin_add_overflow(offset, length, &end))
        return fail(ArchiveError::malformed("read length overflow"));
      if (block.bases) {
        if (end > block.bases->size())
          return fail(ArchiveError::malformed("sequence shorter than declared read lengths"));
        read.sequence = ByteSpan(*block.bases).subspan(offset, length);
      }
      if (block.qualities) {
        if (end > block.qualities->size())
          return fail(ArchiveError::malformed("quality shorter than declared read lengths"));
        read.quality = ByteSpan(*block.qualities).subspan(offset, length);
      }
      offset = end;
    }
    ZELK_TRY(visit(read));
  }
  return {};
}

}  // namespace zelk::container
