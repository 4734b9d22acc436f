// Internals shared by the quality codec's units: the two sides a model
// loop runs on (decode, encode), and the models themselves.
// Each model has one loop, templated on the side, so the encoder mirrors
// the decoder by construction.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "zelk-dna/dna.h"
#include "zelk-quality/quality.h"
#include "zelk-range/range_coder.h"
#include "zelk-base/buffer_fill.h"
#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::quality {

inline ArchiveError malformed(std::string_view reason) {
  return ArchiveError::malformed_stream(ErrorKind::QualityCodec, reason);
}

// The quality streams use the sequence codec's range coder.
using range::kProbBits;

// The frequency model's slots per context for an alphabet of `n` symbols.
constexpr unsigned freq_slot_class(size_t n) {
  return n <= 4 ? 4 : n <= 8 ? 8 : n <= 16 ? 16 : n <= 32 ? 32 : n <= 64 ? 64 : kMaxAlphabet;
}

// The decode side of a model loop: symbols come from the coded stream and
// their quality bytes go to `out`.
struct DecodeSide {
  range::RangeDecoder coder;
  uint8_t* out;

  unsigned target() { return 0; }
  template <size_t S>
  unsigned freq(const uint16_t* freqs, uint32_t total, unsigned) {
    return coder.decode_freq<S>(freqs, total);
  }
  unsigned bit(uint32_t p, unsigned) { return coder.decode_bit(p); }
  void emit(uint8_t quality) { *out++ = quality; }
};

// The encode side: symbols come from the reads' symbol indexes.
struct EncodeSide {
  explicit EncodeSide(const uint8_t* symbol_indexes) : indexes(symbol_indexes) {}
  EncodeSide(const EncodeSide&) = delete;  // the coder refers to `out`

  Bytes out;
  range::RangeEncoder coder{out};
  const uint8_t* indexes;

  unsigned target() { return *indexes++; }
  template <size_t S>
  unsigned freq(const uint16_t* freqs, uint32_t total, unsigned slot) {
    coder.encode_freq(freqs, total, slot);
    return slot;
  }
  unsigned bit(uint32_t p, unsigned bit) {
    coder.encode_bit(p, bit);
    return bit;
  }
  void emit(uint8_t) {}
};

// Reads to code: their lengths and, when the mode conditions on them, their
// concatenated bases (empty otherwise). `symbols` is the symbol table.
struct ReadBatch {
  std::span<const uint32_t> lengths;
  ByteSpan bases;
  std::span<const uint8_t> symbols;
  // Set while the bases are still being decoded: each read waits for its own.
  const BufferFill* bases_fill = nullptr;
};

// One read's bases; positions outside the read, and bytes other than
// A/C/G/T in either case, have base code 0.
class ReadBases {
 public:
  explicit ReadBases(ByteSpan bases) : bases_(bases) {}
  unsigned code(size_t i) const { return i < bases_.size() ? dna::base_code_any_case(bases_[i]) & 3 : 0; }
  uint8_t raw(size_t i) const { return bases_[i]; }

 private:
  ByteSpan bases_;
};

// Hands out each read's bases in turn from a batch's concatenated bases.
class BaseWalker {
 public:
  explicit BaseWalker(const ReadBatch& reads) : bases_(reads.bases), bases_fill_(reads.bases_fill) {}
  Result<ReadBases> next(uint32_t length) {
    if (bases_.size() - used_ < length) return fail(malformed("sequence shorter than quality lengths"));
    if (bases_fill_ && !bases_fill_->wait_filled(bases_.data() + used_ + length))
      return fail(malformed("sequence context requires the decoded sequence"));
    ReadBases read(bases_.subspan(used_, length));
    used_ += length;
    return read;
  }

 private:
  ByteSpan bases_;
  const BufferFill* bases_fill_;
  size_t used_ = 0;
};

// Frequency model over all reads of a batch (modes 0 and 1);
// `with_sequence` selects mode 1's sequence context.
template <class Side>
Result<void> code_freq_reads(Side& side, const ReadBatch& reads, bool with_sequence);

inline ArchiveError model_too_large() { return malformed("quality model too large to allocate"); }

// Model tables come from allocate_zeroed: all-zero bytes mean "fresh", and
// pages no context touches are never faulted in.
template <class T>
Result<ZeroedArray<T>> allocate_model_table(size_t count, bool huge_pages) {
  return allocate_zeroed<T>(count, huge_pages, model_too_large);
}

// A mixing-model probability table; entries are stored less their initial
// value, so a fresh table is all zeros.
struct ProbabilityTable {
  ZeroedArray<int16_t> offsets;
  size_t size = 0;
  bool huge_pages = false;  // the stream is long enough to touch most of it
};

// The mixing model: three context tables, a three-input mixer per bit
// position, and its squash and stretch tables.
class QualityMixModel {
 public:
  // `symbols` is how many symbols the model will code: it decides whether
  // the tables are worth huge pages.
  static Result<QualityMixModel> create(unsigned n, uint64_t symbols);
  // A copy that will code `symbols` more symbols.
  Result<QualityMixModel> clone(uint64_t symbols) const;

  // Codes the reads, adapting the model.
  template <class Side>
  Result<void> code_reads(Side& side, const ReadBatch& reads, const QuantizerTables& quantizer);
  // Codes the reads with the model frozen (chunk variant 2): nothing is
  // written, so several threads may share one model.
  template <class Side>
  Result<void> code_reads_frozen(Side& side, const ReadBatch& reads,
                                 const QuantizerTables& quantizer) const;

 private:
  QualityMixModel() = default;
  template <bool kAdapt, class Model, class Side>
  static Result<void> run(Model& model, Side& side, const ReadBatch& reads,
                          const QuantizerTables& quantizer);

  unsigned n_ = 0;
  unsigned bits_ = 0;  // B, decisions per symbol
  ProbabilityTable table_a_, table_b_, table_c_;
  std::array<std::array<int32_t, 3>, 7> weights_{};
  std::array<uint16_t, 4096> squash_{};
  std::array<int16_t, 4097> stretch_{};
};

// The default quantizer tables, and those a stream's byte pairs describe.
QuantizerTables default_quantizer();
QuantizerTables quantizer_from_pairs(std::span<const uint8_t> symbols, ByteSpan pairs);

// How the reads of a chunked stream fall into segments: the warm-up holds
// reads [0, warmup_reads); later segment j (1-based) holds reads
// warmup_reads + split[j-1] .. warmup_reads + split[j] - 1.
// How many symbols the warmed model of a chunked stream codes: the warm-up
// alone, unless (variant 2) the model is frozen and serves every segment.
inline uint64_t warmed_model_symbols(uint8_t variant, uint64_t total, uint64_t warmup_bytes) {
  return variant == 2 ? total : warmup_bytes;
}

struct SegmentPlan {
  size_t warmup_reads = 0;
  std::vector<size_t> split;  // J + 1 points, split[0] = 0
};
Result<SegmentPlan> plan_segments(std::span<const uint32_t> lengths, uint64_t total,
                                  uint64_t warmup_bytes, uint32_t segment_count);

// The chunk table of modes 5 and 6, read from just after the quantizer
// table.
Result<ChunkTable> read_chunk_table(ByteCursor& cursor);

// Modes 5 and 6: decodes the warm-up segment, then the later segments
// concurrently on `pool`, into `out` (sized to the reads' total).
Result<void> decode_chunked(const QualityHeader& header, ByteSpan payload, const ReadBatch& reads,
                            std::span<uint8_t> out, WorkerPool& pool);

// Starts decoding `payload` into `out`, which must hold the reads' bytes.
Result<DecodeSide> start_decode(ByteSpan payload, const ReadBatch& reads, std::span<uint8_t> out);

}  // namespace zelk::quality
