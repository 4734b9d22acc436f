// The quality stream writer: every mode, with the symbol order, quantizer
// pairs and chunking chosen by the caller. The models run the same loops as
// the decoder, on the encode side.
#include <algorithm>
#include <numeric>
#include <utility>

#include "zelk-dna/read_lengths.h"
#include "zelk-quality/coder.h"
#include "zelk-quality/quality.h"

namespace zelk::quality {

namespace {

std::unexpected<ArchiveError> refuse(std::string reason) {
  return fail(ArchiveError::invalid_argument(std::move(reason)));
}

Bytes default_symbols(ByteSpan qualities) {
  std::array<bool, 256> seen{};
  for (uint8_t q : qualities) seen[q] = true;
  Bytes symbols;
  for (unsigned q = 0; q < 256; ++q)
    if (seen[q]) symbols.push_back(static_cast<uint8_t>(q));
  if (symbols.empty()) symbols.push_back('!');  // an alphabet is never empty
  return symbols;
}

// Pairs that give, at each symbol's offset quality, the default tables.
Bytes default_quantizer_pairs(ByteSpan symbols) {
  QuantizerTables defaults = default_quantizer();
  Bytes pairs;
  for (uint8_t symbol : symbols) {
    uint8_t v = static_cast<uint8_t>(symbol - symbols[0]);
    pairs.push_back(defaults.q0[v] & 63);
    pairs.push_back(static_cast<uint8_t>((defaults.q1[v] & 7) << 3 | (defaults.q2[v] & 3)));
  }
  return pairs;
}

// The symbol index of every quality byte.
Result<Bytes> symbol_indexes(ByteSpan qualities, ByteSpan symbols) {
  std::array<int, 256> index_of;
  index_of.fill(-1);
  for (size_t i = 0; i < symbols.size(); ++i) {
    if (index_of[symbols[i]] >= 0) return refuse("symbols must be distinct");
    index_of[symbols[i]] = static_cast<int>(i);
  }
  Bytes indexes(qualities.size());
  for (size_t i = 0; i < qualities.size(); ++i) {
    if (index_of[qualities[i]] < 0) return refuse("a quality byte is missing from symbols");
    indexes[i] = static_cast<uint8_t>(index_of[qualities[i]]);
  }
  return indexes;
}


// Runs one model loop on the encode side and returns the coded bytes.
template <class CodeReads>
Result<Bytes> encode_with(const uint8_t* indexes, CodeReads&& code_reads) {
  EncodeSide side(indexes);
  auto result = code_reads(side);
  if (!result) return refuse(result.error().message());
  side.coder.finish();
  return std::move(side.out);
}

// Modes 5 and 6: the chunk table followed later by the segments.
struct ChunkedPayload {
  Bytes table;
  Bytes segments;
};

Result<ChunkedPayload> encode_chunked(const ReadBatch& reads, uint64_t total,
                                                          const Bytes& indexes,
                                                          const QuantizerTables& quantizer,
                                                          const QualityEncodeOptions& options) {
  if (options.chunk_variant != 1 && options.chunk_variant != 2) return refuse("chunk_variant must be 1 or 2");
  if (options.segments < 2 || options.segments > 4096) return refuse("segments must be 2 to 4096");
  size_t read_count = reads.lengths.size();
  uint64_t warmup_reads =
      options.warmup_reads.value_or(read_count == 0 ? 0 : std::max<size_t>(1, read_count / options.segments));
  if (warmup_reads > read_count) return refuse("warmup exceeds the number of reads");
  uint64_t warmup_bytes = std::accumulate(reads.lengths.begin(), reads.lengths.begin() + warmup_reads, uint64_t{0});
  auto plan = plan_segments(reads.lengths, total, warmup_bytes, options.segments);
  if (!plan) return refuse(plan.error().message());

  auto warmed = QualityMixModel::create(reads.symbols.size(),
                                        warmed_model_symbols(options.chunk_variant, total, warmup_bytes));
  if (!warmed) return refuse(warmed.error().message());
  std::vector<Bytes> segments;
  ReadBatch warmup{reads.lengths.first(plan->warmup_reads), reads.bases.first(warmup_bytes), reads.symbols};
  segments.push_back(ZELK_TRY(encode_with(
      indexes.data(), [&](EncodeSide& side) { return warmed->code_reads(side, warmup, quantizer); })));

  uint64_t byte_at = warmup_bytes;
  for (size_t j = 1; j < plan->split.size(); ++j) {
    auto lengths = reads.lengths.subspan(plan->warmup_reads + plan->split[j - 1], plan->split[j] - plan->split[j - 1]);
    uint64_t bytes = std::accumulate(lengths.begin(), lengths.end(), uint64_t{0});
    ReadBatch segment{lengths, reads.bases.subspan(byte_at, bytes), reads.symbols};
    Result<Bytes> coded = Bytes{};  // a segment without reads is never read
    if (!lengths.empty())
      coded = encode_with(indexes.data() + byte_at, [&](EncodeSide& side) -> Result<void> {
        if (options.chunk_variant == 2) return warmed->code_reads_frozen(side, segment, quantizer);
        QualityMixModel copy = ZELK_TRY(warmed->clone(bytes));
        return copy.code_reads(side, segment, quantizer);
      });
    segments.push_back(ZELK_TRY(std::move(coded)));
    byte_at += bytes;
  }

  ChunkedPayload out;
  out.table.push_back(options.chunk_variant);
  append_varint(out.table, options.segments);
  append_varint(out.table, warmup_bytes);
  for (const Bytes& segment : segments) {
    append_varint(out.table, segment.size());
    append_bytes(out.segments, segment);
  }
  return out;
}

}  // namespace

Result<Bytes> encode_quality_stream(std::span<const uint32_t> read_lengths, ByteSpan qualities, ByteSpan sequence,
                              const QualityEncodeOptions& options) {
  const uint8_t mode = options.mode;
  if (!mode_is_valid(mode)) return refuse("mode must be 0, 1, 3, 4, 5 or 6");
  if (options.binning >= kBinningTagCount) return refuse("binning must be 0 to 5");
  uint64_t total = std::accumulate(read_lengths.begin(), read_lengths.end(), uint64_t{0});
  if (total != qualities.size()) return refuse("read lengths do not match the qualities");
  bool conditioned = mode_needs_sequence(mode);
  if (conditioned && sequence.size() != qualities.size())
    return refuse("this mode needs one base per quality byte");

  Bytes symbols = options.symbols.value_or(default_symbols(qualities));
  if (symbols.empty() || symbols.size() > kMaxAlphabet) return refuse("symbols must hold 1 to 94 bytes");
  Bytes indexes = ZELK_TRY(symbol_indexes(qualities, symbols));
  if (options.quantizer && !mode_has_quantizer(mode)) return refuse("quantizer applies to modes 4 and 6 only");
  Bytes pairs = options.quantizer.value_or(mode_has_quantizer(mode) ? default_quantizer_pairs(symbols) : Bytes{});
  if (mode_has_quantizer(mode) && pairs.size() != 2 * symbols.size())
    return refuse("quantizer must hold two bytes per symbol");
  QuantizerTables quantizer = mode_has_quantizer(mode) ? quantizer_from_pairs(symbols, pairs) : default_quantizer();

  Bytes out = {kStreamVersion, options.binning, mode, static_cast<uint8_t>(symbols.size())};
  out.resize(4 + symbols.size() + pairs.size());
  std::copy(symbols.begin(), symbols.end(), out.begin() + 4);
  std::copy(pairs.begin(), pairs.end(), out.begin() + 4 + symbols.size());
  ReadBatch reads{read_lengths, conditioned ? sequence : ByteSpan{}, symbols};
  if (mode_is_chunked(mode)) {
    ChunkedPayload chunked = ZELK_TRY(encode_chunked(reads, total, indexes, quantizer, options));
    append_bytes(out, chunked.table);
    dna::append_read_lengths(out, read_lengths);
    append_bytes(out, chunked.segments);
    return out;
  }
  dna::append_read_lengths(out, read_lengths);
  Result<Bytes> payload = [&]() -> Result<Bytes> {
    if (mode <= 1)
      return encode_with(indexes.data(), [&](EncodeSide& side) { return code_freq_reads(side, reads, mode == 1); });
    auto model = QualityMixModel::create(symbols.size(), total);
    if (!model) return refuse(model.error().message());
    return encode_with(indexes.data(), [&](EncodeSide& side) { return model->code_reads(side, reads, quantizer); });
  }();
  append_bytes(out, ZELK_TRY(std::move(payload)));
  return out;
}

namespace {

// Quality bytes of the leading whole reads a trial codes: enough for the
// models to settle, a fraction of a default block.
constexpr uint64_t kTrialBytes = 1 << 20;
// The mixing model must save this share (in 1/1000) over the frequency
// models to be chosen when decode speed counts.
constexpr uint64_t kMixingGainPerMille = 40;

uint64_t trial_read_count(std::span<const uint32_t> read_lengths) {
  uint64_t bytes = 0, reads = 0;
  while (reads < read_lengths.size() && (reads == 0 || bytes + read_lengths[reads] <= kTrialBytes))
    bytes += read_lengths[reads++];
  return reads;
}

// The frequency models see a quality as its offset above the table's first
// symbol, and keep only some bits of it (the low six of the previous
// quality, groups of 4, 8 or 16 of older ones), so that first symbol decides
// which qualities share a context. An unused symbol below the lowest quality
// moves it. These are the tables with such a symbol in front of the
// ascending `symbols`, one per distinct grouping of the mode's contexts,
// that keep every offset below 64 (no context drops its high bits) and the
// alphabet in its slot class (a larger class decodes slower).
std::vector<Bytes> moved_origins(ByteSpan symbols, uint8_t mode) {
  const unsigned period = mode == 0 ? 16 : 8;
  std::vector<Bytes> tables;
  if (freq_slot_class(symbols.size() + 1) != freq_slot_class(symbols.size())) return tables;
  for (unsigned below = 1; below < period && below <= symbols.front(); ++below) {
    uint8_t origin = static_cast<uint8_t>(symbols.front() - below);
    if (symbols.back() - origin >= 64) break;
    Bytes table{origin};
    append_bytes(table, symbols);
    tables.push_back(std::move(table));
  }
  return tables;
}

}  // namespace

Bytes equal_share_quantizer(ByteSpan qualities, ByteSpan symbols) {
  std::array<uint64_t, 256> counts{};
  for (uint8_t q : qualities) ++counts[q];
  uint64_t total = std::max<uint64_t>(qualities.size(), 1);
  auto class_of = [&](uint64_t before, uint64_t own, uint64_t classes) {
    return static_cast<uint8_t>(std::min(classes - 1, (2 * before + own) * classes / (2 * total)));
  };
  Bytes pairs;
  uint64_t before = 0;
  for (uint8_t symbol : symbols) {
    uint64_t own = counts[symbol];
    pairs.push_back(class_of(before, own, 64));
    pairs.push_back(static_cast<uint8_t>(class_of(before, own, 8) << 3 | class_of(before, own, 4)));
    before += own;
  }
  return pairs;
}

Result<QualityEncodeOptions> choose_quality_model(std::span<const uint32_t> read_lengths, ByteSpan qualities,
                                                  ByteSpan sequence, QualityEncodeOptions options,
                                                  ModeChoice choice) {
  uint64_t bases = qualities.size();
  bool long_reads = !read_lengths.empty() && bases / read_lengths.size() >= dna::kLongReadLength;
  options.mode = long_reads ? 1 : 0;
  if (choice == ModeChoice::ByReadLength || sequence.size() != bases) return options;
  auto lengths = read_lengths.first(trial_read_count(read_lengths));
  uint64_t sample = std::accumulate(lengths.begin(), lengths.end(), uint64_t{0});
  auto trial_size = [&](const QualityEncodeOptions& candidate) -> Result<uint64_t> {
    return ZELK_TRY(encode_quality_stream(lengths, qualities.first(sample), sequence.first(sample), candidate)).size();
  };
  auto smallest = [&](std::initializer_list<QualityEncodeOptions> candidates)
      -> Result<std::pair<QualityEncodeOptions, uint64_t>> {
    std::optional<std::pair<QualityEncodeOptions, uint64_t>> best;
    for (const QualityEncodeOptions& candidate : candidates) {
      uint64_t size = ZELK_TRY(trial_size(candidate));
      if (!best || size < best->second) best.emplace(candidate, size);
    }
    return std::move(*best);
  };
  // The trial codes a sample, which may lack some of the block's symbols.
  const bool symbols_fixed = options.symbols.has_value();
  if (!options.symbols) options.symbols = default_symbols(qualities);
  // Only mode 4 takes quantizer pairs: the caller's, or an equal split.
  std::optional<Bytes> pairs = std::exchange(options.quantizer, std::nullopt);
  QualityEncodeOptions position = options, bases_context = options, mixing = options, quantized = options;
  position.mode = 0;
  bases_context.mode = 1;
  mixing.mode = 3;
  quantized.mode = 4;
  quantized.quantizer = pairs ? *pairs : equal_share_quantizer(qualities, *options.symbols);
  auto [frequency, frequency_size] = ZELK_TRY(smallest({position, bases_context}));
  if (!symbols_fixed) {
    for (Bytes& table : moved_origins(*frequency.symbols, frequency.mode)) {
      QualityEncodeOptions moved = frequency;
      moved.symbols = std::move(table);
      uint64_t size = ZELK_TRY(trial_size(moved));
      if (size < frequency_size) std::tie(frequency, frequency_size) = std::pair{std::move(moved), size};
    }
  }
  if (choice == ModeChoice::FrequencyTrial) return frequency;
  auto [mixed, mixed_size] = ZELK_TRY(smallest({mixing, quantized}));
  uint64_t needed_gain = choice == ModeChoice::Smallest ? 0 : frequency_size * kMixingGainPerMille / 1000;
  return mixed_size + needed_gain < frequency_size ? mixed : frequency;
}

}  // namespace zelk::quality
