// The aligner behind the long-read encoders: minimizer seeds, chains of
// seeds on one target and strand, and a banded affine-gap alignment of the
// stretches between seeds that yields an edit script for the whole read.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-longread/edit_script.h"

namespace zelk::longread {

// An exact match of `length` bases: query[query..] == target[target..].
struct Anchor {
  uint32_t query;
  uint32_t target;
  uint32_t length;
};

// Seeds on one target sequence (and strand, as the index was told),
// ordered along the query and the target alike.
struct Chain {
  uint32_t target = 0;
  bool reverse = false;
  int64_t score = 0;
  std::vector<Anchor> anchors;
};

// Minimizers (15-mers, windows of 10) of sequences added one at a time,
// each under a target id and a strand flag of the caller's choosing.
class MinimizerIndex {
 public:
  void add(uint32_t target, bool reverse, ByteSpan sequence);
  // The best chains of `query` against the indexed sequences, best first,
  // at most `limit` of them.
  std::vector<Chain> chains(ByteSpan query, size_t limit) const;

 private:
  struct Entry {
    uint32_t key;
    uint32_t target;
    uint32_t position;  // bit 31: the reverse flag of add()
    uint32_t next;      // index + 1 of the next entry in the bucket, 0 at the end
  };
  void insert(const Entry& entry);
  void grow();

  std::vector<uint32_t> buckets_;  // index + 1 of the newest entry, 0 when empty
  std::vector<Entry> entries_;
};

// An edit script rebuilding the whole of `query` from `target` starting at
// `target_start`, and its estimated coded size.
struct Alignment {
  uint64_t target_start = 0;
  EditScript script;
  double bits = 0;
};

// Aligns all of `query` to `target` through the seeds of `chain`: exact
// matches along the seeds, banded alignment between them, and extensions
// beyond the first and last seed (what does not extend is inserted).
// Gives up, returning nothing, once the script is sure to cost at least
// `give_up_at` bits.
std::optional<Alignment> align_through(ByteSpan query, ByteSpan target, const Chain& chain,
                                       double give_up_at = std::numeric_limits<double>::infinity());

// The coded size of storing `length` bases as two-bit codes.
double raw_bits(uint64_t length);

}  // namespace zelk::longread
