#include <algorithm>

#include "zelk-base/limits.h"

#include "zelk-sequence/capacity.h"
#include "zelk-sequence/lz.h"
#include "zelk-sequence/lz_model.h"

namespace zelk::seq {

namespace {

ArchiveError malformed(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::SequenceCodec, detail);
}

auto error_of(std::string_view detail) {
  return [detail] { return malformed(detail); };
}

Result<void> decode_into(ByteSpan coded, std::span<uint8_t> out) {
  lz::Model model;
  lz::History history;
  lz::BitDecoder coder(coded);
  const size_t size = out.size();
  size_t pos = 0;
  while (pos < size) {
    lz::Packet packet = lz::code_packet(coder, model, history.state, {});
    if (packet.kind == lz::PacketKind::Literal) {
      lz::Prob* table = model.literal_table(pos ? out[pos - 1] : 0);
      if (history.after_literal()) {
        out[pos] = lz::code_literal(coder, table, 0);
      } else {
        uint64_t back = uint64_t{history.reps[0]} + 1;
        uint8_t match_byte = back <= pos ? out[pos - back] : 0;
        out[pos] = lz::code_matched_literal(coder, table, match_byte, 0);
      }
      ++pos;
      history.advance(packet);
      continue;
    }
    history.advance(packet);
    uint64_t distance = history.reps[0];
    if (distance >= pos) return fail(malformed("reflzma: distance past output"));
    if (packet.length > size - pos) return fail(malformed("reflzma: match past end"));
    // Byte by byte: a distance shorter than the length repeats the pattern.
    const uint8_t* from = out.data() + pos - distance - 1;
    uint8_t* to = out.data() + pos;
    for (uint32_t i = 0; i < packet.length; ++i) to[i] = from[i];
    pos += packet.length;
  }
  return {};
}

}  // namespace

Result<Bytes> reflzma_decode(ByteSpan coded, uint64_t length) {
  Bytes out = ZELK_TRY(allocate<Bytes>(length, error_of("reflzma: output too large to allocate")));
  if (length) ZELK_TRY(decode_into(coded, out));
  return out;
}

Result<dna::SequenceBlock> decode_reflzma_block(ByteSpan payload) {
  ByteCursor cursor(payload);
  uint64_t count = ZELK_TRY(read_varint(cursor, error_of("reflzma: bad contig count")));
  // The stream includes its method byte.
  if (count > payload.size() + 1) return fail(malformed("reflzma: implausible contig count"));
  dna::SequenceBlock block;
  block.read_lengths.reserve(std::min(count, kReserveLimit));
  uint64_t total = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t length = static_cast<uint32_t>(ZELK_TRY(read_varint(cursor, error_of("reflzma: bad contig len"))));
    block.read_lengths.push_back(length);
    total += length;  // at most 2^31 lengths below 2^32: no overflow
  }
  uint64_t bases = ZELK_TRY(read_varint(cursor, error_of("reflzma: bad n_bases")));
  if (bases > coded_capacity(payload.size())) return fail(malformed("reflzma: declared length exceeds capacity"));
  ZELK_TRY(check_decode_limit(ErrorKind::SequenceCodec, "declared sequence length", bases));
  block.bases = ZELK_TRY(reflzma_decode(cursor.rest(), bases));
  if (total != bases) return fail(malformed("reflzma: block length/seq disagreement"));
  return block;
}

}  // namespace zelk::seq
