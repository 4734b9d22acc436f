// Quality stream layout (header and read lengths), the frequency model of
// modes 0 and 1, and the decode dispatch by context mode.
#include <algorithm>
#include <numeric>

#include "zelk-dna/read_lengths.h"
#include "zelk-quality/coder.h"
#include "zelk-quality/quality.h"
#include "zelk-base/limits.h"
#include "zelk-base/text.h"

namespace zelk::quality {

namespace {

constexpr uint64_t kMaxTotal = uint64_t{1} << 34;  // 16 GiB of qualities
constexpr size_t kFreqContexts = size_t{1} << 18;

ArchiveError truncated_header() { return malformed("truncated header"); }

// Per-context adaptive frequencies of one slot class: S slots, of which the
// first n are symbols.
template <size_t S>
using FreqContext = range::FreqModel<S>;
static_assert(sizeof(FreqContext<4>) == 12 && sizeof(FreqContext<94>) == 192);

// Mode 0: previous qualities, the count of changes so far and the position.
uint32_t position_context(unsigned q1, unsigned q2, unsigned q3, unsigned delta, uint32_t i) {
  uint32_t position = i < 16 ? i >> 1 : (std::min<uint32_t>(i >> 5, 7) | 8);
  return (q1 & 63) | ((q2 >> 2) & 15) << 6 | delta << 10 | ((q3 >> 4) & 3) << 12 | position << 14;
}

// Mode 1: previous qualities, the current and next base and the run length.
uint32_t sequence_context(unsigned q1, unsigned q2, const ReadBases& bases, uint32_t i, unsigned run) {
  return ((q1 >> 1) & 63) | ((q2 >> 3) & 7) << 6 | bases.code(i) << 9 | bases.code(i + 1) << 11 |
         std::min(run, 7u) << 13;
}

template <size_t S, bool kWithSequence, class Side>
Result<void> run_freq_model(Side& side, const ReadBatch& reads) {
  const unsigned n = static_cast<unsigned>(reads.symbols.size());
  // A context is set up on first use: a used one never has a total of 0.
  const FreqContext<S> initial = FreqContext<S>::over_first(n);
  uint64_t symbols = std::accumulate(reads.lengths.begin(), reads.lengths.end(), uint64_t{0});
  auto table = ZELK_TRY(allocate_model_table<FreqContext<S>>(
      kFreqContexts, huge_pages_pay(kFreqContexts * sizeof(FreqContext<S>), symbols)));

  const uint8_t origin = reads.symbols[0];
  BaseWalker walker(reads);
  for (uint32_t length : reads.lengths) {
    ReadBases bases{ByteSpan{}};
    if constexpr (kWithSequence) bases = ZELK_TRY(walker.next(length));
    unsigned q1 = 0, q2 = 0, q3 = 0, delta = 0, run = 0;
    for (uint32_t i = 0; i < length; ++i) {
      uint32_t context;
      if constexpr (kWithSequence) {
        run = i > 0 && bases.raw(i - 1) == bases.raw(i) ? run + 1 : 1;
        context = sequence_context(q1, q2, bases, i, run);
      } else {
        context = position_context(q1, q2, q3, delta, i);
      }
      FreqContext<S>& entry = table[context];
      if (entry.total() == 0) entry = initial;
      unsigned slot = side.template freq<S>(entry.counts.data(), entry.total(), side.target());
      if (slot == range::RangeDecoder::kBadContext)
        return fail(malformed("quality context total exceeds the coder range"));
      entry.update(slot);
      if (slot >= n) return fail(malformed("decoded symbol outside alphabet"));
      uint8_t quality = reads.symbols[slot];
      side.emit(quality);
      unsigned q = static_cast<uint8_t>(quality - origin);
      if (i >= 1 && q != q1) delta = std::min(delta + 1, 3u);
      q3 = q2;
      q2 = q1;
      q1 = q;
    }
  }
  return {};
}

template <size_t S, class Side>
Result<void> run_freq_model(Side& side, const ReadBatch& reads, bool with_sequence) {
  return with_sequence ? run_freq_model<S, true>(side, reads) : run_freq_model<S, false>(side, reads);
}

}  // namespace

template <class Side>
Result<void> code_freq_reads(Side& side, const ReadBatch& reads, bool with_sequence) {
  switch (freq_slot_class(reads.symbols.size())) {
    case 4: return run_freq_model<4>(side, reads, with_sequence);
    case 8: return run_freq_model<8>(side, reads, with_sequence);
    case 16: return run_freq_model<16>(side, reads, with_sequence);
    case 32: return run_freq_model<32>(side, reads, with_sequence);
    case 64: return run_freq_model<64>(side, reads, with_sequence);
    default: return run_freq_model<kMaxAlphabet>(side, reads, with_sequence);
  }
}
template Result<void> code_freq_reads(DecodeSide&, const ReadBatch&, bool);
template Result<void> code_freq_reads(EncodeSide&, const ReadBatch&, bool);

QuantizerTables default_quantizer() {
  QuantizerTables tables;
  for (unsigned v = 0; v < 256; ++v) {
    tables.q0[v] = static_cast<uint8_t>(v >> 1);
    tables.q1[v] = static_cast<uint8_t>(v >> 3);
    tables.q2[v] = static_cast<uint8_t>(v >> 4);
  }
  return tables;
}

QuantizerTables quantizer_from_pairs(std::span<const uint8_t> symbols, ByteSpan pairs) {
  QuantizerTables tables;
  for (size_t i = 0; i < symbols.size(); ++i) {
    uint8_t v = static_cast<uint8_t>(symbols[i] - symbols[0]);
    uint8_t b0 = pairs[2 * i], b1 = pairs[2 * i + 1];
    tables.q0[v] = b0 & 63;
    tables.q1[v] = (b1 >> 3) & 7;
    tables.q2[v] = b1 & 3;
  }
  return tables;
}

Result<QualityHeader> parse_quality_header(ByteSpan stream) {
  QualityHeader header;
  if (stream.empty()) return fail(truncated_header());
  if (stream[0] != kStreamVersion) return fail(malformed("unsupported version"));
  if (stream.size() < 2) return fail(truncated_header());
  header.binning = stream[1];
  if (header.binning >= kBinningTagCount) return fail(malformed("unknown quality-binning tag"));
  if (stream.size() < 3) return fail(truncated_header());
  header.mode = stream[2];
  if (!mode_is_valid(header.mode))
    return fail(ArchiveError::codec(
        ErrorKind::QualityCodec,
        strprintf("unsupported quality context mode %u; this archive needs a newer zelk", header.mode)));
  if (stream.size() < 4) return fail(truncated_header());
  unsigned n = stream[3];
  if (n == 0 || n > kMaxAlphabet)
    return fail(ArchiveError::codec(ErrorKind::QualityCodec,
                                    strprintf("quality alphabet too large (%u > 64 symbols)", n)));
  size_t table_bytes = mode_has_quantizer(header.mode) ? 3 * n : n;
  if (stream.size() < 4 + table_bytes) return fail(truncated_header());

  ByteCursor cursor(stream.subspan(4));
  ByteSpan symbols = *cursor.take(n);
  header.symbols.assign(symbols.begin(), symbols.end());
  header.quantizer = mode_has_quantizer(header.mode) ? quantizer_from_pairs(symbols, *cursor.take(2 * n))
                                                     : default_quantizer();
  if (mode_is_chunked(header.mode)) header.chunks = ZELK_TRY(read_chunk_table(cursor));
  dna::ReadLengths lengths = ZELK_TRY(dna::read_read_lengths(cursor, ErrorKind::QualityCodec, "truncated header"));
  header.read_lengths = std::move(lengths.lengths);
  header.total = lengths.total;
  if (header.total > kMaxTotal) return fail(malformed("declared total length exceeds maximum"));
  header.payload_offset = 4 + cursor.position();
  return header;
}

Result<DecodeSide> start_decode(ByteSpan payload, const ReadBatch& reads, std::span<uint8_t> out) {
  uint64_t needed = std::accumulate(reads.lengths.begin(), reads.lengths.end(), uint64_t{0});
  if (out.size() < needed) return fail(malformed("quality output range too short"));
  return DecodeSide{range::RangeDecoder(payload), out.data()};
}

Result<DecodedQualities> decode_quality_stream(ByteSpan stream, ByteSpan sequence, WorkerPool* pool,
                                               const BufferFill* sequence_fill) {
  QualityHeader header = ZELK_TRY(parse_quality_header(stream));
  bool conditioned = mode_needs_sequence(header.mode);
  if (conditioned && sequence.size() != header.total)
    return fail(malformed("sequence context requires the decoded sequence"));
  ZELK_TRY(check_decode_limit(ErrorKind::QualityCodec, "declared quality length", header.total));
  Bytes out = ZELK_TRY(
      allocate<Bytes>(header.total, [] { return malformed("declared total length too large to allocate"); }));

  ByteSpan payload = stream.subspan(header.payload_offset);
  ReadBatch reads{header.read_lengths, conditioned ? sequence : ByteSpan{}, header.symbols,
                  conditioned ? sequence_fill : nullptr};
  switch (header.mode) {
    case 0:
    case 1: {
      DecodeSide side = ZELK_TRY(start_decode(payload, reads, out));
      ZELK_TRY(code_freq_reads(side, reads, header.mode == 1));
      break;
    }
    case 3:
    case 4: {
      QualityMixModel model = ZELK_TRY(QualityMixModel::create(header.symbols.size(), header.total));
      DecodeSide side = ZELK_TRY(start_decode(payload, reads, out));
      ZELK_TRY(model.code_reads(side, reads, header.quantizer));
      break;
    }
    default:
      ZELK_TRY(decode_chunked(header, payload, reads, out, pool ? *pool : WorkerPool::shared()));
  }
  return DecodedQualities{std::move(header.read_lengths), std::move(out)};
}

bool quality_needs_sequence(ByteSpan stream) {
  return stream.size() >= 3 && stream[0] == kStreamVersion && stream[2] != 0;
}

}  // namespace zelk::quality
