// The quality codec: one row group's quality strings coded with a
// per-context frequency model (modes 0 and 1) or a binary mixing model
// (modes 3 to 6, modes 5 and 6 split into chunks that decode in parallel).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zelk-base/buffer_fill.h"
#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-base/pool.h"

namespace zelk::quality {

inline constexpr uint8_t kStreamVersion = 2;
inline constexpr unsigned kMaxAlphabet = 94;
// Bit masks over the mode number: the modes this build decodes, and those
// coded against the bases of the same reads.
inline constexpr uint32_t kValidModes = 0x7B;
inline constexpr uint32_t kSequenceModes = 0x7A;

inline bool mode_is_valid(uint8_t mode) { return mode < 32 && ((kValidModes >> mode) & 1); }
inline bool mode_needs_sequence(uint8_t mode) { return mode < 32 && ((kSequenceModes >> mode) & 1); }
inline bool mode_is_chunked(uint8_t mode) { return mode == 5 || mode == 6; }
inline bool mode_has_quantizer(uint8_t mode) { return mode == 4 || mode == 6; }

// Q0, Q1, Q2 of the mixing model, indexed by offset quality.
struct QuantizerTables {
  std::array<uint8_t, 256> q0{}, q1{}, q2{};
};

struct ChunkTable {
  uint8_t variant = 1;        // 1: a copy of the warmed model per segment; 2: shared, frozen
  uint32_t segment_count = 0; // S, segment 0 being the warm-up
  uint64_t warmup_bytes = 0;  // W, quality bytes of the warm-up segment
  std::vector<uint64_t> segment_lengths;
};

struct QualityHeader {
  uint8_t binning = 0;
  uint8_t mode = 0;
  std::vector<uint8_t> symbols;  // symbol index -> quality byte
  QuantizerTables quantizer;     // modes 3 to 6
  std::optional<ChunkTable> chunks;
  std::vector<uint32_t> read_lengths;
  uint64_t total = 0;            // sum of the read lengths
  size_t payload_offset = 0;
};

struct DecodedQualities {
  std::vector<uint32_t> read_lengths;
  Bytes qualities;  // all reads' quality bytes, concatenated
};

// Reads everything before the payload. Errors are QualityCodec errors.
Result<QualityHeader> parse_quality_header(ByteSpan stream);

// Decodes a whole quality stream. `sequence` is the concatenated bases of
// the same reads (empty when the caller has none); every mode but 0 needs it
// and fails unless it holds exactly one base per quality byte. Chunked
// streams decode their segments on `pool` (nullptr: the shared pool).
// `sequence_fill`, when given, follows `sequence` while another thread still
// decodes it: each read waits for its own bases. Returns no partial output
// on failure.
Result<DecodedQualities> decode_quality_stream(ByteSpan stream, ByteSpan sequence, WorkerPool* pool,
                                               const BufferFill* sequence_fill = nullptr);

// Whether a coded quality stream is coded against the bases: at least 3
// bytes, version 2, a context mode other than 0. Never fails.
bool quality_needs_sequence(ByteSpan stream);

// What the writer chooses when it codes a stream.
struct QualityEncodeOptions {
  uint8_t mode = 0;
  uint8_t binning = 0;  // the tag recorded; the qualities are coded as given
  // Symbol table order; default: the distinct quality bytes, ascending.
  std::optional<Bytes> symbols;
  // Modes 4 and 6: two bytes per symbol; default: pairs that reproduce the
  // default quantizer tables.
  std::optional<Bytes> quantizer;
  // Modes 5 and 6.
  uint8_t chunk_variant = 1;
  uint32_t segments = 4;
  // Reads in the warm-up segment; default: an even share of the reads.
  std::optional<uint64_t> warmup_reads;
};

// Codes `qualities` (the reads' quality bytes concatenated, split by
// `read_lengths`) against `sequence` (same length, or empty in mode 0).
// An argument the stream cannot represent is an InvalidArgument error.
Result<Bytes> encode_quality_stream(std::span<const uint32_t> read_lengths,
                                                        ByteSpan qualities, ByteSpan sequence,
                                                        const QualityEncodeOptions& options);

// How the writer picks a block's context mode when the caller does not.
enum class ModeChoice : uint8_t {
  // By read length alone: no trial encodes.
  ByReadLength,
  // The smaller frequency model on a leading sample, then the origin of
  // its offset qualities (an unused symbol below the lowest) by trial; a
  // symbol table the caller gave is kept. The mixing model, which decodes
  // at a third of the frequency models' speed or less, is left out.
  FrequencyTrial,
  // As FrequencyTrial, with the mixing model when it codes the sample
  // clearly smaller.
  Balanced,
  // By trial, the smallest whatever it costs to decode.
  Smallest,
};

// The model for these reads under `choice`: `options` with the context mode
// set (0, 1, 3, or 4 with `equal_share_quantizer`).
Result<QualityEncodeOptions> choose_quality_model(std::span<const uint32_t> read_lengths, ByteSpan qualities,
                                                  ByteSpan sequence, QualityEncodeOptions options,
                                                  ModeChoice choice);

// Quantizer pairs (modes 4 and 6) for the symbol table `symbols` that split
// the symbols, in table order, into 64, 8 and 4 classes of about equal
// share of `qualities`: a symbol with c bytes before it and n of its own, of
// t in all, is in class (2c + n) * k / 2t (at most k - 1).
Bytes equal_share_quantizer(ByteSpan qualities, ByteSpan symbols);

// Quality binning tags 0 to 5 and their names.
inline constexpr uint8_t kBinningTagCount = 6;
std::string_view binning_name(uint8_t tag);
// The tag of a binning name ("none" is "lossless"); nullopt if unknown.
std::optional<uint8_t> binning_tag(std::string_view name);
// The binned quality byte for `quality` under `tag` (lossless: unchanged).
uint8_t bin_quality(uint8_t tag, uint8_t quality);

}  // namespace zelk::quality
