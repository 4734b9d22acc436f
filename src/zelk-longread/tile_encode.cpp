// Writing "LRT" payloads: each read copied, with edits, from the earlier
// read of the block it aligns to best, on either strand, or stored raw.
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
constexpr size_t kCandidates = 4;

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

}  // namespace

Result<Bytes> encode_long_read_tiles(const dna::SequenceBlock& block) {
  ZELK_TRY(check_block(block));
  std::vector<uint64_t> offsets = read_offsets(block.read_lengths);
  // What the decoder has written before the exceptions: sources are copied
  // from this, not from the original bases.
  Bytes decoded(block.bases.size());
  // Each decoded read is indexed on both strands, so the forward read finds
  // sources on either.
  MinimizerIndex index;
  TileStreams tiles;
  for (uint32_t r = 0; r < block.read_lengths.size(); ++r) {
    ByteSpan read = ByteSpan(block.bases).subspan(offsets[r], block.read_lengths[r]);
    uint8_t* image = decoded.data() + offsets[r];
    auto source_of = [&](uint32_t source) {
      return ByteSpan(decoded).subspan(offsets[source], block.read_lengths[source]);
    };
    std::vector<Chain> chains = index.chains(read, kCandidates);
    // The candidates' sources as the decoder sees them: reverse strands are
    // complemented.
    std::vector<Bytes> flipped(chains.size());
    for (size_t c = 0; c < chains.size(); ++c)
      if (chains[c].reverse) flipped[c] = dna::reverse_complement(source_of(chains[c].target));
    auto target_of = [&](size_t c) { return chains[c].reverse ? ByteSpan(flipped[c]) : source_of(chains[c].target); };
    auto best = cheapest_alignment(chains, [&](size_t) { return read; }, target_of);
    if (best) {
      const Chain& chain = chains[best->chain];
      const Alignment& alignment = best->alignment;
      tiles.add_copy(r - chain.target, chain.reverse, alignment.target_start,
                     target_of(best->chain).subspan(alignment.target_start), read, alignment.script, image);
    } else if (!read.empty()) {
      tiles.add_raw(read, image);
    }
    ByteSpan written(image, read.size());
    index.add(r, false, written);
    index.add(r, true, dna::reverse_complement(written));
  }
  Bytes payload;
  append_magic(payload, kTileMagic, kTileVersion);
  append_shape(payload, block);
  tiles.append_to(payload);
  append_exceptions(payload, decoded, block.bases);
  pad_to_capacity(payload, block.bases.size());
  return payload;
}

}  // namespace zelk::longread
