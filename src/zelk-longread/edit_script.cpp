#include "zelk-longread/edit_script.h"

#include <algorithm>
#include <cstring>

#include "zelk-rans/rans.h"

namespace zelk::longread {

ArchiveError malformed_block() { return ArchiveError::codec(ErrorKind::OverlapCodec, "malformed lroverlap block"); }

namespace {

Result<uint64_t> next_varint(ByteCursor& cursor) { return read_varint(cursor, malformed_block_error()); }

void append_range_coded(Bytes& out, uint64_t symbols, ByteSpan bytes) {
  append_varint(out, symbols);
  append_varint(out, bytes.size());
  append_bytes(out, bytes);
}

}  // namespace

Result<EditScriptDecoder::RangeCoded> EditScriptDecoder::read_range_coded(ByteCursor& cursor) {
  RangeCoded stream;
  stream.symbols = ZELK_TRY(next_varint(cursor));
  uint64_t size = ZELK_TRY(next_varint(cursor));
  auto bytes = cursor.take(size);
  if (!bytes) return fail(malformed_block());
  stream.bytes = *bytes;
  return stream;
}

Result<EditScriptDecoder> EditScriptDecoder::read(ByteCursor& cursor, uint64_t max_len) {
  auto framed = [&]() -> Result<Bytes> {
    auto decoded = rans::decode_framed(cursor, max_len);
    if (!decoded) return fail(malformed_block());
    return std::move(*decoded);
  };
  EditScriptDecoder decoder;
  decoder.ops_ = ZELK_TRY(read_range_coded(cursor));
  decoder.match_lengths_ = ZELK_TRY(framed());
  decoder.substitutions_ = ZELK_TRY(read_range_coded(cursor));
  decoder.insertions_ = ZELK_TRY(read_range_coded(cursor));
  decoder.indel_lengths_ = ZELK_TRY(framed());
  // The cursors view the decoder's own buffers, whose storage a move keeps.
  decoder.match_cursor_ = ByteCursor(decoder.match_lengths_);
  decoder.indel_cursor_ = ByteCursor(decoder.indel_lengths_);
  decoder.op_decoder_ = range::RangeDecoder(decoder.ops_.bytes);
  decoder.substitution_decoder_ = range::RangeDecoder(decoder.substitutions_.bytes);
  decoder.insertion_decoder_ = range::RangeDecoder(decoder.insertions_.bytes);
  return decoder;
}

// A stream never yields more symbols than it declared, which also bounds
// the work a corrupt stream can cause.
Result<unsigned> EditScriptDecoder::next_symbol(RangeCoded& stream, range::RangeDecoder& decoder, auto& model) {
  if (stream.used == stream.symbols) return fail(malformed_block());
  ++stream.used;
  return decoder.decode(model);
}

bool EditScriptDecoder::all_symbols_used() const {
  return ops_.used == ops_.symbols && substitutions_.used == substitutions_.symbols &&
         insertions_.used == insertions_.symbols;
}

Result<void> EditScriptDecoder::decode(ByteSpan ref, std::span<uint8_t> out) {
  const uint64_t length = out.size();
  uint64_t produced = 0;
  uint64_t cursor = 0;  // never beyond ref.size(): past the end every position reads alike
  unsigned previous = 4;
  while (produced < length) {
    unsigned op = ZELK_TRY(next_symbol(ops_, op_decoder_, models_.op_model()));
    models_.advance(op);
    switch (static_cast<EditCode>(op)) {
      case EditCode::Match: {
        uint64_t n = ZELK_TRY(next_varint(match_cursor_));
        // A match clamped at the end of the reference leaves the read short,
        // as does one past what the read still lacks.
        if (n > length - produced || n > ref.size() - cursor) return fail(malformed_block());
        if (n == 0) break;
        std::memcpy(out.data() + produced, ref.data() + cursor, n);
        produced += n;
        cursor += n;
        previous = dna::base_code(ref[cursor - 1]);
        break;
      }
      case EditCode::Substitution: {
        unsigned code = ZELK_TRY(next_symbol(substitutions_, substitution_decoder_,
                                             models_.substitution_model(ref_code_at(ref, cursor))));
        out[produced++] = dna::code_base(code);
        cursor = std::min<uint64_t>(cursor + 1, ref.size());
        previous = code;
        break;
      }
      case EditCode::Insertion: {
        uint64_t n = ZELK_TRY(next_varint(indel_cursor_));
        if (n > length - produced) return fail(malformed_block());
        for (uint64_t i = 0; i < n; ++i) {
          previous = ZELK_TRY(next_symbol(insertions_, insertion_decoder_, models_.insertion_model(previous)));
          out[produced++] = dna::code_base(previous);
        }
        break;
      }
      case EditCode::Deletion: {
        uint64_t n = ZELK_TRY(next_varint(indel_cursor_));
        cursor += std::min<uint64_t>(n, ref.size() - cursor);
        break;
      }
    }
  }
  return {};
}

EditScriptEncoder::EditScriptEncoder() = default;

void EditScriptEncoder::add(ByteSpan ref, ByteSpan read, const EditScript& script) {
  uint64_t cursor = 0, at = 0;
  unsigned previous = 4;
  for (const EditOp& op : script) {
    auto code = static_cast<unsigned>(op.code);
    op_encoder_.encode(models_.op_model(), code);
    models_.advance(code);
    ++op_count_;
    switch (op.code) {
      case EditCode::Match:
        append_varint(match_lengths_, op.length);
        at += op.length;
        cursor += op.length;
        if (op.length > 0) previous = ref_code_at(ref, cursor - 1);
        break;
      case EditCode::Substitution: {
        unsigned base = dna::base_code(read[at++]);
        substitution_encoder_.encode(models_.substitution_model(ref_code_at(ref, cursor)), base);
        ++substitution_count_;
        ++cursor;
        previous = base;
        break;
      }
      case EditCode::Insertion:
        append_varint(indel_lengths_, op.length);
        for (uint32_t i = 0; i < op.length; ++i) {
          unsigned base = dna::base_code(read[at++]);
          insertion_encoder_.encode(models_.insertion_model(previous), base);
          previous = base;
        }
        insertion_count_ += op.length;
        break;
      case EditCode::Deletion:
        append_varint(indel_lengths_, op.length);
        cursor += op.length;
        break;
    }
  }
}

void EditScriptEncoder::append_to(Bytes& out) {
  op_encoder_.finish();
  substitution_encoder_.finish();
  insertion_encoder_.finish();
  append_range_coded(out, op_count_, op_bytes_);
  rans::append_framed(out, match_lengths_);
  append_range_coded(out, substitution_count_, substitution_bytes_);
  append_range_coded(out, insertion_count_, insertion_bytes_);
  rans::append_framed(out, indel_lengths_);
}

Bytes apply_edits(ByteSpan ref, ByteSpan read, const EditScript& script) {
  Bytes out;
  out.reserve(read.size());
  uint64_t cursor = 0, at = 0;
  for (const EditOp& op : script) {
    switch (op.code) {
      case EditCode::Match: {
        uint64_t end = std::min<uint64_t>(cursor + op.length, ref.size());
        if (cursor < end) out.insert(out.end(), ref.begin() + cursor, ref.begin() + end);
        cursor += op.length;
        at += op.length;
        break;
      }
      case EditCode::Substitution:
        out.push_back(dna::code_base(dna::base_code(read[at++])));
        ++cursor;
        break;
      case EditCode::Insertion:
        for (uint32_t i = 0; i < op.length; ++i) out.push_back(dna::code_base(dna::base_code(read[at++])));
        break;
      case EditCode::Deletion:
        cursor += op.length;
        break;
    }
  }
  return out;
}

uint64_t ref_span_of(const EditScript& script) {
  uint64_t span = 0;
  for (const EditOp& op : script)
    if (op.code != EditCode::Insertion) span += op.code == EditCode::Substitution ? 1 : op.length;
  return span;
}

}  // namespace zelk::longread
