// Decoding "LRO" payloads: reads placed on contigs with edit scripts, or
// stored raw.
#include <algorithm>

#include "zelk-dna/dna.h"
#include "zelk-longread/block_parts.h"
#include "zelk-longread/edit_script.h"
#include "zelk-longread/longread.h"
#include "zelk-longread/overlap_format.h"

namespace zelk::longread {

namespace {

// The contigs carried in a method-1 block: a framed list of lengths and a
// framed stream of their bytes, kept as one reference set.
Result<dna::ReferenceSet> read_block_contigs(ByteCursor& cursor, uint64_t capacity) {
  uint64_t count = ZELK_TRY(read_block_varint(cursor));
  Bytes coded_lengths = ZELK_TRY(read_framed(cursor, capacity));
  dna::ReferenceSet contigs;
  contigs.bases = ZELK_TRY(read_framed(cursor, capacity));
  if (count > coded_lengths.size()) return fail(malformed_block());
  ByteCursor lengths(coded_lengths);
  contigs.offsets.reserve(count + 1);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t length = ZELK_TRY(read_block_varint(lengths));
    if (length > contigs.bases.size() - contigs.offsets.back()) return fail(malformed_block());
    contigs.offsets.push_back(contigs.offsets.back() + length);
  }
  return contigs;
}

// The next start on a contig: a signed step from the previous one.
Result<uint64_t> next_start(ByteCursor& starts, uint64_t previous, uint64_t contig_length) {
  int64_t step = zigzag_decode(ZELK_TRY(read_block_varint(starts)));
  int64_t start;
  if (__builtin_add_overflow(static_cast<int64_t>(previous), step, &start) || start < 0 ||
      static_cast<uint64_t>(start) > contig_length)
    return fail(malformed_block());
  return static_cast<uint64_t>(start);
}

void reverse_complement_in_place(std::span<uint8_t> bases) {
  Bytes flipped = dna::reverse_complement(bases);
  std::copy(flipped.begin(), flipped.end(), bases.begin());
}

}  // namespace

Result<dna::SequenceBlock> decode_long_read_overlap(ByteSpan payload, uint8_t method,
                                                    const dna::ReferenceSet* reference) {
  ByteCursor cursor(payload);
  ZELK_TRY(expect_magic(cursor, kOverlapMagic, method));
  if (method != kBlockContigs && (method != kSharedReference || !reference)) return fail(malformed_block());
  const uint64_t capacity = payload_capacity(payload.size());
  BlockShape shape = ZELK_TRY(read_shape(cursor, capacity));
  dna::ReferenceSet block_contigs;
  if (method == kBlockContigs) {
    block_contigs = ZELK_TRY(read_block_contigs(cursor, capacity));
    reference = &block_contigs;
  }
  Bytes counts = ZELK_TRY(read_framed(cursor, capacity));
  Bytes reads = ZELK_TRY(read_framed(cursor, capacity));
  Bytes kinds = ZELK_TRY(read_framed(cursor, capacity));
  Bytes strands = ZELK_TRY(read_framed(cursor, capacity));
  Bytes starts = ZELK_TRY(read_framed(cursor, capacity));
  EditScriptDecoder edits = ZELK_TRY(EditScriptDecoder::read(cursor, capacity));
  Bytes raw_codes = ZELK_TRY(read_framed(cursor, capacity));
  ByteCursor count_cursor(counts), read_cursor(reads), kind_cursor(kinds), strand_cursor(strands),
      start_cursor(starts), raw_cursor(raw_codes);

  dna::SequenceBlock block;
  block.bases = ZELK_TRY(allocate<Bytes>(shape.total(), malformed_block_error()));
  const size_t contig_count = reference->contig_count();
  for (size_t group = 0; group <= contig_count; ++group) {
    uint64_t count = ZELK_TRY(read_block_varint(count_cursor));
    uint64_t previous_start = 0;
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t read = ZELK_TRY(read_block_varint(read_cursor));
      if (read >= shape.lengths.size()) return fail(malformed_block());
      std::span<uint8_t> out(block.bases.data() + shape.offsets[read], shape.lengths[read]);
      uint8_t kind = ZELK_TRY(read_block_byte(kind_cursor));
      if (kind == kRawRead) {
        ZELK_TRY(take_raw_bases(raw_cursor, out));
        continue;
      }
      if (group == contig_count) return fail(malformed_block());
      uint8_t reverse = ZELK_TRY(read_block_byte(strand_cursor));
      ByteSpan contig = reference->contig(group);
      previous_start = ZELK_TRY(next_start(start_cursor, previous_start, contig.size()));
      ZELK_TRY(edits.decode(contig.subspan(previous_start), out));
      if (reverse) reverse_complement_in_place(out);
    }
  }
  if (!edits.all_symbols_used()) return fail(malformed_block());
  ZELK_TRY(apply_exceptions(cursor, capacity, block.bases));
  block.read_lengths = std::move(shape.lengths);
  return block;
}

}  // namespace zelk::longread
