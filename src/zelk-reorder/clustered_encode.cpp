// Encoder of reordered sequence blocks. It replays the decoder's cluster
// model read by read, so every consensus it codes against is the one the
// decoder will hold at that read.
#include <algorithm>
#include <optional>
#include <queue>
#include <unordered_map>

#include "zelk-reorder/clustered.h"
#include "zelk-reorder/clustered_streams.h"
#include "zelk-reorder/clusters.h"
#include "zelk-rans/rans.h"
#include "zelk-sequence/sequence.h"

namespace zelk::reorder {

namespace {

ArchiveError encode_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::ReorderCodec, detail);
}

ArchiveError cluster_too_large() { return encode_error("cluster too large to allocate"); }

// Where a coded read sits, so later reads can anchor on it. Clusters are
// numbered in the order they were started; version 2 keeps only the last.
struct Placement {
  size_t cluster = SIZE_MAX;  // versions 2 and 3; SIZE_MAX: none
  int64_t offset = 0;
};

// One candidate base string for a read and how well the read fits it.
struct Candidate {
  size_t cluster = 0;    // versions 2 and 3
  uint32_t contig = 0;   // version 4
  int64_t offset = 0;
  size_t covered = 0;
  size_t mismatches = 0;
};

// The last read index that may code against read i's place: the next read
// (which tries the previous read's place) or a later read anchored on it.
std::vector<size_t> last_uses(size_t count, std::span<const ReadPlacement> hints) {
  std::vector<size_t> last(count);
  for (size_t i = 0; i < count; ++i) last[i] = i + 1;
  for (size_t j = 0; j < hints.size(); ++j)
    if (hints[j].anchor < j) last[hints[j].anchor] = std::max(last[hints[j].anchor], j);
  return last;
}

class BlockEncoder {
 public:
  BlockEncoder(const dna::ReferenceSet* reference, const BlockEncodeOptions& options, std::vector<size_t> last_uses)
      : reference_(reference), options_(options), last_uses_(std::move(last_uses)) {}

  Result<void> add(ByteSpan read, const ReadPlacement& hint, std::optional<ByteSpan> previous) {
    ZELK_TRY(add_read(read, hint, previous));
    release_unused_clusters();
    return {};
  }

  Result<Bytes> finish(uint64_t read_count) {
    StreamSet<Bytes> coded;
    coded.ops = rans::rans_encode_best(streams_.ops);
    for (auto member : {&StreamSet<Bytes>::anchors, &StreamSet<Bytes>::offsets, &StreamSet<Bytes>::lengths,
                        &StreamSet<Bytes>::substitution_counts, &StreamSet<Bytes>::substitution_positions,
                        &StreamSet<Bytes>::substitution_bases})
      coded.*member = rans::rans_encode_best(streams_.*member);
    if (options_.version == BlockVersion::Reference) {
      coded.novel = rans::rans_encode_best(streams_.novel);
    } else {
      dna::SequenceBlock novel;
      if (!streams_.novel.empty()) novel.read_lengths.push_back(static_cast<uint32_t>(streams_.novel.size()));
      novel.bases = std::move(streams_.novel);
      coded.novel = ZELK_TRY(encode_bases(novel));
      coded.literals = ZELK_TRY(encode_bases(literals_));
    }
    Bytes out{static_cast<uint8_t>(options_.version)};
    append_varint(out, read_count);
    append_streams(out, coded, options_.version);
    return out;
  }

 private:
  Result<void> add_read(ByteSpan read, const ReadPlacement& hint, std::optional<ByteSpan> previous) {
    if (previous && std::ranges::equal(read, *previous)) {
      streams_.ops.push_back(static_cast<uint8_t>(ReadOp::Copy));
      placements_.push_back(placements_.back());
      return {};
    }
    if (options_.version == BlockVersion::Reference) return add_against_reference(read, hint);
    std::optional<Candidate> best = best_cluster_candidate(read, hint);
    if (!best) return add_literal(read);
    return add_to_cluster(read, *best);
  }

  // The decoder keeps every cluster, but the encoder needs a cluster's
  // columns only while a later read may still code against it: without
  // this, a block of reads that overlap nothing would hold twenty bytes per
  // base.
  void release_unused_clusters() {
    size_t read = placements_.size() - 1;
    size_t cluster = placements_.back().cluster;
    if (cluster != SIZE_MAX && options_.version == BlockVersion::AnyCluster) {
      if (cluster_last_use_.size() <= cluster) cluster_last_use_.resize(cluster + 1, 0);
      if (last_uses_.size() > read && last_uses_[read] > cluster_last_use_[cluster]) {
        cluster_last_use_[cluster] = last_uses_[read];
        expiring_.push({last_uses_[read], cluster});
      }
    }
    while (!expiring_.empty() && expiring_.top().first <= read) {
      auto [last_use, expired] = expiring_.top();
      expiring_.pop();
      if (cluster_last_use_[expired] == last_use) clusters_[expired].release();
    }
  }

  // The clusters already hold the copies; what is left is novel bases,
  // which the context model codes without a trial of the copying codecs.
  static Result<Bytes> encode_bases(const dna::SequenceBlock& block) {
    seq::SequenceEncodeOptions options;
    options.method = static_cast<uint8_t>(seq::SequenceMethod::ContextModel);
    return seq::encode_sequence_stream(block, options);
  }

  // Scores `read` at `offset` of a base string read through `base_at`.
  template <class BaseAt>
  Candidate score(ByteSpan read, int64_t offset, size_t base_size, BaseAt&& base_at) const {
    Candidate candidate;
    candidate.offset = offset;
    candidate.covered = std::min<size_t>(base_size - offset, read.size());
    for (size_t j = 0; j < candidate.covered; ++j) candidate.mismatches += read[j] != base_at(offset + j);
    return candidate;
  }

  bool acceptable(const Candidate& candidate) const {
    return candidate.mismatches * 16 <= candidate.covered * options_.max_substitutions_per_16;
  }

  // The cluster and offset with the fewest substitutions among the hint's
  // anchor and the previous read's place; none when neither fits.
  std::optional<Candidate> best_cluster_candidate(ByteSpan read, const ReadPlacement& hint) const {
    std::optional<Candidate> best;
    auto consider = [&](size_t cluster, int64_t offset) {
      if (cluster >= started_clusters_ || offset < 0) return;
      if (options_.version == BlockVersion::CurrentCluster && cluster != started_clusters_ - 1) return;
      const Cluster& base = cluster_at(cluster);
      if (base.released() || static_cast<uint64_t>(offset) > base.size()) return;
      Candidate candidate = score(read, offset, base.size(), [&](size_t p) { return base.consensus(p); });
      candidate.cluster = cluster;
      if (!acceptable(candidate)) return;
      if (!best || candidate.mismatches < best->mismatches) best = candidate;
    };
    if (hint.anchor != ReadPlacement::kNoAnchor && hint.anchor < placements_.size()) {
      const Placement& anchor = placements_[hint.anchor];
      consider(anchor.cluster, anchor.offset + hint.shift);
    }
    if (!placements_.empty()) consider(placements_.back().cluster, placements_.back().offset);
    return best;
  }

  Result<void> add_literal(ByteSpan read) {
    streams_.ops.push_back(static_cast<uint8_t>(ReadOp::Literal));
    literals_.read_lengths.push_back(static_cast<uint32_t>(read.size()));
    append_bytes(literals_.bases, read);
    Cluster cluster;
    ZELK_TRY(cluster.learn(0, read, cluster_too_large));
    if (options_.version == BlockVersion::CurrentCluster) {
      clusters_.assign(1, std::move(cluster));
      running_offsets_.assign(1, 0);
    } else {
      clusters_.push_back(std::move(cluster));
      running_offsets_.push_back(0);
    }
    placements_.push_back({started_clusters_++, 0});
    return {};
  }

  Result<void> add_to_cluster(ByteSpan read, const Candidate& chosen) {
    streams_.ops.push_back(static_cast<uint8_t>(ReadOp::Aligned));
    if (options_.version == BlockVersion::AnyCluster)
      append_varint(streams_.anchors, started_clusters_ - 1 - chosen.cluster);
    int64_t& running = running_offsets_[slot(chosen.cluster)];
    append_varint(streams_.offsets, zigzag_encode(chosen.offset - running));
    running = chosen.offset;
    Cluster& cluster = clusters_[slot(chosen.cluster)];
    append_aligned_body(read, chosen, [&](size_t p) { return cluster.consensus(p); });
    ZELK_TRY(cluster.learn(static_cast<size_t>(chosen.offset), read, cluster_too_large));
    placements_.push_back({chosen.cluster, chosen.offset});
    return {};
  }

  Result<void> add_against_reference(ByteSpan read, const ReadPlacement& hint) {
    if (reference_->contig_count() == 0) return fail(encode_error("version 4 needs at least one reference contig"));
    Candidate chosen;
    chosen.contig = static_cast<uint32_t>(std::min<uint64_t>(contig_id_, reference_->contig_count() - 1));
    bool hit = false;
    if (hint.contig_offset >= 0 && hint.contig < reference_->contig_count()) {
      ByteSpan contig = reference_->contig(hint.contig);
      if (static_cast<uint64_t>(hint.contig_offset) <= contig.size()) {
        Candidate candidate = score(read, hint.contig_offset, contig.size(), [&](size_t p) { return contig[p]; });
        candidate.contig = hint.contig;
        if (acceptable(candidate)) {
          chosen = candidate;
          hit = true;
        }
      }
    }
    ByteSpan contig = reference_->contig(chosen.contig);
    // No fitting hit: the read is all novel bases, past the end of a contig.
    if (!hit) chosen.offset = static_cast<int64_t>(contig.size());
    streams_.ops.push_back(static_cast<uint8_t>(ReadOp::Aligned));
    append_varint(streams_.anchors, zigzag_encode(static_cast<int64_t>(chosen.contig) - static_cast<int64_t>(contig_id_)));
    contig_id_ = chosen.contig;
    int64_t& running = contig_offsets_[chosen.contig];
    append_varint(streams_.offsets, zigzag_encode(chosen.offset - running));
    running = chosen.offset;
    append_aligned_body(read, chosen, [&](size_t p) { return contig[p]; });
    placements_.push_back({});
    return {};
  }

  // Length, substitutions and novel tail of an aligned read.
  template <class BaseAt>
  void append_aligned_body(ByteSpan read, const Candidate& chosen, BaseAt&& base_at) {
    append_varint(streams_.lengths, read.size());
    auto offset = static_cast<size_t>(chosen.offset);
    uint64_t count = 0;
    size_t last = 0;
    for (size_t j = 0; j < chosen.covered; ++j) {
      if (read[j] == base_at(offset + j)) continue;
      append_varint(streams_.substitution_positions, j - last);
      streams_.substitution_bases.push_back(read[j]);
      last = j;
      ++count;
    }
    append_varint(streams_.substitution_counts, count);
    append_bytes(streams_.novel, read.subspan(chosen.covered));
  }

  // Where cluster number `cluster` is held (version 2 holds only the last).
  size_t slot(size_t cluster) const {
    return options_.version == BlockVersion::CurrentCluster ? 0 : cluster;
  }
  const Cluster& cluster_at(size_t cluster) const { return clusters_[slot(cluster)]; }

  const dna::ReferenceSet* reference_;
  BlockEncodeOptions options_;
  size_t started_clusters_ = 0;
  StreamSet<Bytes> streams_;  // raw (uncoded) stream contents
  dna::SequenceBlock literals_;
  std::vector<Cluster> clusters_;
  std::vector<int64_t> running_offsets_;
  std::vector<Placement> placements_;
  uint64_t contig_id_ = 0;
  std::unordered_map<uint32_t, int64_t> contig_offsets_;
  std::vector<size_t> last_uses_;         // per read, from the placements
  std::vector<size_t> cluster_last_use_;  // per cluster: the last read that may use it
  // (last use, cluster), soonest first; stale entries are skipped.
  std::priority_queue<std::pair<size_t, size_t>, std::vector<std::pair<size_t, size_t>>, std::greater<>> expiring_;
};

}  // namespace

Result<Bytes> encode_sequence_block(const dna::SequenceBlock& reads, std::span<const ReadPlacement> placements,
                                    const dna::ReferenceSet* reference, const BlockEncodeOptions& options) {
  if (options.version == BlockVersion::Reference && !reference)
    return fail(encode_error("version-4 block without reference"));
  if (reads.read_lengths.size() > kMaxBlockReads) return fail(encode_error("read count exceeds decode limit"));
  if (reads.bases.size() > kMaxBlockBases) return fail(encode_error("reconstructed output exceeds decode limit"));
  BlockEncoder encoder(reference, options, last_uses(reads.read_lengths.size(), placements));
  static const ReadPlacement kNoHint;
  size_t start = 0;
  std::optional<ByteSpan> previous;
  for (size_t i = 0; i < reads.read_lengths.size(); ++i) {
    uint32_t length = reads.read_lengths[i];
    if (length > kMaxReadLength) return fail(encode_error("read length implausibly large"));
    ByteSpan read = ByteSpan(reads.bases).subspan(start, length);
    ZELK_TRY(encoder.add(read, placements.empty() ? kNoHint : placements[i], previous));
    previous = read;
    start += length;
  }
  return encoder.finish(reads.read_lengths.size());
}

}  // namespace zelk::reorder
