// Internals shared by the quality codec's units: the range coder, the two
// sides a model loop runs on (decode, encode), and the models themselves.
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

#include "zelk-fqzcomp/quality.h"
#include "zelk/bytes.h"
#include "zelk/error.h"

namespace zelk::quality {

inline ArchiveError malformed(std::string_view reason) {
  return ArchiveError::malformed_stream(ErrorKind::QualityCodec, reason);
}

// Carry-less range coder: 2^24 top bound, 2^16 bottom bound, all register
// arithmetic modulo 2^32.
inline constexpr uint32_t kTop = 1u << 24;
inline constexpr uint32_t kBottom = 1u << 16;
inline constexpr unsigned kProbBits = 12;

class QualityRangeDecoder {
 public:
  // A slot returned when a context's total is 0 or exceeds the range, which
  // only a corrupt stream produces.
  static constexpr unsigned kBadContext = ~0u;

  // Input shorter than four bytes, and every read past its end, count as
  // zero bytes.
  explicit QualityRangeDecoder(ByteSpan input) : input_(input) {
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | next_byte();
  }

  // The slot whose cumulative frequency interval holds the code; the last
  // slot when none does. A zero-frequency slot is returned without touching
  // the state: the caller rejects it as outside the alphabet.
  template <size_t S>
  unsigned decode_freq(const uint16_t* freqs, uint32_t total) {
    if (total == 0 || total > range_) return kBadContext;
    range_ /= total;
    uint32_t value = (code_ - low_) / range_;
    unsigned slot;
    uint32_t below;
    if constexpr (S == 4) {
      // Unrolled: the slot is the number of cumulative bounds at or below
      // the value.
      uint32_t c1 = freqs[0], c2 = c1 + freqs[1], c3 = c2 + freqs[2];
      slot = (value >= c1) + (value >= c2) + (value >= c3);
      below = slot == 0 ? 0 : slot == 1 ? c1 : slot == 2 ? c2 : c3;
    } else {
      below = 0;
      slot = 0;
      while (slot + 1 < S && value >= below + freqs[slot]) below += freqs[slot++];
    }
    if (freqs[slot] == 0) return slot;
    low_ += range_ * below;
    range_ *= freqs[slot];
    normalise();
    return slot;
  }

  // One binary decision, `p` the 12-bit probability of a 1 (1 to 4095).
  unsigned decode_bit(uint32_t p) {
    uint32_t r = range_ >> kProbBits;
    // (code - low) / r < p, without the division.
    unsigned bit = (code_ - low_) < r * p;
    if (bit) {
      range_ = r * p;
    } else {
      low_ += r * p;
      range_ = r * ((1u << kProbBits) - p);
    }
    normalise();
    return bit;
  }

 private:
  uint8_t next_byte() { return pos_ < input_.size() ? input_[pos_++] : 0; }

  void normalise() {
    for (;;) {
      if ((low_ ^ (low_ + range_)) >= kTop) {
        if (range_ >= kBottom) return;
        range_ = (0 - low_) & (kBottom - 1);
      }
      code_ = (code_ << 8) | next_byte();
      low_ <<= 8;
      range_ <<= 8;
    }
  }

  ByteSpan input_;
  size_t pos_ = 0;
  uint32_t low_ = 0, range_ = 0xFFFFFFFF, code_ = 0;
};

// The encoder the decoder above inverts.
class QualityRangeEncoder {
 public:
  void encode_freq(const uint16_t* freqs, uint32_t total, unsigned slot) {
    uint32_t below = 0;
    for (unsigned i = 0; i < slot; ++i) below += freqs[i];
    range_ /= total;
    low_ += range_ * below;
    range_ *= freqs[slot];
    normalise();
  }

  void encode_bit(uint32_t p, unsigned bit) {
    uint32_t r = range_ >> kProbBits;
    if (bit) {
      range_ = r * p;
    } else {
      low_ += r * p;
      range_ = r * ((1u << kProbBits) - p);
    }
    normalise();
  }

  // Flushes the four bytes of `low` the decoder starts from, less any
  // trailing zeros: the decoder reads zeros past the end anyway.
  Bytes finish() {
    for (int i = 0; i < 4; ++i) shift();
    while (!out_.empty() && out_.back() == 0) out_.pop_back();
    return std::move(out_);
  }

 private:
  void shift() {
    out_.push_back(static_cast<uint8_t>(low_ >> 24));
    low_ <<= 8;
    range_ <<= 8;
  }

  void normalise() {
    for (;;) {
      if ((low_ ^ (low_ + range_)) >= kTop) {
        if (range_ >= kBottom) return;
        range_ = (0 - low_) & (kBottom - 1);
      }
      shift();
    }
  }

  Bytes out_;
  uint32_t low_ = 0, range_ = 0xFFFFFFFF;
};

// The decode side of a model loop: symbols come from the coded stream and
// their quality bytes go to `out`.
struct DecodeSide {
  QualityRangeDecoder coder;
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
  QualityRangeEncoder coder;
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
};

// Base code of a sequence byte: C 1, G 2, T 3 (either case), anything else 0.
inline constexpr std::array<uint8_t, 256> kBaseCodes = [] {
  std::array<uint8_t, 256> codes{};
  codes['C'] = codes['c'] = 1;
  codes['G'] = codes['g'] = 2;
  codes['T'] = codes['t'] = 3;
  return codes;
}();

// One read's bases; positions outside the read have base code 0.
class ReadBases {
 public:
  explicit ReadBases(ByteSpan bases) : bases_(bases) {}
  unsigned code(size_t i) const { return i < bases_.size() ? kBaseCodes[bases_[i]] : 0; }
  uint8_t raw(size_t i) const { return bases_[i]; }

 private:
  ByteSpan bases_;
};

// Hands out each read's bases in turn from a batch's concatenated bases.
class BaseWalker {
 public:
  explicit BaseWalker(ByteSpan bases) : bases_(bases) {}
  Result<ReadBases> next(uint32_t length) {
    if (bases_.size() - used_ < length) return fail(malformed("sequence shorter than quality lengths"));
    ReadBases read(bases_.subspan(used_, length));
    used_ += length;
    return read;
  }

 private:
  ByteSpan bases_;
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
Result<ZeroedArray<T>> allocate_model_table(size_t count) {
  return allocate_zeroed<T>(count, model_too_large);
}

// A mixing-model probability table; entries are stored less their initial
// value, so a fresh table is all zeros.
struct ProbabilityTable {
  ZeroedArray<int16_t> offsets;
  size_t size = 0;
};

// The mixing model: three context tables, a three-input mixer per bit
// position, and its squash and stretch tables.
class QualityMixModel {
 public:
  static Result<QualityMixModel> create(unsigned n);
  Result<QualityMixModel> clone() const;

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
