// The portable decoder (both orders, block parsing, the dispatch to the
// vector order-0 decoders), the encoder, and the framed sub-stream.
#include <bit>
#include <memory>

#include "zelk-rans/kernels.h"
#include "zelk/cpu.h"

namespace zelk::rans {

namespace {

using detail::DecodeTable;
using detail::States;
using detail::RansEncSymbol;
using detail::WordStream;

constexpr std::string_view kTruncated = "truncated stream";
constexpr std::string_view kTruncatedRenorm = "truncated renorm stream";

ArchiveError rans_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::Rans, detail);
}

Result<RansModel> read_model(ByteCursor& cursor) {
  auto raw = cursor.take(256 * sizeof(uint16_t));
  if (!raw) return fail(rans_error(kTruncated));
  FreqTable freq;
  for (size_t s = 0; s < 256; ++s) freq[s] = load_le<uint16_t>(raw->data() + 2 * s);
  return rans_build_model(freq);
}

// The order-1 model set laid out for its one serial chain: the symbol of
// (context, slot) is a single byte load, and the frequency and start of
// (context, symbol) are read off that chain. Rows of absent contexts are
// never written.
struct ContextTables {
  std::unique_ptr<uint8_t[]> symbols{new uint8_t[256 * kTotFreq]};  // [context << 12 | slot]
  std::unique_ptr<uint32_t[]> freq_cum{new uint32_t[256 * 256]};   // [context << 8 | symbol]
  std::array<bool, 256> present{};
};

Result<ContextTables> read_context_tables(ByteCursor& cursor) {
  auto bitmap = cursor.take(32);
  if (!bitmap) return fail(rans_error(kTruncated));
  ContextTables tables;
  for (size_t c = 0; c < 256; ++c) {
    if (!(((*bitmap)[c / 8] >> (c % 8)) & 1)) continue;
    RansModel model = ZELK_TRY(read_model(cursor));
    tables.present[c] = true;
    std::copy(model.slot2sym.begin(), model.slot2sym.end(), &tables.symbols[c * kTotFreq]);
    for (size_t s = 0; s < 256; ++s)
      tables.freq_cum[c << 8 | s] = uint32_t{model.freq[s]} << 16 | model.cum[s];
  }
  return tables;
}

bool decode_order0_scalar(const DecodeTable& table, States& states, WordStream& words, uint8_t* out,
                          size_t n) {
  size_t i;
  if (!detail::decode_prologue(table, states, words, out, n, i)) return false;
  // Local copies: stores to `out` may alias anything reached through a
  // reference, and would force reloads.
  States x = states;
  WordStream w = words;
  for (; i + kLanes <= n && w.remaining_bytes() >= detail::kGroupWordBytes; i += kLanes) {
    for (size_t k = 0; k < kLanes; ++k) {
      uint32_t entry = table[x[k] % kTotFreq];
      out[i + k] = static_cast<uint8_t>(entry);
      x[k] = detail::decode_update(x[k], entry);
      w.renormalise_unchecked(x[k]);
    }
  }
  states = x;
  words = w;
  return detail::decode_order0_checked(table, states, words, out, i, n);
}

// Order 1: the context of each symbol is the previous output byte (0 for
// the first), so decoding is one serial chain through the tables.
inline uint8_t order1_symbol(const ContextTables& tables, uint8_t context, uint32_t& x) {
  uint32_t slot = x % kTotFreq;
  uint8_t symbol = tables.symbols[uint32_t{context} << kScaleBits | slot];
  uint32_t freq_cum = tables.freq_cum[uint32_t{context} << 8 | symbol];
  x = (freq_cum >> 16) * (x >> kScaleBits) + slot - (freq_cum & 0xFFFF);
  return symbol;
}

ArchiveError absent_context() { return rans_error("symbol references absent context"); }

Result<void> decode_order1_checked(const ContextTables& tables, States& states, WordStream& words,
                                   uint8_t* out, size_t begin, size_t end) {
  uint8_t context = begin ? out[begin - 1] : 0;
  for (size_t i = begin; i < end; ++i) {
    if (!tables.present[context]) return fail(absent_context());
    uint32_t& x = states[i % kLanes];
    context = out[i] = order1_symbol(tables, context, x);
    if (!words.renormalise(x)) return fail(rans_error(kTruncated));
  }
  return {};
}

// Whole groups of normalised lanes while a word per symbol remains; sets
// `i` to where the checked tail starts.
Result<void> decode_order1_groups(const ContextTables& tables, States& states, WordStream& words,
                                  uint8_t* out, size_t n, size_t& i) {
  States x = states;  // local copies, as in the order-0 loop
  WordStream w = words;
  uint8_t context = i ? out[i - 1] : 0;
  for (; i + kLanes <= n && w.remaining_bytes() >= detail::kGroupWordBytes; i += kLanes) {
    for (size_t k = 0; k < kLanes; ++k) {
      if (!tables.present[context]) return fail(absent_context());
      context = out[i + k] = order1_symbol(tables, context, x[k]);
      w.renormalise_unchecked(x[k]);
    }
  }
  states = x;
  words = w;
  return {};
}

Result<void> decode_order1(const ContextTables& tables, States& states, WordStream& words, uint8_t* out,
                           size_t n) {
  size_t i = detail::all_normalised(states) ? 0 : std::min(n, kLanes);
  ZELK_TRY(decode_order1_checked(tables, states, words, out, 0, i));
  ZELK_TRY(decode_order1_groups(tables, states, words, out, n, i));
  return decode_order1_checked(tables, states, words, out, i, n);
}

Impl resolve(Impl impl) {
  if (impl != Impl::Auto) return impl;
  if (impl_available(Impl::Avx512)) return Impl::Avx512;
  if (impl_available(Impl::Avx2)) return Impl::Avx2;
  return Impl::Scalar;
}

Result<void> decode_order0(const RansModel& model, Impl impl, States& states, WordStream& words,
                           uint8_t* out, size_t n) {
  auto table = std::make_unique<DecodeTable>();
  detail::pack_decode_table(model, *table);
  switch (resolve(impl)) {
    case Impl::Avx512:
      if (detail::decode_order0_avx512(*table, states, words, out, n)) return {};
      return fail(rans_error(kTruncatedRenorm));
    case Impl::Avx2:
      if (detail::decode_order0_avx2(*table, states, words, out, n)) return {};
      return fail(rans_error(kTruncatedRenorm));
    default:
      if (decode_order0_scalar(*table, states, words, out, n)) return {};
      return fail(rans_error(kTruncated));
  }
}

}  // namespace

bool impl_available(Impl impl) {
  switch (impl) {
    case Impl::Avx512: return cpu_features() & kCpuAvx512f;
    case Impl::Avx2: return cpu_features() & kCpuAvx2;
    default: return true;
  }
}

Result<Bytes> rans_decode(ByteSpan block, uint64_t max_len, Impl impl) {
  if (block.size() < kHeaderSize) return fail(rans_error(kTruncated));
  ByteCursor cursor(block);
  uint8_t order = *cursor.take_u8();
  uint64_t n = *cursor.take_le<uint64_t>();
  if (n > max_len) return fail(rans_error("rANS output length exceeds caller bound"));
  if (n == 0) return Bytes{};
  if (order > 1) return fail(rans_error("unknown order tag"));

  std::optional<RansModel> model0;
  std::optional<ContextTables> model1;
  if (order == 0)
    model0 = ZELK_TRY(read_model(cursor));
  else
    model1 = ZELK_TRY(read_context_tables(cursor));

  auto raw_states = cursor.take(kLanes * sizeof(uint32_t));
  if (!raw_states) return fail(rans_error(kTruncated));
  States states;
  for (size_t k = 0; k < kLanes; ++k) states[k] = load_le<uint32_t>(raw_states->data() + 4 * k);

  auto too_large = [] { return rans_error("rANS output length too large to allocate"); };
  Bytes out = ZELK_TRY(allocate<Bytes>(n, too_large));
  ByteSpan rest = cursor.rest();
  WordStream words{rest.data(), rest.data() + rest.size()};
  if (order == 0)
    ZELK_TRY(decode_order0(*model0, impl, states, words, out.data(), out.size()));
  else
    ZELK_TRY(decode_order1(*model1, states, words, out.data(), out.size()));
  return out;
}

namespace {

RansEncSymbol make_enc_symbol(uint32_t freq, uint32_t cum) {
  RansEncSymbol sym{};
  sym.freq = static_cast<uint16_t>(freq);
  sym.bias = cum;
  if (freq < 2) {
    sym.rcp_freq = UINT32_MAX;  // q = x - 1, which the bias corrects
    sym.bias = cum + kTotFreq - 1;
  } else if (freq <= kTotFreq / 2) {
    uint32_t shift = std::bit_width(freq - 1);  // the smallest k with 2^k >= freq
    sym.rcp_freq = static_cast<uint32_t>(((uint64_t{1} << (shift + 31)) + freq - 1) / freq);
    sym.rcp_shift = static_cast<uint8_t>(shift - 1);
  } else {
    uint64_t reciprocal = ((uint64_t{1} << 44) + freq - 1) / freq;  // in [2^32, 2^33)
    sym.rcp_freq = static_cast<uint32_t>(reciprocal);
    sym.add_state = UINT32_MAX;
    sym.rcp_shift = 12;
  }
  return sym;
}

using EncSymbols = std::array<RansEncSymbol, 256>;

// Records for the symbols of a normalised table; absent ones are never coded.
void make_enc_symbols(const FreqTable& freq, EncSymbols& out) {
  uint32_t cum = 0;
  for (size_t s = 0; s < 256; ++s) {
    if (freq[s]) out[s] = make_enc_symbol(freq[s], cum);
    cum += freq[s];
  }
}

// The 32 lane states and the words emitted so far. Coding runs backwards
// from the last symbol, position i in lane i mod 32; the words go out in the
// reverse of the order the decoder consumes them.
struct EncoderState {
  States states;
  std::unique_ptr<uint16_t[]> words;  // at most one word per symbol, plus the vector slack
  size_t word_count = 0;

  explicit EncoderState(size_t n) : words(new uint16_t[n + detail::kEncodeWordSlack]) {
    states.fill(kLowerBound);
  }

  // Codes positions end - 1 down to begin with the records `symbol_at(i)`.
  template <class SymbolAt>
  void code_backwards(size_t begin, size_t end, SymbolAt symbol_at) {
    States x = states;  // local copies keep the loop free of reloads
    size_t count = word_count;
    for (size_t i = end; i-- > begin;) detail::encode_step(x[i % kLanes], symbol_at(i), words.get(), count);
    states = x;
    word_count = count;
  }

  // Appends the final states and the words in decoder order.
  void append_to(Bytes& out) const {
    size_t at = out.size();
    out.resize(at + sizeof states + 2 * word_count);
    for (size_t k = 0; k < kLanes; ++k) store_le(out.data() + at + 4 * k, states[k]);
    uint8_t* tail = out.data() + at + sizeof states;
    for (size_t j = 0; j < word_count; ++j) store_le(tail + 2 * j, words[word_count - 1 - j]);
  }
};

Bytes block_header(uint8_t order, size_t n) {
  Bytes out;
  out.push_back(order);
  append_le<uint64_t>(out, n);
  return out;
}

void append_freqs(Bytes& out, const FreqTable& freq) {
  size_t at = out.size();
  out.resize(at + sizeof freq);
  for (size_t s = 0; s < 256; ++s) store_le(out.data() + at + 2 * s, freq[s]);
}

// Four interleaved histograms, so runs of one symbol do not serialise on a
// single counter.
SymbolCounts count_symbols(ByteSpan data) {
  std::array<SymbolCounts, 4> partial{};
  size_t i = 0;
  for (; i + 4 <= data.size(); i += 4)
    for (size_t j = 0; j < 4; ++j) ++partial[j][data[i + j]];
  SymbolCounts counts{};
  for (; i < data.size(); ++i) ++counts[data[i]];
  for (const auto& part : partial)
    for (size_t s = 0; s < 256; ++s) counts[s] += part[s];
  return counts;
}

bool use_vector_encoder(Impl impl) {
  return impl == Impl::Avx512 || (impl == Impl::Auto && impl_available(Impl::Avx512));
}

Bytes encode_order0(ByteSpan data, Impl impl) {
  Bytes out = block_header(0, data.size());
  if (data.empty()) return out;
  FreqTable freq = normalise_freqs(count_symbols(data));
  EncSymbols symbols;
  make_enc_symbols(freq, symbols);
  append_freqs(out, freq);
  EncoderState encoder(data.size());
  // The vector routine takes the whole groups of 32 once the scalar step
  // has coded the tail above them.
  size_t vector_end = use_vector_encoder(impl) ? data.size() / kLanes * kLanes : 0;
  encoder.code_backwards(vector_end, data.size(),
                         [&](size_t i) -> const RansEncSymbol& { return symbols[data[i]]; });
  if (vector_end)
    detail::encode_order0_avx512(symbols.data(), data.data(), vector_end / kLanes, encoder.states,
                                 encoder.words.get(), encoder.word_count);
  encoder.append_to(out);
  return out;
}

Bytes encode_order1(ByteSpan data) {
  Bytes out = block_header(1, data.size());
  if (data.empty()) return out;
  // Rows only for the contexts that occur: the context of position i is
  // data[i - 1], and 0 for the first position.
  std::array<bool, 256> occurs{};
  occurs[0] = true;
  for (size_t i = 0; i + 1 < data.size(); ++i) occurs[data[i]] = true;
  std::array<int16_t, 256> row_of;
  int16_t row_count = 0;
  for (size_t c = 0; c < 256; ++c) row_of[c] = occurs[c] ? row_count++ : -1;
  std::vector<SymbolCounts> rows(row_count);
  std::array<SymbolCounts*, 256> counts_of{};
  for (size_t c = 0; c < 256; ++c)
    if (row_of[c] >= 0) counts_of[c] = &rows[row_of[c]];
  (*counts_of[0])[data[0]]++;
  for (size_t i = 1; i < data.size(); ++i) (*counts_of[data[i - 1]])[data[i]]++;

  std::vector<FreqTable> freqs(rows.size());
  std::vector<EncSymbols> symbols(rows.size());
  std::array<const RansEncSymbol*, 256> symbols_of{};
  for (size_t c = 0; c < 256; ++c) {
    if (row_of[c] < 0) continue;
    freqs[row_of[c]] = normalise_freqs(rows[row_of[c]]);
    make_enc_symbols(freqs[row_of[c]], symbols[row_of[c]]);
    symbols_of[c] = symbols[row_of[c]].data();
  }

  std::array<uint8_t, 32> bitmap{};
  for (size_t c = 0; c < 256; ++c)
    if (row_of[c] >= 0) bitmap[c / 8] |= static_cast<uint8_t>(1u << (c % 8));
  append_bytes(out, bitmap);
  for (size_t c = 0; c < 256; ++c)
    if (row_of[c] >= 0) append_freqs(out, freqs[row_of[c]]);
  EncoderState encoder(data.size());
  encoder.code_backwards(0, data.size(), [&](size_t i) -> const RansEncSymbol& {
    return symbols_of[i ? data[i - 1] : 0][data[i]];
  });
  encoder.append_to(out);
  return out;
}

}  // namespace

Bytes rans_encode(ByteSpan data, int order, Impl impl) {
  return order == 0 ? encode_order0(data, impl) : encode_order1(data);
}

Bytes rans_encode_best(ByteSpan data) {
  Bytes order0 = encode_order0(data, Impl::Auto);
  Bytes order1 = encode_order1(data);
  return order1.size() < order0.size() ? order1 : order0;
}

Result<Bytes> decode_framed(ByteCursor& cursor, uint64_t max_len) {
  auto varint_error = [] { return rans_error("varint too long"); };
  uint64_t raw_len = ZELK_TRY(read_varint(cursor, varint_error));
  if (raw_len == 0) return Bytes{};
  if (raw_len > max_len) return fail(rans_error("rANS output length exceeds caller bound"));
  uint64_t coded_len = ZELK_TRY(read_varint(cursor, varint_error));
  auto block = cursor.take(coded_len);
  if (!block) return fail(rans_error(kTruncated));
  Bytes out = ZELK_TRY(rans_decode(*block, raw_len));
  if (out.size() != raw_len) return fail(rans_error("framed length mismatch"));
  return out;
}

void append_framed(Bytes& out, ByteSpan data) {
  append_varint(out, data.size());
  if (data.empty()) return;
  Bytes block = rans_encode_best(data);
  append_varint(out, block.size());
  append_bytes(out, block);
}

}  // namespace zelk::rans
