// Choosing where a read goes: the cheapest of the alignments through the
// best seed chains, when it beats storing the read raw.
#pragma once

#include <functional>
#include <optional>

#include "zelk-dna/sequence_block.h"
#include "zelk-longread/aligner.h"

namespace zelk::longread {

struct Choice {
  size_t chain;  // index into the chains given
  Alignment alignment;
};

// The query or target sequence for the chain at an index.
using SequenceOf = std::function<ByteSpan(size_t)>;

// An alignment must save at least this share of the raw size to be used
// instead of raw bases: its estimate is rough, and raw bases cost nothing
// to decode.
inline constexpr double kWorthwhile = 0.85;

// Aligns `query_of(c)` through each chain `c` of `chains` against
// `target_of(c)`, and keeps the cheapest alignment if it codes in fewer
// than `share` of the bits of the raw bases.
std::optional<Choice> cheapest_alignment(const std::vector<Chain>& chains, const SequenceOf& query_of,
                                         const SequenceOf& target_of, double share = kWorthwhile);

// Checks `block`'s lengths against its bases, the one fault an encoder
// reports.
Result<void> check_block(const dna::SequenceBlock& block);

}  // namespace zelk::longread
