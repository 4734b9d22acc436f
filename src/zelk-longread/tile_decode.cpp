// Decoding "LRT" payloads: each read built from raw tiles and edited copies
// of earlier reads of the block.
#include "zelk-dna/dna.h"
#include "zelk-longread/block_parts.h"
#include "zelk-longread/edit_script.h"
#include "zelk-longread/longread.h"
#include "zelk-longread/overlap_format.h"

namespace zelk::longread {

Result<dna::SequenceBlock> decode_long_read_tiles(ByteSpan payload) {
  ByteCursor cursor(payload);
  ZELK_TRY(expect_magic(cursor, kTileMagic, kTileVersion));
  const uint64_t capacity = payload_capacity(payload.size());
  BlockShape shape = ZELK_TRY(read_shape(cursor, capacity));
  Bytes distances = ZELK_TRY(read_framed(cursor, capacity));
  Bytes copy_lengths = ZELK_TRY(read_framed(cursor, capacity));
  Bytes strands = ZELK_TRY(read_framed(cursor, capacity));
  Bytes source_offsets = ZELK_TRY(read_framed(cursor, capacity));
  Bytes raw_lengths = ZELK_TRY(read_framed(cursor, capacity));
  EditScriptDecoder edits = ZELK_TRY(EditScriptDecoder::read(cursor, capacity));
  Bytes raw_codes = ZELK_TRY(read_framed(cursor, capacity));
  ByteCursor distance_cursor(distances), copy_length_cursor(copy_lengths), strand_cursor(strands),
      offset_cursor(source_offsets), raw_length_cursor(raw_lengths), raw_cursor(raw_codes);

  dna::SequenceBlock block;
  block.bases = ZELK_TRY(allocate<Bytes>(shape.total(), malformed_block_error()));
  Bytes flipped;
  for (size_t read = 0; read < shape.lengths.size(); ++read) {
    uint8_t* out = block.bases.data() + shape.offsets[read];
    const uint64_t length = shape.lengths[read];
    uint64_t produced = 0;
    while (produced < length) {
      uint64_t distance = ZELK_TRY(read_block_varint(distance_cursor));
      if (distance == kRawTile) {
        uint64_t n = ZELK_TRY(read_block_varint(raw_length_cursor));
        if (n > length - produced) return fail(malformed_block());
        ZELK_TRY(take_raw_bases(raw_cursor, {out + produced, n}));
        produced += n;
        continue;
      }
      if (distance > read) return fail(malformed_block());
      uint8_t reverse = ZELK_TRY(read_block_byte(strand_cursor));
      uint64_t n = ZELK_TRY(read_block_varint(copy_length_cursor));
      if (n > length - produced) return fail(malformed_block());
      uint64_t offset = ZELK_TRY(read_block_varint(offset_cursor));
      size_t source_read = read - distance;
      ByteSpan source(block.bases.data() + shape.offsets[source_read], shape.lengths[source_read]);
      if (offset > source.size()) return fail(malformed_block());
      // Past `offset` the reverse strand holds the complement of the
      // source's first bases, so only those are flipped.
      ByteSpan ref = source.subspan(offset);
      if (reverse) {
        flipped = dna::reverse_complement(source.first(source.size() - offset));
        ref = flipped;
      }
      if (n > 0) ZELK_TRY(edits.decode(ref, {out + produced, n}));
      produced += n;
    }
  }
  if (!edits.all_symbols_used()) return fail(malformed_block());
  ZELK_TRY(apply_exceptions(cursor, capacity, block.bases));
  block.read_lengths = std::move(shape.lengths);
  return block;
}

}  // namespace zelk::longread
