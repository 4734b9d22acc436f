// Edit scripts: how a long read is rebuilt from a stretch of reference
// (a contig, or an earlier read) by matches, substitutions, insertions and
// deletions. The overlap and tile codecs code them identically, so the
// models, their contexts and the five streams live here once, for the
// decoder and the encoder alike.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/dna.h"
#include "zelk-range/range_coder.h"

namespace zelk::longread {

// The one text every malformed long-read block reports.
ArchiveError malformed_block();
inline auto malformed_block_error() {
  return [] { return malformed_block(); };
}

enum class EditCode : uint8_t { Match = 0, Substitution = 1, Insertion = 2, Deletion = 3 };

// A substitution always has length 1; its base is taken from the read.
struct EditOp {
  EditCode code;
  uint32_t length;
};
using EditScript = std::vector<EditOp>;

// The adaptive state of one block: ops in the context of the last three
// ops, substituted bases in the context of the reference base they
// replace, inserted bases in the context of the base before them.
class EditModels {
 public:
  range::FreqModel4& op_model() { return ops_[op_context_]; }
  void advance(unsigned op) { op_context_ = op + 4 * (op_context_ & 15); }
  range::FreqModel5& substitution_model(unsigned ref_code) { return substitutions_[ref_code]; }
  range::FreqModel5& insertion_model(unsigned previous_code) { return insertions_[previous_code < 4 ? previous_code : 4]; }

 private:
  std::array<range::FreqModel4, 64> ops_{};
  std::array<range::FreqModel5, 5> substitutions_{};
  std::array<range::FreqModel5, 5> insertions_{};
  unsigned op_context_ = 0;
};

// The code of `ref[at]`, 4 past its end.
inline unsigned ref_code_at(ByteSpan ref, uint64_t at) { return at < ref.size() ? dna::base_code(ref[at]) : 4; }

// The decoding side: the five streams read from a payload, and the cursors
// that walk them as the block's scripts are decoded in order.
class EditScriptDecoder {
 public:
  // Reads, in order, the op stream, match lengths, substituted bases,
  // inserted bases and indel lengths. `max_len` bounds every decoded side
  // stream.
  static Result<EditScriptDecoder> read(ByteCursor& cursor, uint64_t max_len);

  // Decodes one script against `ref`, writing exactly `out.size()` bases.
  Result<void> decode(ByteSpan ref, std::span<uint8_t> out);

  // Whether every declared op, substitution and inserted base was used.
  bool all_symbols_used() const;

 private:
  struct RangeCoded {
    uint64_t symbols = 0;
    uint64_t used = 0;
    ByteSpan bytes;
  };

  EditScriptDecoder() = default;
  static Result<RangeCoded> read_range_coded(ByteCursor& cursor);
  Result<unsigned> next_symbol(RangeCoded& stream, range::RangeDecoder& decoder, auto& model);

  RangeCoded ops_, substitutions_, insertions_;
  Bytes match_lengths_, indel_lengths_;
  ByteCursor match_cursor_{ByteSpan{}};
  ByteCursor indel_cursor_{ByteSpan{}};
  range::RangeDecoder op_decoder_{ByteSpan{}};
  range::RangeDecoder substitution_decoder_{ByteSpan{}};
  range::RangeDecoder insertion_decoder_{ByteSpan{}};
  EditModels models_;
};

// The encoding side: scripts are added in the order the decoder will meet
// them, then the five streams are appended in the decoder's order.
class EditScriptEncoder {
 public:
  EditScriptEncoder();
  EditScriptEncoder(const EditScriptEncoder&) = delete;
  EditScriptEncoder& operator=(const EditScriptEncoder&) = delete;

  // Codes `script`, which rebuilds `read` from `ref`: substituted and
  // inserted bases are the read's own.
  void add(ByteSpan ref, ByteSpan read, const EditScript& script);
  void append_to(Bytes& out);

 private:
  Bytes op_bytes_, substitution_bytes_, insertion_bytes_;
  uint64_t op_count_ = 0, substitution_count_ = 0, insertion_count_ = 0;
  range::RangeEncoder op_encoder_{op_bytes_};
  range::RangeEncoder substitution_encoder_{substitution_bytes_};
  range::RangeEncoder insertion_encoder_{insertion_bytes_};
  Bytes match_lengths_, indel_lengths_;
  EditModels models_;
};

// What the decoder writes for `read` coded by `script` against `ref`:
// matched stretches come from `ref`, other bases are the read's own as far
// as base codes can say them (anything but A, C, G, T comes back as A).
Bytes apply_edits(ByteSpan ref, ByteSpan read, const EditScript& script);

// The reference bases `script` consumes.
uint64_t ref_span_of(const EditScript& script);

}  // namespace zelk::longread
