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
// An uncovered end of at least this many bases is tiled from another
// source, at most this many times over.
constexpr uint64_t kMinSplit = 64;
constexpr unsigned kMaxSplitDepth = 3;

// The tile streams in the order the payload holds them.
struct TileStreams {
  Bytes distances, copy_lengths, strands, source_offsets, raw_lengths, raw_codes;
  EditScriptEncoder edits;

  // A raw tile; `image` receives what the decoder writes.
  void add_raw(ByteSpan bases, uint8_t* image) {
    append_varint(distances, kRawTile);
    append_varint(raw_lengths, bases.size());
    for (size_t i = 0; i < bases.size(); ++i) {
      raw_codes.push_back(raw_code(bases[i]));
      image[i] = dna::code_base(raw_codes.back());
    }
  }

  // A copy of `ref` (the source from `offset`, on `reverse`'s strand)
  // edited into `bases`.
  void add_copy(uint64_t distance, bool reverse, uint64_t offset, ByteSpan ref, ByteSpan bases,
                const EditScript& script, uint8_t* image) {
    append_varint(distances, distance);
    append_varint(copy_lengths, bases.size());
    strands.push_back(reverse);
    append_varint(source_offsets, offset);
    edits.add(ref, bases, script);
    Bytes rebuilt = apply_edits(ref, bases, script);
    std::copy(rebuilt.begin(), rebuilt.end(), image);
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

  Bytes encode() {
    for (uint32_t r = 0; r < block_.read_lengths.size(); ++r) tile_read(r);
    Bytes payload;
    append_magic(payload, kTileMagic, kTileVersion);
    append_shape(payload, block_);
    tiles_.append_to(payload);
    append_exceptions(payload, decoded_, block_.bases);
    pad_to_capacity(payload, block_.bases.size());
    return payload;
  }

 private:
  ByteSpan original(uint32_t r) const {
    return ByteSpan(block_.bases).subspan(offsets_[r], block_.read_lengths[r]);
  }
  ByteSpan decoded(uint32_t r) const { return ByteSpan(decoded_).subspan(offsets_[r], block_.read_lengths[r]); }

  void tile_read(uint32_t r) {
    ByteSpan read = original(r);
    uint8_t* image = decoded_.data() + offsets_[r];
    if (!copy_duplicate(r, read, image)) tile_segment(r, read, image, 0);
    ByteSpan written = decoded(r);
    Bytes flipped = dna::reverse_complement(written);
    index_.add(r, false, written);
    index_.add(r, true, flipped);
    // The newest copy of a read is the nearest source for its duplicates.
    duplicates_[xxh3_64(written)] = {r, false};
    duplicates_[xxh3_64(flipped)] = {r, true};
  }

  // A read equal to an earlier one (on either strand) is one whole match.
  bool copy_duplicate(uint32_t r, ByteSpan read, uint8_t* image) {
    auto found = duplicates_.find(xxh3_64(read));
    if (read.empty() || found == duplicates_.end()) return false;
    auto [source, reverse] = found->second;
    Bytes flipped = reverse ? dna::reverse_complement(decoded(source)) : Bytes{};
    ByteSpan ref = reverse ? ByteSpan(flipped) : decoded(source);
    if (!std::equal(ref.begin(), ref.end(), read.begin(), read.end())) return false;
    tiles_.add_copy(r - source, reverse, 0, ref, read, {{EditCode::Match, static_cast<uint32_t>(read.size())}}, image);
    return true;
  }

  // Tiles `segment` of read `r` from its best source; a long stretch at
  // either end that the source does not cover is tiled on its own.
  void tile_segment(uint32_t r, ByteSpan segment, uint8_t* image, unsigned depth) {
    if (segment.empty()) return;
    std::vector<Chain> chains = index_.chains(segment, kCandidates);
    std::vector<Bytes> flipped(chains.size());
    for (size_t c = 0; c < chains.size(); ++c)
      if (chains[c].reverse) flipped[c] = dna::reverse_complement(decoded(chains[c].target));
    auto target_of = [&](size_t c) { return chains[c].reverse ? ByteSpan(flipped[c]) : decoded(chains[c].target); };
    auto best = cheapest_alignment(chains, [&](size_t) { return segment; }, target_of);
    if (!best) {
      tiles_.add_raw(segment, image);
      return;
    }
    EditScript& script = best->alignment.script;
    uint64_t head = split_end(script, script.front(), depth);
    uint64_t tail = split_end(script, script.back(), depth);
    if (head + tail >= segment.size()) {
      tiles_.add_raw(segment, image);
      return;
    }
    if (head) script.erase(script.begin());
    if (tail) script.pop_back();
    // Nothing after the last produced base is ever decoded.
    while (!script.empty() && script.back().code == EditCode::Deletion) script.pop_back();
    tile_segment(r, segment.first(head), image, depth + 1);
    const Chain& chain = chains[best->chain];
    uint64_t start = best->alignment.target_start;
    tiles_.add_copy(r - chain.target, chain.reverse, start, target_of(best->chain).subspan(start),
                    segment.subspan(head, segment.size() - head - tail), script, image + head);
    tile_segment(r, segment.last(tail), image + segment.size() - tail, depth + 1);
  }

  // The length of an insertion at an end of the script long enough to be
  // tiled separately, or 0.
  static uint64_t split_end(const EditScript& script, const EditOp& end, unsigned depth) {
    if (script.empty() || depth >= kMaxSplitDepth || end.code != EditCode::Insertion || end.length < kMinSplit)
      return 0;
    return end.length;
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
  TileStreams tiles_;
};

}  // namespace

Result<Bytes> encode_long_read_tiles(const dna::SequenceBlock& block) {
  ZELK_TRY(check_block(block));
  return Tiler(block).encode();
}

}  // namespace zelk::longread
