// Decoder of reordered sequence blocks: every stream decoded whole, then
// one pass over the reads that only walks byte cursors.
#include <algorithm>
#include <unordered_map>

#include "zelk-reorder/clustered.h"
#include "zelk-reorder/clusters.h"
#include "zelk-reorder/clustered_streams.h"
#include "zelk-rans/rans.h"
#include "zelk-sequence/sequence.h"

namespace zelk::reorder {

namespace {

ArchiveError block_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::ReorderCodec, detail);
}

ArchiveError as_reorder_error(ArchiveError error) { return std::move(error).as_kind(ErrorKind::ReorderCodec); }

uint64_t saturating_times_ten(uint64_t n) { return n > UINT64_MAX / 10 ? UINT64_MAX : n * 10; }

Result<Bytes> decode_rans(ByteSpan coded, uint64_t bound) {
  auto decoded = rans::rans_decode(coded, bound);
  if (!decoded) return fail(as_reorder_error(std::move(decoded).error()));
  return std::move(*decoded);
}

Result<dna::SequenceBlock> decode_bases(ByteSpan coded) {
  auto decoded = seq::decode_sequence_stream(coded);
  if (!decoded) return fail(as_reorder_error(std::move(decoded).error()));
  return std::move(*decoded);
}

// The decoded streams of one block.
struct BlockStreams {
  Bytes ops;
  Bytes anchors;  // version 3: cluster back-references; version 4: contig-id deltas
  Bytes offsets;
  Bytes lengths;
  Bytes substitution_counts;
  Bytes substitution_positions;
  Bytes substitution_bases;
  Bytes novel;
  dna::SequenceBlock literals;
};

Result<BlockStreams> decode_streams(ByteCursor& in, BlockVersion version, uint64_t reads) {
  RawStreams raw = ZELK_TRY(split_streams(in, version));
  uint64_t ten_n = saturating_times_ten(reads);
  BlockStreams out;
  out.ops = ZELK_TRY(decode_rans(raw.ops, reads));
  if (version != BlockVersion::CurrentCluster) out.anchors = ZELK_TRY(decode_rans(raw.anchors, ten_n));
  out.offsets = ZELK_TRY(decode_rans(raw.offsets, ten_n));
  out.lengths = ZELK_TRY(decode_rans(raw.lengths, ten_n));
  out.substitution_counts = ZELK_TRY(decode_rans(raw.substitution_counts, ten_n));
  out.substitution_bases = ZELK_TRY(decode_rans(raw.substitution_bases, kMaxBlockBases));
  out.substitution_positions =
      ZELK_TRY(decode_rans(raw.substitution_positions, saturating_times_ten(out.substitution_bases.size())));
  if (version == BlockVersion::Reference) {
    out.novel = ZELK_TRY(decode_rans(raw.novel, kMaxBlockBases));
  } else {
    out.novel = ZELK_TRY(decode_bases(raw.novel)).bases;
    out.literals = ZELK_TRY(decode_bases(raw.literals));
  }
  return out;
}

// A cursor over a decoded stream of varints.
class VarintStream {
 public:
  explicit VarintStream(ByteSpan data) : cursor_(data) {}
  Result<uint64_t> next() {
    return read_varint(cursor_, [] { return block_error("varint too long"); });
  }

 private:
  ByteCursor cursor_;
};

// A cursor over a decoded stream of bytes; `underrun` names the failure.
class ByteStream {
 public:
  ByteStream(ByteSpan data, std::string_view underrun) : cursor_(data), underrun_(underrun) {}
  Result<ByteSpan> take(uint64_t n) {
    auto bytes = cursor_.take(n);
    if (!bytes) return fail(block_error(underrun_));
    return *bytes;
  }

 private:
  ByteCursor cursor_;
  std::string_view underrun_;
};

// The read loop's state: where reads go and what they are coded against.
class BlockDecoder {
 public:
  BlockDecoder(const BlockStreams& streams, BlockVersion version, const dna::ReferenceSet* reference)
      : version_(version),
        reference_(reference),
        anchors_(streams.anchors),
        offsets_(streams.offsets),
        lengths_(streams.lengths),
        counts_(streams.substitution_counts),
        positions_(streams.substitution_positions),
        substitution_bases_(streams.substitution_bases, "subs underrun"),
        novel_(streams.novel, version == BlockVersion::Reference ? "tail underrun" : "novel underrun"),
        literal_data_(streams.literals.bases, "lit data underrun"),
        literal_lengths_(streams.literals.read_lengths) {}

  Result<void> decode_read(uint8_t op) {
    switch (op) {
      case static_cast<uint8_t>(ReadOp::Copy):
        ZELK_TRY(copy_previous());
        break;
      case static_cast<uint8_t>(ReadOp::Literal):
        if (version_ == BlockVersion::Reference) return fail(block_error("unknown op"));
        ZELK_TRY(literal());
        break;
      case static_cast<uint8_t>(ReadOp::Aligned):
        ZELK_TRY(aligned());
        break;
      default:
        return fail(block_error("unknown op"));
    }
    if (out_.bases.size() > kMaxBlockBases) return fail(block_error("reconstructed output exceeds decode limit"));
    return {};
  }

  dna::SequenceBlock take() { return std::move(out_); }

 private:
  // Grows the output by one read of `length` bytes and returns it.
  Result<std::span<uint8_t>> start_read(uint64_t length) {
    size_t start = out_.bases.size();
    ZELK_TRY(resize_checked(out_.bases, start + length, [] { return block_error("read length too large to allocate"); }));
    out_.read_lengths.push_back(static_cast<uint32_t>(length));
    return std::span<uint8_t>(out_.bases).subspan(start);
  }

  Result<void> copy_previous() {
    if (out_.read_lengths.empty()) return fail(block_error("MATCH with no previous"));
    uint32_t length = out_.read_lengths.back();
    size_t previous = out_.bases.size() - length;
    std::span<uint8_t> read = ZELK_TRY(start_read(length));
    std::copy_n(out_.bases.data() + previous, length, read.data());
    return {};
  }

  Result<void> literal() {
    if (next_literal_ == literal_lengths_.size()) return fail(block_error("lit len underrun"));
    uint32_t length = literal_lengths_[next_literal_++];
    ByteSpan data = ZELK_TRY(literal_data_.take(length));
    std::span<uint8_t> read = ZELK_TRY(start_read(length));
    std::ranges::copy(data, read.begin());
    Cluster cluster;
    ZELK_TRY(cluster.learn(0, read, cluster_too_large));
    if (version_ == BlockVersion::CurrentCluster) {
      clusters_.assign(1, std::move(cluster));
      running_offsets_.assign(1, 0);
    } else {
      clusters_.push_back(std::move(cluster));
      running_offsets_.push_back(0);
    }
    return {};
  }

  // The cluster (or null for a contig) and offset an aligned read starts at.
  struct BaseString {
    Cluster* cluster = nullptr;
    ByteSpan contig;
    int64_t offset = 0;
    size_t size() const { return cluster ? cluster->size() : contig.size(); }
  };

  static int64_t advance(int64_t& running, uint64_t zigzag_delta) {
    running = static_cast<int64_t>(static_cast<uint64_t>(running) + static_cast<uint64_t>(zigzag_decode(zigzag_delta)));
    return running;
  }

  Result<BaseString> choose_base_string() {
    BaseString base;
    switch (version_) {
      case BlockVersion::CurrentCluster: {
        if (clusters_.empty()) {  // reads before any literal extend an empty cluster
          clusters_.emplace_back();
          running_offsets_.push_back(0);
        }
        base.cluster = &clusters_.back();
        base.offset = advance(running_offsets_.back(), ZELK_TRY(offsets_.next()));
        break;
      }
      case BlockVersion::AnyCluster: {
        uint64_t back = ZELK_TRY(anchors_.next());
        if (back >= clusters_.size()) return fail(block_error("contig back-reference out of range"));
        size_t c = clusters_.size() - 1 - back;
        base.cluster = &clusters_[c];
        base.offset = advance(running_offsets_[c], ZELK_TRY(offsets_.next()));
        break;
      }
      case BlockVersion::Reference: {
        contig_id_ += static_cast<uint64_t>(zigzag_decode(ZELK_TRY(anchors_.next())));
        if (contig_id_ > UINT32_MAX) return fail(block_error("bad contig id"));
        if (contig_id_ >= reference_->contig_count()) return fail(block_error("contig id out of range"));
        auto id = static_cast<uint32_t>(contig_id_);
        base.contig = reference_->contig(id);
        base.offset = advance(contig_offsets_[id], ZELK_TRY(offsets_.next()));
        break;
      }
    }
    if (base.offset < 0) return fail(block_error("bad contig offset"));
    return base;
  }

  Result<void> aligned() {
    BaseString base = ZELK_TRY(choose_base_string());
    uint64_t length = ZELK_TRY(lengths_.next());
    if (length > kMaxReadLength) return fail(block_error("read length implausibly large"));
    std::span<uint8_t> read = ZELK_TRY(start_read(length));
    auto offset = static_cast<uint64_t>(base.offset);
    if (offset > base.size()) return fail(block_error("contig offset past reference"));
    size_t covered = std::min<uint64_t>(base.size() - offset, length);
    if (base.cluster)
      base.cluster->copy_consensus(offset, read.first(covered));
    else
      std::copy_n(base.contig.data() + offset, covered, read.data());
    ZELK_TRY(apply_substitutions(read));
    ByteSpan tail = ZELK_TRY(novel_.take(length - covered));
    std::ranges::copy(tail, read.begin() + covered);
    if (base.cluster) ZELK_TRY(base.cluster->learn(offset, read, cluster_too_large));
    return {};
  }

  Result<void> apply_substitutions(std::span<uint8_t> read) {
    uint64_t count = ZELK_TRY(counts_.next());
    uint64_t position = 0;
    for (uint64_t s = 0; s < count; ++s) {
      uint64_t step = ZELK_TRY(positions_.next());
      ByteSpan base = ZELK_TRY(substitution_bases_.take(1));
      if (__builtin_add_overflow(position, step, &position) || position >= read.size())
        return fail(block_error("mismatch position out of range"));
      read[position] = base[0];
    }
    return {};
  }

  static ArchiveError cluster_too_large() { return block_error("cluster too large to allocate"); }

  BlockVersion version_;
  const dna::ReferenceSet* reference_;
  VarintStream anchors_, offsets_, lengths_, counts_, positions_;
  ByteStream substitution_bases_, novel_, literal_data_;
  std::span<const uint32_t> literal_lengths_;
  size_t next_literal_ = 0;
  // Versions 2 and 3: the clusters (version 2 keeps only the current one)
  // and the running offset of each.
  std::vector<Cluster> clusters_;
  std::vector<int64_t> running_offsets_;
  // Version 4.
  uint64_t contig_id_ = 0;
  std::unordered_map<uint32_t, int64_t> contig_offsets_;
  dna::SequenceBlock out_;
};

}  // namespace

Result<dna::SequenceBlock> decode_sequence_block(ByteSpan payload, const dna::ReferenceSet* reference) {
  ByteCursor in(payload);
  auto version_byte = in.take_u8();
  if (!version_byte || *version_byte < 2 || *version_byte > 4) return fail(block_error("unsupported version"));
  auto version = static_cast<BlockVersion>(*version_byte);
  if (version == BlockVersion::Reference && !reference) return fail(block_error("version-4 block without reference"));
  uint64_t reads = ZELK_TRY(read_varint(in, [] { return block_error("varint too long"); }));
  if (reads > kMaxBlockReads) return fail(block_error("read count exceeds decode limit"));
  BlockStreams streams = ZELK_TRY(decode_streams(in, version, reads));

  BlockDecoder decoder(streams, version, reference);
  for (uint64_t i = 0; i < reads; ++i) {
    if (i >= streams.ops.size()) return fail(block_error("op underrun"));
    ZELK_TRY(decoder.decode_read(streams.ops[i]));
  }
  return decoder.take();
}

}  // namespace zelk::reorder
