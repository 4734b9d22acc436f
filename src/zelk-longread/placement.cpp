#include "zelk-longread/placement.h"

#include <numeric>

namespace zelk::longread {

namespace {

constexpr double kWeakChain = 0.8;

}  // namespace

std::optional<Choice> cheapest_alignment(const std::vector<Chain>& chains, const SequenceOf& query_of,
                                         const SequenceOf& target_of, double share) {
  std::optional<Choice> best;
  for (size_t c = 0; c < chains.size(); ++c) {
    // Chains come best first; one with far fewer seeds will not win.
    if (chains[c].score < kWeakChain * chains[0].score) break;
    // A chain that cannot beat the best so far is dropped part way.
    double give_up_at = best ? best->alignment.bits : std::numeric_limits<double>::infinity();
    std::optional<Alignment> alignment = align_through(query_of(c), target_of(c), chains[c], give_up_at);
    if (alignment) best = Choice{c, std::move(*alignment)};
  }
  if (best && best->alignment.bits < share * raw_bits(query_of(best->chain).size())) return best;
  return std::nullopt;
}

Result<void> check_block(const dna::SequenceBlock& block) {
  uint64_t total = std::accumulate(block.read_lengths.begin(), block.read_lengths.end(), uint64_t{0});
  if (total != block.bases.size())
    return fail(ArchiveError::length_mismatch(ErrorKind::OverlapCodec, "sequence", total, block.bases.size()));
  return {};
}

}  // namespace zelk::longread
