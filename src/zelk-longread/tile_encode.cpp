// Writing "LRT" payloads: each read copied, with edits, from the earlier
// read of the block it aligns to best, on either strand, or stored raw.
#include <algorithm>
#include <unordered_map>

#include "zelk-base/xxh3.h"
#include "zelk-dna/dna.h"
#include "zelk-longread/block_parts.h"
#include "zelk-longread/edit_script.h"
#include "zelk-longread/longread.h"
#include "zelk-longread/overlap_format.h"
#include "zelk-longread/placement.h"
#include "zelk-rans/rans.h"

namespace zelk::longread {

namespace {

// Source chains tried per read (either strand).
constexpr size_t kCandidates = 6;
// A stretch of at least this many bases that the chosen source does not
// cover is tiled from another source, at most this many times over.
constexpr uint64_t kMinSplit = 32;
constexpr unsigned kMaxSplitDepth = 4;

// A tile as chosen: `length` bases of the block from `at`, raw or copied
// from the read `distance` back.
struct Tile {
  uint64_t at;
  uint64_t length;
  uint64_t distance = kRawTile;
  bool reverse = false;
  uint64_t offset = 0;
  EditScript script;
};

// The tile streams in the order the payload holds them.
struct TileStreams {
  Bytes distances, copy_lengths, strands, source_offsets, raw_lengths, raw_codes;
  EditScriptEncoder edits;

  void add_raw(ByteSpan bases) {
    append_varint(distances, kRawTile);
    append_varint(raw_lengths, bases.size());
    for (uint8_t base : bases) raw_codes.push_back(raw_code(base));
  }

  // A copy of `ref` (the source from `offset`) edited into `bases`.
  void add_copy(const Tile& tile, uint64_t offset, ByteSpan ref, ByteSpan bases, const EditScript& script) {
    append_varint(distances, tile.distance);
    append_varint(copy_lengths, bases.size());
    strands.push_back(tile.reverse);
    append_varint(source_offsets, offset);
    edits.add(ref, bases, script);
  }

  // The copy split at every insertion and deletion: inserted bases become
  // raw tiles, deleted ones a jump in the next copy's offset. In blocks
  // with few indels this leaves the indel streams empty, which saves more
  // than the extra tiles cost.
  void add_copy_without_indels(const Tile& tile, ByteSpan source, ByteSpan bases) {
    EditScript piece;
    uint64_t ref_at = 0, piece_ref_at = 0, read_at = 0, piece_read_at = 0;
    auto flush = [&] {
      if (read_at > piece_read_at)
        add_copy(tile, tile.offset + piece_ref_at, source.subspan(tile.offset + piece_ref_at),
                 bases.subspan(piece_read_at, read_at - piece_read_at), piece);
      piece.clear();
    };
    for (const EditOp& op : tile.script) {
      if (op.code == EditCode::Insertion || op.code == EditCode::Deletion) {
        flush();
        if (op.code == EditCode::Insertion) add_raw(bases.subspan(read_at, op.length));
        (op.code == EditCode::Insertion ? read_at : ref_at) += op.length;
        piece_read_at = read_at;
        piece_ref_at = ref_at;
        continue;
      }
      piece.push_back(op);
      read_at += op.length;
      ref_at += op.length;
    }
    flush();
  }

  void append_to(Bytes& payload) {
    for (const Bytes* stream : {&distances, &copy_lengths, &strands, &source_offsets, &raw_lengths})
      rans::append_framed(payload, *stream);
    edits.append_to(payload);
    rans::append_framed(payload, raw_codes);
  }
};

// Tiles each read of a block in order, from what the decoder will already
// have written.
class Tiler {
 public:
  explicit Tiler(const dna::SequenceBlock& block)
      : block_(block), offsets_(read_offsets(block.read_lengths)), decoded_(block.bases.size()) {}

  // The smaller of the tiles written as chosen and written without indels.
  Bytes encode() {
    for (uint32_t r = 0; r < block_.read_lengths.size(); ++r) tile_read(r);
    Bytes with_indels = payload(false), without_indels = payload(true);
    return without_indels.size() < with_indels.size() ? without_indels : with_indels;
  }

 private:
  Bytes payload(bool without_indels) const {
    TileStreams streams;
    for (const Tile& tile : tiles_) {
      ByteSpan bases = ByteSpan(block_.bases).subspan(tile.at, tile.length);
      if (tile.distance == kRawTile) {
        streams.add_raw(bases);
        continue;
      }
      Bytes source = source_strand(tile);
      if (without_indels)
        streams.add_copy_without_indels(tile, source, bases);
      else
        streams.add_copy(tile, tile.offset, ByteSpan(source).subspan(tile.offset), bases, tile.script);
    }
    Bytes payload;
    append_magic(payload, kTileMagic, kTileVersion);
    append_shape(payload, block_);
    streams.append_to(payload);
    append_exceptions(payload, decoded_, block_.bases);
    pad_to_capacity(payload, block_.bases.size());
    return payload;
  }

  // The source read of a copy as the decoder sees it. The tile's read is
  // the last one starting at or before it (tiles lie in non-empty reads).
  Bytes source_strand(const Tile& tile) const {
    size_t read = std::upper_bound(offsets_.begin(), offsets_.end(), tile.at) - offsets_.begin() - 1;
    ByteSpan source = decoded(static_cast<uint32_t>(read - tile.distance));
    return tile.reverse ? dna::reverse_complement(source) : Bytes(source.begin(), source.end());
  }

  void add_raw(uint64_t at, uint64_t length) {
    for (uint64_t i = at; i < at + length; ++i) decoded_[i] = dna::code_base(raw_code(block_.bases[i]));
    tiles_.push_back({at, length, kRawTile, false, 0, {}});
  }

  void add_copy(uint64_t at, uint64_t length, uint64_t distance, bool reverse, uint64_t offset, ByteSpan ref,
                EditScript script) {
    Bytes rebuilt = apply_edits(ref, ByteSpan(block_.bases).subspan(at, length), script);
    std::copy(rebuilt.begin(), rebuilt.end(), decoded_.begin() + at);
    tiles_.push_back({at, length, distance, reverse, offset, std::move(script)});
  }

  ByteSpan original(uint32_t r) const {
    return ByteSpan(block_.bases).subspan(offsets_[r], block_.read_lengths[r]);
  }
  ByteSpan decoded(uint32_t r) const { return ByteSpan(decoded_).subspan(offsets_[r], block_.read_lengths[r]); }

  void tile_read(uint32_t r) {
    if (!copy_duplicate(r)) tile_segment(r, offsets_[r], block_.read_lengths[r], 0);
    ByteSpan written = decoded(r);
    Bytes flipped = dna::reverse_complement(written);
    index_.add(r, false, written);
    index_.add(r, true, flipped);
    // The newest copy of a read is the nearest source for its duplicates.
    duplicates_[xxh3_64(written)] = {r, false};
    duplicates_[xxh3_64(flipped)] = {r, true};
  }

  // A read equal to an earlier one (on either strand) is one whole match.
  bool copy_duplicate(uint32_t r) {
    ByteSpan read = original(r);
    auto found = duplicates_.find(xxh3_64(read));
    if (read.empty() || found == duplicates_.end()) return false;
    auto [source, reverse] = found->second;
    Bytes flipped = reverse ? dna::reverse_complement(decoded(source)) : Bytes{};
    ByteSpan ref = reverse ? ByteSpan(flipped) : decoded(source);
    if (!std::equal(ref.begin(), ref.end(), read.begin(), read.end())) return false;
    add_copy(offsets_[r], read.size(), r - source, reverse, 0, ref, {{EditCode::Match, static_cast<uint32_t>(read.size())}});
    return true;
  }

  // Tiles `length` bases of read `r` from `at` from their best source; a
  // long stretch the source does not cover (an insertion in its script) is
  // tiled on its own, from another source or raw.
  void tile_segment(uint32_t r, uint64_t at, uint64_t length, unsigned depth) {
    if (length == 0) return;
    ByteSpan segment = ByteSpan(block_.bases).subspan(at, length);
    std::vector<Chain> chains = index_.chains(segment, kCandidates);
    std::vector<Bytes> flipped(chains.size());
    for (size_t c = 0; c < chains.size(); ++c)
      if (chains[c].reverse) flipped[c] = dna::reverse_complement(decoded(chains[c].target));
    auto target_of = [&](size_t c) { return chains[c].reverse ? ByteSpan(flipped[c]) : decoded(chains[c].target); };
    auto best = cheapest_alignment(chains, [&](size_t) { return segment; }, target_of);
    if (!best) return add_raw(at, length);
    const Chain& chain = chains[best->chain];
    ByteSpan target = target_of(best->chain);
    const uint64_t start = best->alignment.target_start;
    // The script in pieces between the insertions tiled on their own.
    EditScript piece;
    uint64_t read_at = 0, ref_at = 0, piece_read_at = 0, piece_ref_at = 0;
    auto flush = [&] {
      // Deletions at either end of a piece only move its offset.
      while (!piece.empty() && piece.back().code == EditCode::Deletion) piece.pop_back();
      size_t skipped = 0;
      for (; skipped < piece.size() && piece[skipped].code == EditCode::Deletion; ++skipped)
        piece_ref_at += piece[skipped].length;
      piece.erase(piece.begin(), piece.begin() + skipped);
      if (read_at > piece_read_at)
        add_copy(at + piece_read_at, read_at - piece_read_at, r - chain.target, chain.reverse, start + piece_ref_at,
                 target.subspan(start + piece_ref_at), std::move(piece));
      piece.clear();
    };
    for (const EditOp& op : best->alignment.script) {
      if (op.code == EditCode::Insertion && op.length >= kMinSplit && depth < kMaxSplitDepth) {
        flush();
        tile_segment(r, at + read_at, op.length, depth + 1);
        read_at += op.length;
        piece_read_at = read_at;
        piece_ref_at = ref_at;
        continue;
      }
      piece.push_back(op);
      if (op.code != EditCode::Deletion) read_at += op.length;
      if (op.code != EditCode::Insertion) ref_at += op.length;
    }
    flush();
  }

  const dna::SequenceBlock& block_;
  std::vector<uint64_t> offsets_;
  // What the decoder has written before the exceptions: sources are copied
  // from this, not from the original bases.
  Bytes decoded_;
  // Each decoded read is indexed on both strands, so the forward read finds
  // sources on either.
  MinimizerIndex index_;
  std::unordered_map<uint64_t, std::pair<uint32_t, bool>> duplicates_;
  std::vector<Tile> tiles_;
};

}  // namespace

Result<Bytes> encode_long_read_tiles(const dna::SequenceBlock& block) {
  ZELK_TRY(check_block(block));
  return Tiler(block).encode();
}

}  // namespace zelk::longread
