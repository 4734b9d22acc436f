#include "zelk-reorder/reorderer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <tuple>

#include "zelk-base/pool.h"

namespace zelk::reorder {

namespace {

// One sampled k-mer of a read: the hash of its canonical form (the smaller
// of the k-mer and its reverse complement), where it starts and whether the
// canonical form is the reverse complement.
struct Minimizer {
  uint32_t hash;
  uint32_t read;
  uint32_t position_strand;  // position << 1 | strand

  uint32_t position() const { return position_strand >> 1; }
  bool strand() const { return position_strand & 1; }
};

uint64_t mix(uint64_t x) {
  x ^= x >> 31;
  x *= 0x7fb5d329728ea185ULL;
  x ^= x >> 27;
  x *= 0x81dadef4bc2dd44dULL;
  return x ^ (x >> 33);
}

int base_bits(uint8_t base) {
  switch (base | 0x20) {  // either case
    case 'a': return 0;
    case 'c': return 1;
    case 'g': return 2;
    case 't': return 3;
    default: return -1;
  }
}

uint8_t complement(uint8_t base) {
  switch (base) {
    case 'A': return 'T';
    case 'C': return 'G';
    case 'G': return 'C';
    case 'T': return 'A';
    case 'a': return 't';
    case 'c': return 'g';
    case 'g': return 'c';
    case 't': return 'a';
    default: return base;
  }
}

// The window minimizers of one read's k-mers, each handed to `emit`;
// k-mers holding anything but A, C, G, T are skipped and restart the
// window.
template <class Emit>
void collect_minimizers(ByteSpan read, uint32_t id, const ReorderParams& params, Emit&& emit) {
  const unsigned k = params.kmer;
  const uint64_t mask = (uint64_t{1} << (2 * k)) - 1;
  constexpr size_t kMaxWindow = 64;
  std::array<Minimizer, kMaxWindow> window;
  const size_t w = std::min<size_t>(params.window, kMaxWindow);
  uint64_t forward = 0, reverse = 0;
  unsigned valid = 0;
  size_t in_window = 0;
  uint32_t last_emitted = UINT32_MAX;
  auto emit_minimum = [&](size_t count) {
    const Minimizer* best = &window[0];
    for (size_t i = 1; i < count; ++i)
      if (window[i].hash < best->hash) best = &window[i];
    if (best->position() != last_emitted) emit(*best);
    last_emitted = best->position();
  };
  for (size_t j = 0; j < read.size(); ++j) {
    int bits = base_bits(read[j]);
    if (bits < 0) {
      if (in_window && in_window < w) emit_minimum(in_window);
      valid = 0;
      in_window = 0;
      continue;
    }
    forward = ((forward << 2) | bits) & mask;
    reverse = (reverse >> 2) | (uint64_t(3 - bits) << (2 * (k - 1)));
    if (++valid < k) continue;
    auto position = static_cast<uint32_t>(j + 1 - k);
    bool strand = reverse < forward;
    Minimizer m{static_cast<uint32_t>(mix(strand ? reverse : forward)), id, position << 1 | strand};
    if (in_window < w) {
      window[in_window++] = m;
      if (in_window == w) emit_minimum(w);
    } else {
      std::move(window.begin() + 1, window.begin() + w, window.begin());
      window[w - 1] = m;
      emit_minimum(w);
    }
  }
  if (in_window && in_window < w) emit_minimum(in_window);
}

// The minimizers that can link reads, sorted by hash: those of a hash that
// occurs once link nothing, and those of a hash shared by more than
// max_bucket reads are repeats, so neither is kept. A directory on the top
// bits of the hash finds a hash's entries. This index is the reorderer's
// largest structure: 12 bytes per kept minimizer (about 20 per 150 bases)
// and a directory of about one byte each; a read's own minimizers are
// found again from its bases when needed.
struct MinimizerIndex {
  std::vector<Minimizer> entries;
  std::vector<uint32_t> directory;  // entries whose hash has top bits t: [directory[t], directory[t + 1])
  unsigned shift = 32;

  // The entries of `hash`: [begin, end).
  std::pair<const Minimizer*, const Minimizer*> group(uint32_t hash) const {
    const Minimizer* begin = entries.data() + directory[hash >> shift];
    const Minimizer* end = entries.data() + directory[(hash >> shift) + 1];
    begin = std::partition_point(begin, end, [&](const Minimizer& m) { return m.hash < hash; });
    return {begin, std::partition_point(begin, end, [&](const Minimizer& m) { return m.hash == hash; })};
  }
};

constexpr size_t kReadsPerTask = 4096;

// Every read's minimizers in one array, sized by a counting pass first so
// that no second copy is ever held.
std::vector<Minimizer> all_minimizers(const std::vector<ByteSpan>& reads, const ReorderParams& params,
                                      WorkerPool& pool) {
  size_t tasks = (reads.size() + kReadsPerTask - 1) / kReadsPerTask;
  auto task_range = [&](size_t t) { return std::pair{t * kReadsPerTask, std::min(reads.size(), (t + 1) * kReadsPerTask)}; };
  std::vector<size_t> starts(tasks + 1, 0);
  pool.parallel_for(tasks, [&](size_t t) {
    auto [begin, end] = task_range(t);
    size_t count = 0;
    for (size_t r = begin; r < end; ++r)
      collect_minimizers(reads[r], static_cast<uint32_t>(r), params, [&](const Minimizer&) { ++count; });
    starts[t + 1] = count;
  });
  for (size_t t = 0; t < tasks; ++t) starts[t + 1] += starts[t];
  std::vector<Minimizer> all(starts[tasks]);
  pool.parallel_for(tasks, [&](size_t t) {
    auto [begin, end] = task_range(t);
    Minimizer* out = all.data() + starts[t];
    for (size_t r = begin; r < end; ++r)
      collect_minimizers(reads[r], static_cast<uint32_t>(r), params, [&](const Minimizer& m) { *out++ = m; });
  });
  return all;
}

// Sorts by hash in place: the entries are dealt into 256 ranges by the
// top byte of their hash (swapping each into its range), then each range
// is sorted on the pool.
void sort_by_hash(std::vector<Minimizer>& entries, WorkerPool& pool) {
  std::array<size_t, 257> starts{};
  for (const Minimizer& m : entries) ++starts[(m.hash >> 24) + 1];
  for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  std::array<size_t, 256> next;
  std::copy(starts.begin(), starts.end() - 1, next.begin());
  for (size_t b = 0; b < 256; ++b) {
    while (next[b] < starts[b + 1]) {
      size_t home = entries[next[b]].hash >> 24;
      if (home == b)
        ++next[b];
      else
        std::swap(entries[next[b]], entries[next[home]++]);
    }
  }
  pool.parallel_for(256, [&](size_t b) {
    std::sort(entries.begin() + starts[b], entries.begin() + starts[b + 1], [](const Minimizer& x, const Minimizer& y) {
      return x.hash != y.hash ? x.hash < y.hash : x.read < y.read;
    });
  });
}

// Keeps only the groups of 2 to max_bucket entries, in place.
void drop_unlinking(std::vector<Minimizer>& entries, uint32_t max_bucket) {
  size_t kept = 0;
  for (size_t begin = 0; begin < entries.size();) {
    size_t end = begin + 1;
    while (end < entries.size() && entries[end].hash == entries[begin].hash) ++end;
    if (end - begin >= 2 && end - begin <= max_bucket)
      kept = std::move(entries.begin() + begin, entries.begin() + end, entries.begin() + kept) - entries.begin();
    begin = end;
  }
  entries.resize(kept);
}

MinimizerIndex build_index(const std::vector<ByteSpan>& reads, const ReorderParams& params, WorkerPool& pool) {
  MinimizerIndex index;
  index.entries = all_minimizers(reads, params, pool);
  sort_by_hash(index.entries, pool);
  drop_unlinking(index.entries, params.max_bucket);
  // About four entries per directory slot.
  unsigned bits = std::clamp<unsigned>(std::bit_width(index.entries.size()), 3, 26) - 2;
  index.shift = 32 - bits;
  index.directory.assign((size_t{1} << bits) + 1, 0);
  for (const Minimizer& m : index.entries) ++index.directory[(m.hash >> index.shift) + 1];
  for (size_t t = 1; t < index.directory.size(); ++t) index.directory[t] += index.directory[t - 1];
  return index;
}

// A read positioned relative to another: on the strand `flip` says, and
// starting `shift` bases after the other's start (both in the other's
// oriented frame).
struct Overlap {
  uint32_t read;
  bool flip;
  int64_t shift;
};

class ContigWalker {
 public:
  ContigWalker(const std::vector<ByteSpan>& reads, const ReorderParams& params, MinimizerIndex index)
      : reads_(reads), params_(params), index_(std::move(index)), used_(reads.size()), probe_mark_(reads.size()) {}

  ReadOrder walk() {
    ReadOrder order;
    order.original.reserve(reads_.size());
    order.flipped.reserve(reads_.size());
    order.hints.reserve(reads_.size());
    order.contig.reserve(reads_.size());
    order.position.reserve(reads_.size());
    stored_index_.assign(reads_.size(), 0);
    // A contig laid out from the leftmost read need not come back to the
    // seed, so a seed is tried until it is placed. Reads that overlap
    // nothing go last, in input order: their entries of the permutation
    // then rise in small steps, which code far smaller than the scattered
    // positions they would have between contigs.
    std::vector<Overlap> alone;
    for (uint32_t seed = 0; seed < reads_.size(); ++seed) {
      while (!used_[seed]) {
        Overlap start = leftmost_from(seed);
        if (lay_contig(start, order) == 1) {
          unplace_last(order);
          alone.push_back(start);
        }
      }
    }
    for (const Overlap& read : alone) {
      ++contigs_;
      place(read, ReadPlacement::kNoAnchor, order);
    }
    return order;
  }

 private:
  uint8_t oriented_base(uint32_t read, bool flip, size_t j) const {
    ByteSpan bases = reads_[read];
    return flip ? complement(bases[bases.size() - 1 - j]) : bases[j];
  }

  // Overlaps of unused reads with `anchor` (on strand `flip`) that share a
  // minimizer with it, one per (read, strand, shift).
  void find_overlaps(uint32_t anchor, bool flip, std::vector<Overlap>& out) const {
    out.clear();
    const unsigned k = params_.kmer;
    const int64_t anchor_length = reads_[anchor].size();
    collect_minimizers(reads_[anchor], anchor, params_, [&](const Minimizer& own) {
      int64_t own_position = flip ? anchor_length - k - own.position() : own.position();
      bool own_strand = own.strand() != flip;
      auto [begin, end] = index_.group(own.hash);
      for (const Minimizer* other = begin; other != end; ++other) {
        if (other->read == anchor || used_[other->read]) continue;
        bool other_flip = own_strand != other->strand();
        int64_t other_length = reads_[other->read].size();
        int64_t other_position = other_flip ? other_length - k - other->position() : other->position();
        out.push_back({other->read, other_flip, own_position - other_position});
      }
    });
    std::sort(out.begin(), out.end(), [](const Overlap& a, const Overlap& b) {
      return a.shift != b.shift ? a.shift < b.shift : a.read != b.read ? a.read < b.read : a.flip < b.flip;
    });
    out.erase(std::unique(out.begin(), out.end(), [](const Overlap& a, const Overlap& b) {
      return a.shift == b.shift && a.read == b.read && a.flip == b.flip;
    }), out.end());
  }

  // Whether the bases the two reads share agree closely enough.
  bool agrees(uint32_t anchor, bool anchor_flip, const Overlap& other) const {
    int64_t anchor_start = std::max<int64_t>(other.shift, 0);
    int64_t other_start = std::max<int64_t>(-other.shift, 0);
    int64_t length = std::min<int64_t>(reads_[anchor].size() - anchor_start, reads_[other.read].size() - other_start);
    if (length < params_.min_overlap) return false;
    uint64_t allowed = static_cast<uint64_t>(length) * params_.max_mismatch_per_16 / 16;
    uint64_t mismatches = 0;
    for (int64_t j = 0; j < length; ++j) {
      mismatches += oriented_base(anchor, anchor_flip, anchor_start + j) !=
                    oriented_base(other.read, other.flip, other_start + j);
      if (mismatches > allowed) return false;
    }
    return true;
  }

  // Walks left from `seed` over unused overlapping reads to the one that
  // starts furthest left, so the contig can then be laid out rightwards.
  Overlap leftmost_from(uint32_t seed) {
    ++probe_stamp_;
    Overlap current{seed, false, 0};
    probe_mark_[seed] = probe_stamp_;
    for (size_t step = 0; step < kMaxProbeSteps; ++step) {
      find_overlaps(current.read, current.flip, overlaps_);
      const Overlap* next = nullptr;
      size_t tried = 0;
      for (const Overlap& candidate : overlaps_) {  // most negative shift first
        if (candidate.shift >= 0 || tried == kMaxVerifications) break;
        if (probe_mark_[candidate.read] == probe_stamp_) continue;
        ++tried;
        if (agrees(current.read, current.flip, candidate)) {
          next = &candidate;
          break;
        }
      }
      if (!next) break;
      current = {next->read, next->flip, 0};
      probe_mark_[current.read] = probe_stamp_;
    }
    return current;
  }

  void place(const Overlap& read, uint32_t anchor, ReadOrder& order) {
    used_[read.read] = 1;
    stored_index_[read.read] = static_cast<uint32_t>(order.original.size());
    order.original.push_back(read.read);
    order.flipped.push_back(read.flip);
    ReadPlacement hint;
    int64_t position = 0;
    if (anchor != ReadPlacement::kNoAnchor) {
      hint.anchor = stored_index_[anchor];
      hint.shift = read.shift;
      position = order.position[hint.anchor] + read.shift;
    }
    order.hints.push_back(hint);
    order.contig.push_back(contigs_ - 1);
    order.position.push_back(position);
  }

  // Takes back the last read placed, the only one of the last contig; it
  // stays used.
  void unplace_last(ReadOrder& order) {
    order.original.pop_back();
    order.flipped.pop_back();
    order.hints.pop_back();
    order.contig.pop_back();
    order.position.pop_back();
    --contigs_;
  }

  // Lays out a contig from `start`: each next read is the unused one that
  // overlaps a recently placed read and starts the fewest bases after it.
  // Returns the contig's read count.
  size_t lay_contig(const Overlap& start, ReadOrder& order) {
    ++contigs_;
    size_t first = order.original.size();
    place(start, ReadPlacement::kNoAnchor, order);
    std::vector<Overlap> recent{start};  // most recent last; shifts unused here
    while (!recent.empty()) {
      std::optional<std::pair<Overlap, uint32_t>> chosen;
      for (size_t back = 0; back < recent.size() && !chosen; ++back) {
        const Overlap& from = recent[recent.size() - 1 - back];
        find_overlaps(from.read, from.flip, overlaps_);
        size_t tried = 0;
        for (const Overlap& candidate : overlaps_) {
          if (candidate.shift < 0) continue;
          if (tried++ == kMaxVerifications) break;
          if (agrees(from.read, from.flip, candidate)) {
            chosen.emplace(candidate, from.read);
            break;
          }
        }
      }
      if (!chosen) break;
      place(chosen->first, chosen->second, order);
      recent.push_back(chosen->first);
      if (recent.size() > kRecentReads) recent.erase(recent.begin());
    }
    return order.original.size() - first;
  }

  static constexpr size_t kMaxProbeSteps = 100000;
  static constexpr size_t kMaxVerifications = 16;
  static constexpr size_t kRecentReads = 4;

  const std::vector<ByteSpan>& reads_;
  const ReorderParams& params_;
  MinimizerIndex index_;
  std::vector<uint8_t> used_;
  std::vector<uint32_t> probe_mark_;
  uint32_t probe_stamp_ = 0;
  uint32_t contigs_ = 0;
  std::vector<uint32_t> stored_index_;
  std::vector<Overlap> overlaps_;
};

// A read's place on a contig as one shared minimizer suggests it, and how
// many of the read's minimizers agree.
struct ContigVote {
  uint32_t contig;
  bool flip;
  int64_t offset;
  uint32_t votes = 1;
};

// Contig positions past this cannot be held in a minimizer entry.
constexpr uint64_t kMaxIndexedContigPosition = uint64_t{1} << 31;

// Every minimizer of the contigs (none past kMaxIndexedContigPosition),
// sorted by hash; hashes shared by more than max_bucket positions are
// repeats and left out.
std::vector<Minimizer> contig_minimizers(const dna::ReferenceSet& contigs, const ReorderParams& params,
                                         WorkerPool& pool) {
  std::vector<Minimizer> entries;
  for (size_t c = 0; c < contigs.contig_count(); ++c) {
    ByteSpan contig = contigs.contig(c);
    contig = contig.first(std::min<uint64_t>(contig.size(), kMaxIndexedContigPosition));
    collect_minimizers(contig, static_cast<uint32_t>(c), params, [&](const Minimizer& m) { entries.push_back(m); });
  }
  sort_by_hash(entries, pool);
  size_t kept = 0;
  for (size_t begin = 0; begin < entries.size();) {
    size_t end = begin + 1;
    while (end < entries.size() && entries[end].hash == entries[begin].hash) ++end;
    if (end - begin <= params.max_bucket)
      kept = std::move(entries.begin() + begin, entries.begin() + end, entries.begin() + kept) - entries.begin();
    begin = end;
  }
  entries.resize(kept);
  return entries;
}

// Whether `read`, on strand `flip`, matches `contig` from `offset` closely
// enough over the bases they share (all of the read's bases that the
// contig covers; at least min_overlap of them).
bool matches_contig(ByteSpan read, bool flip, ByteSpan contig, int64_t offset, const ReorderParams& params) {
  if (offset < 0 || static_cast<uint64_t>(offset) > contig.size()) return false;
  size_t covered = std::min<size_t>(read.size(), contig.size() - offset);
  if (covered < std::min<size_t>(read.size(), params.min_overlap)) return false;
  uint64_t allowed = uint64_t{covered} * params.max_mismatch_per_16 / 16, mismatches = 0;
  for (size_t j = 0; j < covered && mismatches <= allowed; ++j) {
    uint8_t base = flip ? complement(read[read.size() - 1 - j]) : read[j];
    mismatches += base != contig[offset + j];
  }
  return mismatches <= allowed;
}

// The best-supported place of one read among those its minimizers vote
// for, checked base by base; none when no place fits.
std::optional<ContigHit> place_read(ByteSpan read, const dna::ReferenceSet& contigs,
                                    const std::vector<Minimizer>& index, const ReorderParams& params,
                                    std::vector<ContigVote>& votes) {
  votes.clear();
  const int64_t k = params.kmer, length = read.size();
  collect_minimizers(read, 0, params, [&](const Minimizer& own) {
    auto [first, last] = std::equal_range(index.begin(), index.end(), own,
                                          [](const Minimizer& a, const Minimizer& b) { return a.hash < b.hash; });
    for (auto at = first; at != last; ++at) {
      bool flip = own.strand() != at->strand();
      int64_t own_position = flip ? length - k - own.position() : own.position();
      votes.push_back({at->read, flip, int64_t{at->position()} - own_position});
    }
  });
  std::sort(votes.begin(), votes.end(), [](const ContigVote& a, const ContigVote& b) {
    return std::tie(a.contig, a.flip, a.offset) < std::tie(b.contig, b.flip, b.offset);
  });
  size_t merged = 0;
  for (size_t i = 0; i < votes.size(); ++i) {
    if (merged && votes[merged - 1].contig == votes[i].contig && votes[merged - 1].flip == votes[i].flip &&
        votes[merged - 1].offset == votes[i].offset)
      ++votes[merged - 1].votes;
    else
      votes[merged++] = votes[i];
  }
  votes.resize(merged);
  std::stable_sort(votes.begin(), votes.end(), [](const ContigVote& a, const ContigVote& b) { return a.votes > b.votes; });
  constexpr size_t kMaxChecked = 4;
  for (size_t i = 0; i < std::min(votes.size(), kMaxChecked); ++i) {
    const ContigVote& vote = votes[i];
    if (matches_contig(read, vote.flip, contigs.contig(vote.contig), vote.offset, params))
      return ContigHit{vote.contig, vote.offset, vote.flip};
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<std::optional<ContigHit>>> place_on_contigs(const std::vector<ByteSpan>& reads,
                                                               const dna::ReferenceSet& contigs,
                                                               const ReorderParams& params, WorkerPool& pool) {
  if (contigs.contig_count() >= UINT32_MAX) return fail(ArchiveError::malformed("too many contigs to place reads on"));
  std::vector<Minimizer> index = contig_minimizers(contigs, params, pool);
  std::vector<std::optional<ContigHit>> hits(reads.size());
  size_t tasks = (reads.size() + kReadsPerTask - 1) / kReadsPerTask;
  pool.parallel_for(tasks, [&](size_t t) {
    std::vector<ContigVote> votes;
    for (size_t r = t * kReadsPerTask; r < std::min(reads.size(), (t + 1) * kReadsPerTask); ++r)
      hits[r] = place_read(reads[r], contigs, index, params, votes);
  });
  return hits;
}

Result<ReadOrder> order_reads(const std::vector<ByteSpan>& reads, const ReorderParams& params, WorkerPool& pool) {
  if (reads.size() >= UINT32_MAX) return fail(ArchiveError::malformed("too many reads to reorder"));
  ContigWalker walker(reads, params, build_index(reads, params, pool));
  return walker.walk();
}

}  // namespace zelk::reorder
