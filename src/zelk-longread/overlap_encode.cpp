// Writing "LRO" payloads: each read placed on the contig it aligns to best,
// on either strand, or stored raw.
#include <algorithm>
#include <numeric>

#include "zelk-dna/dna.h"
#include "zelk-longread/consensus.h"
#include "zelk-longread/block_parts.h"
#include "zelk-longread/edit_script.h"
#include "zelk-longread/longread.h"
#include "zelk-longread/overlap_format.h"
#include "zelk-longread/placement.h"
#include "zelk-rans/rans.h"

namespace zelk::longread {

namespace {

// Chains tried per strand of a read.
constexpr size_t kCandidates = 3;
// A read this short that aligns nowhere is stored raw rather than becoming
// a contig: too short to seed later reads.
constexpr uint64_t kMinContig = 200;
// Rounds of polishing the contigs and placing the reads again: measured on
// Nanopore cDNA, the first saves a fifth of the stream, the second 2 %, a
// third under 1 %, each at the cost of placing every read once more.
constexpr int kPolishRounds = 2;
// The share of its raw size above which a read's alignment makes it a
// contig instead, for the many-contig policy.
constexpr double kManyContigs = 0.3;

struct Placement {
  uint32_t read;
  uint32_t contig;  // the contig count: stored raw
  bool reverse = false;
  uint64_t start = 0;
  EditScript script;
};

// The read as the contig holds it: the reverse strand is complemented.
Bytes oriented(ByteSpan read, bool reverse) {
  return reverse ? dna::reverse_complement(read) : Bytes(read.begin(), read.end());
}

std::optional<Placement> place(const MinimizerIndex& index, const dna::ReferenceSet& contigs, ByteSpan read,
                               uint32_t read_index, double share) {
  std::vector<Chain> chains = index.chains(read, kCandidates);
  Bytes flipped = dna::reverse_complement(read);
  for (Chain& chain : index.chains(flipped, kCandidates)) {
    chain.reverse = true;
    chains.push_back(std::move(chain));
  }
  std::stable_sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) { return a.score > b.score; });
  // Both strands compete; each aligns the read as it is decoded before any
  // reverse complement.
  auto best = cheapest_alignment(
      chains, [&](size_t c) { return chains[c].reverse ? ByteSpan(flipped) : read; },
      [&](size_t c) { return contigs.contig(chains[c].target); }, share);
  if (!best) return std::nullopt;
  const Chain& chain = chains[best->chain];
  return Placement{read_index, chain.target, chain.reverse, best->alignment.target_start,
                   std::move(best->alignment.script)};
}

// Writes the placements (contig groups by start, then raw reads), their
// scripts and the exceptions that restore what base codes cannot say.
Bytes write_payload(const dna::SequenceBlock& block, uint8_t method, const dna::ReferenceSet& contigs,
                    std::vector<Placement> placements) {
  const uint32_t contig_count = static_cast<uint32_t>(contigs.contig_count());
  std::stable_sort(placements.begin(), placements.end(), [](const Placement& a, const Placement& b) {
    return a.contig != b.contig ? a.contig < b.contig : a.start < b.start;
  });
  std::vector<uint64_t> offsets = read_offsets(block.read_lengths);

  Bytes payload;
  append_magic(payload, kOverlapMagic, method);
  append_shape(payload, block);
  if (method == kBlockContigs) {
    append_varint(payload, contig_count);
    Bytes lengths;
    for (size_t k = 0; k < contig_count; ++k) append_varint(lengths, contigs.contig(k).size());
    rans::append_framed(payload, lengths);
    rans::append_framed(payload, contigs.bases);
  }

  Bytes group_counts, reads, kinds, strands, starts, raw_codes;
  std::vector<uint64_t> per_group(contig_count + 1, 0);
  EditScriptEncoder edits;
  Bytes decoded(block.bases.size());
  uint64_t previous_start = 0;
  uint32_t previous_contig = UINT32_MAX;
  for (const Placement& placement : placements) {
    ++per_group[placement.contig];
    append_varint(reads, placement.read);
    ByteSpan read = ByteSpan(block.bases).subspan(offsets[placement.read], block.read_lengths[placement.read]);
    uint8_t* image = decoded.data() + offsets[placement.read];
    if (placement.contig == contig_count) {
      kinds.push_back(kRawRead);
      for (size_t i = 0; i < read.size(); ++i) {
        raw_codes.push_back(raw_code(read[i]));
        image[i] = dna::code_base(raw_codes.back());
      }
      continue;
    }
    kinds.push_back(kAlignedRead);
    strands.push_back(placement.reverse);
    if (placement.contig != previous_contig) previous_start = 0;
    append_varint(starts, zigzag_encode(static_cast<int64_t>(placement.start - previous_start)));
    previous_start = placement.start;
    previous_contig = placement.contig;
    ByteSpan ref = contigs.contig(placement.contig).subspan(placement.start);
    Bytes query = oriented(read, placement.reverse);
    edits.add(ref, query, placement.script);
    Bytes rebuilt = apply_edits(ref, query, placement.script);
    if (placement.reverse) rebuilt = dna::reverse_complement(rebuilt);
    std::copy(rebuilt.begin(), rebuilt.end(), image);
  }
  for (uint64_t count : per_group) append_varint(group_counts, count);
  for (const Bytes* stream : {&group_counts, &reads, &kinds, &strands, &starts})
    rans::append_framed(payload, *stream);
  edits.append_to(payload);
  rans::append_framed(payload, raw_codes);
  append_exceptions(payload, decoded, block.bases);
  pad_to_capacity(payload, block.bases.size());
  return payload;
}

// Every read placed on the best of `contigs`, or stored raw (in the group
// after the last contig).
std::vector<Placement> place_all(const dna::SequenceBlock& block, const dna::ReferenceSet& contigs, double share) {
  std::vector<uint64_t> offsets = read_offsets(block.read_lengths);
  MinimizerIndex index;
  for (size_t k = 0; k < contigs.contig_count(); ++k) index.add(static_cast<uint32_t>(k), false, contigs.contig(k));
  const auto raw = static_cast<uint32_t>(contigs.contig_count());
  std::vector<Placement> placements;
  for (uint32_t r = 0; r < block.read_lengths.size(); ++r) {
    ByteSpan read = ByteSpan(block.bases).subspan(offsets[r], block.read_lengths[r]);
    auto placement = place(index, contigs, read, r, share);
    placements.push_back(placement ? std::move(*placement) : Placement{r, raw, false, 0, {}});
  }
  return placements;
}

// Contigs made from the block's reads, longest first (long reads make the
// contigs the shorter ones land on): a read becomes a contig when its best
// alignment to the contigs so far costs more than `contig_share` of its
// raw bases. Reads that align nowhere and are too short to seed others
// are left out (they will be stored raw).
dna::ReferenceSet contigs_from_reads(const dna::SequenceBlock& block, double contig_share,
                                     std::vector<Placement>& placements) {
  std::vector<uint64_t> offsets = read_offsets(block.read_lengths);
  std::vector<uint32_t> order(block.read_lengths.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return block.read_lengths[a] > block.read_lengths[b]; });

  dna::ReferenceSet contigs;
  MinimizerIndex index;
  for (uint32_t r : order) {
    ByteSpan read = ByteSpan(block.bases).subspan(offsets[r], block.read_lengths[r]);
    if (auto placement = place(index, contigs, read, r, contig_share)) {
      placements.push_back(std::move(*placement));
      continue;
    }
    if (read.size() < kMinContig) continue;
    auto contig = static_cast<uint32_t>(contigs.contig_count());
    contigs.add(read);
    index.add(contig, false, read);
    placements.push_back({r, contig, false, 0, {{EditCode::Match, static_cast<uint32_t>(read.size())}}});
  }
  return contigs;
}

// Each contig replaced by the consensus of the reads placed on it.
dna::ReferenceSet polished(const dna::SequenceBlock& block, const dna::ReferenceSet& contigs,
                           const std::vector<Placement>& placements) {
  std::vector<uint64_t> offsets = read_offsets(block.read_lengths);
  std::vector<Bytes> queries;
  queries.reserve(placements.size());
  std::vector<std::vector<PlacedQuery>> on_contig(contigs.contig_count());
  for (const Placement& placement : placements) {
    if (placement.contig >= contigs.contig_count()) continue;  // stored raw
    ByteSpan read = ByteSpan(block.bases).subspan(offsets[placement.read], block.read_lengths[placement.read]);
    queries.push_back(oriented(read, placement.reverse));
    on_contig[placement.contig].push_back({queries.back(), placement.start, &placement.script});
  }
  dna::ReferenceSet out;
  for (size_t k = 0; k < contigs.contig_count(); ++k) out.add(consensus_of(contigs.contig(k), on_contig[k]));
  return out;
}

// `contigs` without those no placement uses, the placements renumbered.
dna::ReferenceSet without_unused(const dna::ReferenceSet& contigs, std::vector<Placement>& placements) {
  const auto raw = static_cast<uint32_t>(contigs.contig_count());
  std::vector<uint32_t> renumbered(contigs.contig_count() + 1, 0);
  for (const Placement& placement : placements) renumbered[placement.contig] = 1;
  dna::ReferenceSet kept;
  for (uint32_t k = 0; k < raw; ++k) {
    if (!renumbered[k]) continue;
    renumbered[k] = static_cast<uint32_t>(kept.contig_count());
    kept.add(contigs.contig(k));
  }
  renumbered[raw] = static_cast<uint32_t>(kept.contig_count());
  for (Placement& placement : placements) placement.contig = renumbered[placement.contig];
  return kept;
}

// Contigs from the reads, polished by the reads placed on them; then every
// read placed again on the polished contigs (where it may now land on a
// contig it missed the first time), and so on for each round.
Bytes encode_with_own_contigs(const dna::SequenceBlock& block, double contig_share) {
  std::vector<Placement> placements;
  dna::ReferenceSet contigs = contigs_from_reads(block, contig_share, placements);
  for (int round = 0; round < kPolishRounds; ++round) {
    contigs = polished(block, contigs, placements);
    placements = place_all(block, contigs, kWorthwhile);
  }
  dna::ReferenceSet used = without_unused(contigs, placements);
  return write_payload(block, kBlockContigs, used, std::move(placements));
}

}  // namespace

Result<Bytes> encode_long_read_overlap(const dna::SequenceBlock& block) {
  ZELK_TRY(check_block(block));
  // Accurate reads that nearly repeat each other (amplicons) pay for many
  // contigs, each aligning its neighbours closely; noisy reads align
  // loosely to anything, and extra contigs only cost raw bases. Both
  // policies are tried.
  Bytes few_contigs = encode_with_own_contigs(block, kWorthwhile);
  Bytes many_contigs = encode_with_own_contigs(block, kManyContigs);
  return many_contigs.size() < few_contigs.size() ? many_contigs : few_contigs;
}

Result<Bytes> encode_long_read_overlap(const dna::SequenceBlock& block, const dna::ReferenceSet& reference) {
  ZELK_TRY(check_block(block));
  return write_payload(block, kSharedReference, reference, place_all(block, reference, kWorthwhile));
}

}  // namespace zelk::longread
