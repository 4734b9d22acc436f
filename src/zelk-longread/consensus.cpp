// Majority calls over the reads placed on a contig.
#include "zelk-longread/consensus.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <optional>
#include <tuple>
#include <vector>

#include "zelk-dna/dna.h"

namespace zelk::longread {

namespace {

// Calls at one contig position: A, C, G, T, and "deleted".
constexpr unsigned kDeleted = 4;
using Calls = std::array<uint32_t, 5>;

struct Insertion {
  uint64_t gap;  // inserted before this contig position
  Bytes bases;
  bool operator<(const Insertion& other) const {
    return std::tie(gap, bases) < std::tie(other.gap, other.bases);
  }
};

struct Pileup {
  std::vector<Calls> calls;
  std::vector<Insertion> insertions;  // sorted once every read is in
};

void add_calls(const PlacedQuery& read, Pileup& pileup) {
  const uint64_t size = pileup.calls.size();
  uint64_t at = read.start;
  size_t next = 0;  // in the query
  auto call = [&](unsigned slot) {
    if (at < size) ++pileup.calls[at][slot];
    ++at;
  };
  // Bases other than A, C, G, T call nothing.
  auto call_base = [&] {
    unsigned code = dna::base_code_any_case(read.query[next++]);
    if (code < 4) call(code);
    else ++at;
  };
  for (const EditOp& op : *read.script) {
    switch (op.code) {
      case EditCode::Match:
        for (uint32_t k = 0; k < op.length && next < read.query.size(); ++k) call_base();
        break;
      case EditCode::Substitution:
        if (next < read.query.size()) call_base();
        break;
      case EditCode::Insertion: {
        size_t length = std::min<size_t>(op.length, read.query.size() - next);
        pileup.insertions.push_back({at, Bytes(read.query.begin() + next, read.query.begin() + next + length)});
        next += length;
        break;
      }
      case EditCode::Deletion:
        for (uint32_t k = 0; k < op.length; ++k) call(kDeleted);
        break;
    }
  }
}

uint32_t covering(const Calls& calls) { return std::accumulate(calls.begin(), calls.end(), uint32_t{0}); }

// The insertions at one gap: the most frequent bases, if a strict majority
// of the reads covering the gap insert something there.
std::optional<ByteSpan> called_insertion(std::span<const Insertion> at_gap, uint32_t coverage) {
  if (2 * at_gap.size() <= coverage) return std::nullopt;
  ByteSpan best;
  size_t best_count = 0;
  for (size_t i = 0; i < at_gap.size();) {
    size_t end = i;
    while (end < at_gap.size() && at_gap[end].bases == at_gap[i].bases) ++end;
    if (end - i > best_count) best = at_gap[i].bases, best_count = end - i;
    i = end;
  }
  return best;
}

}  // namespace

Bytes consensus_of(ByteSpan contig, std::span<const PlacedQuery> reads) {
  if (contig.empty()) return {};
  Pileup pileup{std::vector<Calls>(contig.size(), Calls{}), {}};
  for (const PlacedQuery& read : reads) add_calls(read, pileup);
  std::sort(pileup.insertions.begin(), pileup.insertions.end());

  Bytes out;
  out.reserve(contig.size());
  std::span<const Insertion> insertions = pileup.insertions;
  for (uint64_t position = 0; position <= contig.size(); ++position) {
    size_t at_gap = 0;
    while (at_gap < insertions.size() && insertions[at_gap].gap == position) ++at_gap;
    if (at_gap > 0) {
      // Reads that cover the gap cover the base after it (or before it, at the end).
      const Calls& around = pileup.calls[std::min<uint64_t>(position, contig.size() - 1)];
      if (auto inserted = called_insertion(insertions.first(at_gap), covering(around))) append_bytes(out, *inserted);
      insertions = insertions.subspan(at_gap);
    }
    if (position == contig.size()) break;
    const Calls& calls = pileup.calls[position];
    unsigned own = dna::base_code_any_case(contig[position]);
    auto best = static_cast<unsigned>(std::max_element(calls.begin(), calls.end()) - calls.begin());
    bool overruled = best != own && calls[best] > (own < 4 ? calls[own] : 0) && 2 * calls[best] > covering(calls);
    if (!overruled) out.push_back(contig[position]);
    else if (best != kDeleted) out.push_back(dna::code_base(best));
  }
  return out;
}

}  // namespace zelk::longread
