#include "zelk-longread/aligner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <tuple>

#include "zelk-dna/dna.h"

namespace zelk::longread {

namespace {

// Seeds: 15-mers, the smallest hash of every 10 consecutive ones.
constexpr unsigned kSeedLength = 15;
constexpr unsigned kWindow = 10;
constexpr uint32_t kKeyMask = (1u << (2 * kSeedLength)) - 1;
constexpr uint32_t kNoSeed = UINT32_MAX;
constexpr uint32_t kReverseBit = 1u << 31;
// Positions share their word with the reverse bit: longer sequences are
// neither indexed nor looked up, so they never align.
constexpr size_t kMaxSeeded = kReverseBit - 1;
// A seed this common is looked up only in its newest occurrences, so a
// block of near-identical amplicons stays linear.
constexpr unsigned kMaxOccurrences = 128;
// Seeds looked up at once.
constexpr size_t kParallelWalks = 16;

// Chaining: how far back a seed looks for its predecessor, and how far
// apart two chained seeds may lie.
constexpr size_t kLookback = 32;
constexpr int64_t kMaxSeedDistance = 2000;
constexpr int64_t kMaxDiagonalShift = 100;

// Alignment scores: match, mismatch, gap open and gap extension, with the
// band around the seeds' diagonal and the drop that ends an extension.
constexpr int32_t kMatch = 2;
constexpr int32_t kMismatch = -4;
constexpr int32_t kGapOpen = -4;
constexpr int32_t kGapExtend = -2;
constexpr int64_t kBand = 24;
// Between two seeds both ends of the path are fixed, so a narrower band
// around the diagonals joining them suffices.
constexpr int64_t kBandBetweenSeeds = 20;
constexpr int32_t kExtensionDrop = 120;
constexpr uint64_t kMaxCells = uint64_t{1} << 23;
constexpr int32_t kMinusInfinity = INT32_MIN / 4;

// An invertible mix of the seed's bits, so that common low-complexity
// seeds do not always win their window.
uint32_t seed_hash(uint32_t key) {
  uint64_t x = key;
  x = (~x + (x << 21)) & kKeyMask;
  x = x ^ (x >> 24);
  x = ((x + (x << 3)) + (x << 8)) & kKeyMask;
  x = x ^ (x >> 14);
  x = ((x + (x << 2)) + (x << 4)) & kKeyMask;
  x = x ^ (x >> 28);
  x = (x + (x << 31)) & kKeyMask;
  return static_cast<uint32_t>(x);
}

struct Seed {
  uint32_t key;
  uint32_t position;
};

// The seed hash starting at every position (kNoSeed where the 15 bases are
// not all A, C, G or T).
std::vector<uint32_t> seed_hashes(ByteSpan sequence) {
  std::vector<uint32_t> hashes;
  if (sequence.size() < kSeedLength) return hashes;
  hashes.resize(sequence.size() - kSeedLength + 1, kNoSeed);
  uint32_t kmer = 0;
  unsigned valid = 0;
  for (size_t i = 0; i < sequence.size(); ++i) {
    unsigned code = dna::base_code(sequence[i]);
    valid = code < 4 ? valid + 1 : 0;
    kmer = ((kmer << 2) | (code & 3)) & kKeyMask;
    if (valid >= kSeedLength) hashes[i + 1 - kSeedLength] = seed_hash(kmer);
  }
  return hashes;
}

// The leftmost smallest hash of every full window, each position once.
std::vector<Seed> minimizers(ByteSpan sequence) {
  std::vector<uint32_t> hashes = seed_hashes(sequence);
  std::vector<Seed> seeds;
  if (hashes.size() < kWindow) return seeds;
  size_t best = 0;
  bool have_best = false;
  for (size_t end = 0; end < hashes.size(); ++end) {
    size_t begin = end + 1 >= kWindow ? end + 1 - kWindow : 0;
    if (!have_best || best < begin) {
      best = begin;
      for (size_t i = begin + 1; i <= end; ++i)
        if (hashes[i] < hashes[best]) best = i;
      have_best = true;
    } else if (hashes[end] < hashes[best]) {
      best = end;
    }
    if (end + 1 < kWindow || hashes[best] == kNoSeed) continue;
    if (seeds.empty() || seeds.back().position != best) seeds.push_back({hashes[best], static_cast<uint32_t>(best)});
  }
  return seeds;
}

struct Hit {
  uint32_t target;
  uint32_t position;  // with the reverse bit
  uint32_t query;
};

double gap_penalty(int64_t shift) {
  return 0.01 * kSeedLength * static_cast<double>(shift) + 0.5 * std::bit_width(static_cast<uint64_t>(shift));
}

// The best chain through one target's hits, sorted by query position.
Chain best_chain(std::span<const Hit> hits) {
  std::vector<double> score(hits.size());
  std::vector<int64_t> previous(hits.size(), -1);
  size_t best = 0;
  for (size_t i = 0; i < hits.size(); ++i) {
    score[i] = kSeedLength;
    int64_t qi = hits[i].query, ti = hits[i].position & ~kReverseBit;
    for (size_t j = i; j-- > 0 && i - j <= kLookback;) {
      int64_t dq = qi - hits[j].query, dt = ti - (hits[j].position & ~kReverseBit);
      if (dq > kMaxSeedDistance) break;
      if (dq <= 0 || dt <= 0 || dt > kMaxSeedDistance) continue;
      int64_t shift = std::abs(dq - dt);
      if (shift > kMaxDiagonalShift) continue;
      double candidate = score[j] + static_cast<double>(std::min<int64_t>({dq, dt, kSeedLength})) - gap_penalty(shift);
      if (candidate > score[i]) {
        score[i] = candidate;
        previous[i] = static_cast<int64_t>(j);
      }
    }
    if (score[i] > score[best]) best = i;
  }
  Chain chain;
  chain.target = hits[best].target;
  chain.reverse = hits[best].position & kReverseBit;
  chain.score = static_cast<int64_t>(score[best]);
  for (int64_t at = static_cast<int64_t>(best); at >= 0; at = previous[at])
    chain.anchors.push_back({hits[at].query, hits[at].position & ~kReverseBit, kSeedLength});
  std::reverse(chain.anchors.begin(), chain.anchors.end());
  return chain;
}

// Groups `hits` (reordered in place) by target and strand, the groups with
// the most hits first; each group keeps the order its hits were found in.
std::vector<std::span<Hit>> group_hits(std::vector<Hit>& hits) {
  // Open addressing from target and strand to a group: at most half full.
  struct Slot {
    uint64_t id = 0;  // target * 2 + strand, plus 1; 0 when empty
    uint32_t group = 0;
  };
  std::vector<Slot> slots(std::bit_ceil(2 * hits.size() + 2));
  struct Count {
    uint64_t id;
    uint32_t hits = 0;
    uint32_t begin = 0;
  };
  std::vector<Count> counts;
  std::vector<uint32_t> group_of(hits.size());
  for (size_t h = 0; h < hits.size(); ++h) {
    uint64_t id = uint64_t{hits[h].target} * 2 + (hits[h].position >> 31) + 1;
    size_t at = (id * 0x9E3779B97F4A7C15ull) >> 40 & (slots.size() - 1);
    while (slots[at].id != 0 && slots[at].id != id) at = (at + 1) & (slots.size() - 1);
    if (slots[at].id == 0) {
      slots[at] = {id, static_cast<uint32_t>(counts.size())};
      counts.push_back({id});
    }
    group_of[h] = slots[at].group;
    ++counts[slots[at].group].hits;
  }
  uint32_t begin = 0;
  for (Count& count : counts) {
    count.begin = begin;
    begin += count.hits;
  }
  std::vector<Hit> grouped(hits.size());
  std::vector<uint32_t> filled(counts.size(), 0);
  for (size_t h = 0; h < hits.size(); ++h) grouped[counts[group_of[h]].begin + filled[group_of[h]]++] = hits[h];
  hits = std::move(grouped);
  std::sort(counts.begin(), counts.end(),
            [](const Count& a, const Count& b) { return std::tuple(b.hits, a.id) < std::tuple(a.hits, b.id); });
  std::vector<std::span<Hit>> groups;
  groups.reserve(counts.size());
  for (const Count& count : counts) groups.push_back(std::span(hits).subspan(count.begin, count.hits));
  return groups;
}

}  // namespace

void MinimizerIndex::grow() {
  buckets_.assign(std::max<size_t>(1024, buckets_.size() * 2), 0);
  for (size_t i = 0; i < entries_.size(); ++i) entries_[i].next = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    uint32_t& head = buckets_[entries_[i].key & (buckets_.size() - 1)];
    entries_[i].next = head;
    head = static_cast<uint32_t>(i + 1);
  }
}

void MinimizerIndex::insert(const Entry& entry) {
  if (entries_.size() >= buckets_.size()) {
    entries_.push_back(entry);
    grow();
    return;
  }
  uint32_t& head = buckets_[entry.key & (buckets_.size() - 1)];
  entries_.push_back(entry);
  entries_.back().next = head;
  head = static_cast<uint32_t>(entries_.size());
}

void MinimizerIndex::add(uint32_t target, bool reverse, ByteSpan sequence) {
  if (sequence.size() > kMaxSeeded) return;
  for (const Seed& seed : minimizers(sequence))
    insert({seed.key, target, seed.position | (reverse ? kReverseBit : 0), 0});
}

std::vector<Chain> MinimizerIndex::chains(ByteSpan query, size_t limit) const {
  std::vector<Hit> hits;
  if (buckets_.empty() || query.size() > kMaxSeeded) return {};
  // Each step along a bucket is a cache miss: the buckets of several seeds
  // are walked in turn so that their misses overlap. The order of the hits
  // does not matter, chaining sorts them.
  struct Walk {
    Seed seed;
    uint32_t at = 0;  // index + 1 of the next entry, 0 when done
    unsigned found = 0;
  };
  std::vector<Seed> seeds = minimizers(query);
  std::array<Walk, kParallelWalks> walks{};
  size_t next_seed = 0;
  for (bool active = true; active || next_seed < seeds.size();) {
    active = false;
    for (Walk& walk : walks) {
      if ((walk.at == 0 || walk.found == kMaxOccurrences) && next_seed < seeds.size()) {
        walk = {seeds[next_seed], buckets_[seeds[next_seed].key & (buckets_.size() - 1)], 0};
        ++next_seed;
      }
      if (walk.at == 0 || walk.found == kMaxOccurrences) continue;
      active = true;
      const Entry& entry = entries_[walk.at - 1];
      walk.at = entry.next;
      if (walk.at != 0) __builtin_prefetch(&entries_[walk.at - 1]);
      if (entry.key != walk.seed.key) continue;
      hits.push_back({entry.target, entry.position, walk.seed.position});
      ++walk.found;
    }
  }
  // Best first; of equal scores the newest target (the nearest source) and
  // then the forward strand, so the order never depends on the visit order.
  auto better = [](const Chain& a, const Chain& b) {
    return std::tuple(b.score, b.target, a.reverse) < std::tuple(a.score, a.target, b.reverse);
  };
  // A chain scores at most a seed length per hit, so once `limit` chains
  // are known, a target with too few hits to beat the last one is skipped
  // unchained: most targets of a common seed are.
  std::vector<Chain> chains;
  for (std::span<Hit> group : group_hits(hits)) {
    if (chains.size() == limit && static_cast<int64_t>(kSeedLength * group.size()) < chains.back().score) break;
    std::sort(group.begin(), group.end(), [](const Hit& a, const Hit& b) {
      return std::tuple(a.query, a.position) < std::tuple(b.query, b.position);
    });
    chains.push_back(best_chain(group));
    std::sort(chains.begin(), chains.end(), better);
    if (chains.size() > limit) chains.pop_back();
  }
  return chains;
}

namespace {

void append_op(EditScript& script, EditCode code, uint64_t length) {
  while (length > 0) {
    // Ops hold 32-bit lengths; a longer run continues in the next op.
    auto part = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
    if (!script.empty() && script.back().code == code && code != EditCode::Substitution &&
        uint64_t{script.back().length} + part <= UINT32_MAX) {
      script.back().length += part;
    } else {
      script.push_back({code, code == EditCode::Substitution ? 1u : part});
      if (code == EditCode::Substitution) part = 1;
    }
    length -= part;
  }
}

void append_script(EditScript& script, const EditScript& more) {
  for (const EditOp& op : more) append_op(script, op.code, op.length);
}

// A read base matches anything when it is no A, C, G or T: the exceptions
// restore it whatever the reference holds.
bool bases_match(uint8_t query, uint8_t target) { return query == target || dna::base_code(query) == 4; }

// Traceback bits of one cell: how H was reached, and whether the open gaps
// continue.
constexpr uint8_t kFromDiagonal = 0, kFromDeletion = 1, kFromInsertion = 2;
constexpr uint8_t kDeletionExtends = 4, kInsertionExtends = 8;

struct BandedResult {
  EditScript script;  // in order
  uint64_t query_used = 0;
  uint64_t target_used = 0;
};

// Affine-gap alignment of query against target inside the diagonal band
// [low, high] (j - i). Global: ends at the far corner. Extension: starts at
// the near corner and ends at the best cell, stopping once a whole row
// falls `kExtensionDrop` below the best.
// Most calls align a few bases between two seeds: the rows and the
// traceback keep their storage from call to call. Row arrays put column c
// of the band in slot c + 1; the slots around the band's cells stay at
// minus infinity, so neighbours outside it need no test.
struct Workspace {
  std::vector<int32_t> h_prev, h_cur, f_prev, f_cur, diagonal, e, t;
  std::vector<uint8_t> trace;
};

// One row of the band is filled in passes that leave a single cell-to-cell
// chain: the scores of reaching each cell diagonally or by an insertion
// (from the row above only), then the deletion scores along the row, which
// depend on the cell to the left only through t = max(diagonal, insertion)
// (a gap opened after a deletion never beats extending it), then each
// cell's score and traceback bits. The first and last passes vectorise;
// their arrays never overlap. Each pass covers columns [first, last].
constexpr int32_t kOpen = kGapOpen + kGapExtend;

void diagonal_pass(int32_t* __restrict diagonal, const int32_t* __restrict h_prev, const uint8_t* ref_bases,
                   uint8_t read_base, bool wildcard, int64_t first, int64_t last) {
  for (int64_t c = first; c <= last; ++c)
    diagonal[c + 1] = h_prev[c + 1] + (wildcard || read_base == ref_bases[c] ? kMatch : kMismatch);
}

// Values near minus infinity drift by a gap cost per step; the floor keeps
// them far from overflow.
void insertion_pass(int32_t* __restrict f_cur, int32_t* __restrict t, const int32_t* __restrict diagonal,
                    const int32_t* __restrict h_prev, const int32_t* __restrict f_prev, int64_t first, int64_t last) {
  for (int64_t c = first; c <= last; ++c) {
    int32_t f = std::max(std::max(h_prev[c + 2] + kOpen, f_prev[c + 2] + kGapExtend), kMinusInfinity);
    f_cur[c + 1] = f;
    t[c + 1] = std::max(diagonal[c + 1], f);
  }
}

void deletion_pass(int32_t* __restrict e, const int32_t* __restrict t, int64_t first, int64_t last) {
  int32_t deletion = kMinusInfinity;
  for (int64_t c = first; c <= last; ++c) {
    deletion = std::max(std::max(t[c] + kOpen, deletion + kGapExtend), kMinusInfinity);
    e[c + 1] = deletion;
  }
}

void cell_pass(int32_t* __restrict h_cur, uint8_t* __restrict trace, const int32_t* __restrict diagonal,
               const int32_t* __restrict e, const int32_t* __restrict f_cur, const int32_t* __restrict t,
               const int32_t* __restrict h_prev, const int32_t* __restrict f_prev, int64_t first, int64_t last) {
  for (int64_t c = first; c <= last; ++c) {
    int32_t h = std::max(diagonal[c + 1], e[c + 1]);
    uint8_t from = e[c + 1] > diagonal[c + 1] ? kFromDeletion : kFromDiagonal;
    from = f_cur[c + 1] > h ? kFromInsertion : from;
    h_cur[c + 1] = std::max(h, f_cur[c + 1]);
    // Whether the gaps into this cell extend ones open at the cell before
    // (to the left, max(t, e) is its score) or above.
    bool deletion_extends = e[c] + kGapExtend > std::max(t[c], e[c]) + kOpen;
    bool insertion_extends = f_prev[c + 2] + kGapExtend > h_prev[c + 2] + kOpen;
    trace[c] = static_cast<uint8_t>(from | (deletion_extends ? kDeletionExtends : 0) |
                                    (insertion_extends ? kInsertionExtends : 0));
  }
}

BandedResult banded_align(Workspace& work, ByteSpan query, ByteSpan target, int64_t low, int64_t high,
                          bool extension) {
  const int64_t n = static_cast<int64_t>(query.size()), m = static_cast<int64_t>(target.size());
  // Diagonals outside [-n, m] hold no cell: a short gap costs its own size,
  // not the band's.
  low = std::max(low, -n);
  high = std::min(high, m);
  const int64_t width = high - low + 1;
  for (auto* row : {&work.h_prev, &work.h_cur, &work.f_prev, &work.f_cur, &work.diagonal, &work.e, &work.t})
    row->assign(width + 2, kMinusInfinity);
  int32_t *h_prev = work.h_prev.data(), *h_cur = work.h_cur.data();
  int32_t *f_prev = work.f_prev.data(), *f_cur = work.f_cur.data();
  // Grown row by row: an extension usually stops long before the last row.
  std::vector<uint8_t>& trace = work.trace;
  trace.clear();
  int32_t best_score = 0;
  int64_t best_i = 0, best_j = 0;
  for (int64_t i = 0; i <= n; ++i) {
    std::fill(h_cur, h_cur + width + 2, kMinusInfinity);
    std::fill(f_cur, f_cur + width + 2, kMinusInfinity);
    trace.resize(static_cast<size_t>((i + 1) * width));
    const int64_t first = std::max<int64_t>(0, -(i + low)), last = std::min<int64_t>(width - 1, m - i - low);
    // The read base of this row, and the reference base of column c at
    // target[i + low + c - 1].
    const uint8_t read_base = i > 0 ? query[i - 1] : 0;
    const bool wildcard = i > 0 && dna::base_code(read_base) == 4;
    if (first <= last) {
      int32_t *diagonal = work.diagonal.data(), *e = work.e.data(), *t = work.t.data();
      // Column 0 of the matrix has no diagonal predecessor, except the start
      // corner; elsewhere one outside the band or the matrix holds minus
      // infinity, which loses to any reachable cell.
      const bool corner = i + low + first == 0;
      if (corner) diagonal[first + 1] = i == 0 ? 0 : kMinusInfinity;
      diagonal_pass(diagonal, h_prev, target.data() + (i + low - 1), read_base, wildcard, first + corner, last);
      insertion_pass(f_cur, t, diagonal, h_prev, f_prev, first, last);
      t[first] = e[first] = kMinusInfinity;  // left of the band
      deletion_pass(e, t, first, last);
      cell_pass(h_cur, trace.data() + i * width, diagonal, e, f_cur, t, h_prev, f_prev, first, last);
    }
    std::swap(h_prev, h_cur);
    std::swap(f_prev, f_cur);
    if (!extension) continue;
    // Past the band's last column nothing further is reachable.
    if (first > last) break;
    // The row's best cell, the last of equals.
    int32_t row_best = *std::max_element(h_prev + first + 1, h_prev + last + 2);
    int64_t row_best_c = last;
    while (h_prev[row_best_c + 1] != row_best) --row_best_c;
    if (row_best >= best_score) {
      best_score = row_best;
      best_i = i;
      best_j = i + low + row_best_c;
    }
    if (row_best < best_score - kExtensionDrop) break;
  }
  int64_t i = extension ? best_i : n, j = extension ? best_j : m;
  BandedResult result{{}, static_cast<uint64_t>(i), static_cast<uint64_t>(j)};
  EditScript reversed;
  enum { InH, InDeletion, InInsertion } state = InH;
  while (i > 0 || j > 0) {
    uint8_t bits = trace[static_cast<size_t>(i * width + (j - i - low))];
    if (state == InH) {
      uint8_t from = bits & 3;
      if (from == kFromDeletion) {
        state = InDeletion;
      } else if (from == kFromInsertion) {
        state = InInsertion;
      } else {
        reversed.push_back({bases_match(query[i - 1], target[j - 1]) ? EditCode::Match : EditCode::Substitution, 1});
        --i;
        --j;
      }
    } else if (state == InDeletion) {
      reversed.push_back({EditCode::Deletion, 1});
      --j;
      if (!(bits & kDeletionExtends)) state = InH;
    } else {
      reversed.push_back({EditCode::Insertion, 1});
      --i;
      if (!(bits & kInsertionExtends)) state = InH;
    }
  }
  for (auto op = reversed.rbegin(); op != reversed.rend(); ++op) append_op(result.script, op->code, op->length);
  return result;
}

// All of query against all of target; too large a gap for the band is
// coded as an insertion and a deletion.
EditScript align_between(Workspace& work, ByteSpan query, ByteSpan target) {
  EditScript script;
  int64_t n = static_cast<int64_t>(query.size()), m = static_cast<int64_t>(target.size());
  int64_t low = std::min<int64_t>(0, m - n) - kBandBetweenSeeds, high = std::max<int64_t>(0, m - n) + kBandBetweenSeeds;
  if (n == 0 || m == 0 || static_cast<uint64_t>((n + 1) * (high - low + 1)) > kMaxCells) {
    append_op(script, EditCode::Insertion, query.size());
    append_op(script, EditCode::Deletion, target.size());
    return script;
  }
  return banded_align(work, query, target, low, high, false).script;
}

// Extends from the start of both; the query beyond what extends is
// inserted after.
BandedResult extend(Workspace& work, ByteSpan query, ByteSpan target) {
  if (query.empty() || target.empty()) {
    BandedResult result;
    return result;
  }
  return banded_align(work, query, target, -kBand, kBand, true);
}

Bytes reversed(ByteSpan bases) { return Bytes(bases.rbegin(), bases.rend()); }

// Seeds turned into disjoint exact matches, in order on both sequences.
std::vector<Anchor> disjoint_blocks(const std::vector<Anchor>& anchors) {
  std::vector<Anchor> blocks;
  for (Anchor anchor : anchors) {
    if (!blocks.empty()) {
      Anchor& last = blocks.back();
      uint32_t query_end = last.query + last.length, target_end = last.target + last.length;
      bool same_diagonal = anchor.query - last.query == anchor.target - last.target;
      if (same_diagonal && anchor.query <= query_end) {
        last.length = std::max(query_end, anchor.query + anchor.length) - last.query;
        continue;
      }
      uint32_t overlap = std::max(query_end > anchor.query ? query_end - anchor.query : 0,
                                  target_end > anchor.target ? target_end - anchor.target : 0);
      if (overlap >= anchor.length) continue;
      anchor.query += overlap;
      anchor.target += overlap;
      anchor.length -= overlap;
    }
    blocks.push_back(anchor);
  }
  return blocks;
}

unsigned length_bits(uint64_t n) { return std::bit_width(n) + 1; }

// The estimated coded size of one op.
double op_bits(const EditOp& op) {
  switch (op.code) {
    case EditCode::Match: return 2 + length_bits(op.length);
    case EditCode::Substitution: return 5;
    case EditCode::Insertion: return 3 + length_bits(op.length) + 2.0 * op.length;
    case EditCode::Deletion: return 3 + length_bits(op.length);
  }
  return 0;
}

}  // namespace

double raw_bits(uint64_t length) { return 1.95 * static_cast<double>(length); }

std::optional<Alignment> align_through(ByteSpan query, ByteSpan target, const Chain& chain, double give_up_at) {
  Alignment alignment;
  std::vector<Anchor> blocks = disjoint_blocks(chain.anchors);
  EditScript& script = alignment.script;
  // Every op but the last is final (appending only lengthens the last), so
  // their cost is a floor under the whole script's.
  size_t settled = 0;
  auto over_budget = [&] {
    for (; settled + 1 < script.size(); ++settled) alignment.bits += op_bits(script[settled]);
    return alignment.bits >= give_up_at;
  };

  // Before the first seed: extend backwards, insert what does not extend.
  const Anchor& first = blocks.front();
  uint64_t reach = std::min<uint64_t>(first.target, first.query + kBand);
  Bytes query_head = reversed(query.first(first.query));
  Bytes target_head = reversed(target.subspan(first.target - reach, reach));
  Workspace work;
  BandedResult head = extend(work, query_head, target_head);
  alignment.target_start = first.target - head.target_used;
  append_op(script, EditCode::Insertion, first.query - head.query_used);
  for (auto op = head.script.rbegin(); op != head.script.rend(); ++op) append_op(script, op->code, op->length);

  for (size_t b = 0; b < blocks.size(); ++b) {
    if (over_budget()) return std::nullopt;
    const Anchor& block = blocks[b];
    append_op(script, EditCode::Match, block.length);
    uint64_t query_end = block.query + block.length, target_end = block.target + block.length;
    if (b + 1 < blocks.size()) {
      const Anchor& next = blocks[b + 1];
      append_script(script, align_between(work, query.subspan(query_end, next.query - query_end),
                                          target.subspan(target_end, next.target - target_end)));
      continue;
    }
    // After the last seed: extend forwards, insert the rest.
    uint64_t query_left = query.size() - query_end;
    uint64_t target_left = std::min<uint64_t>(target.size() - target_end, query_left + kBand);
    BandedResult tail = extend(work, query.subspan(query_end), target.subspan(target_end, target_left));
    append_script(script, tail.script);
    append_op(script, EditCode::Insertion, query_left - tail.query_used);
  }
  // Nothing after the read's last base is ever decoded.
  while (!script.empty() && script.back().code == EditCode::Deletion) script.pop_back();

  for (; settled < script.size(); ++settled) alignment.bits += op_bits(script[settled]);
  if (alignment.bits >= give_up_at) return std::nullopt;
  return alignment;
}

}  // namespace zelk::longread
