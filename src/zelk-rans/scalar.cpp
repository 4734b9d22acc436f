// The portable decoder (both orders, block parsing, the dispatch to the
// vector order-0 decoders), the encoder, and the framed sub-stream.
#include <memory>

#include "zelk-rans/kernels.h"
#include "zelk/cpu.h"

namespace zelk::rans {

namespace {

using detail::DecodeTable;
using detail::States;
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

// The decode tables of an order-1 block, one per present context.
struct ContextTables {
  std::vector<DecodeTable> storage;
  std::array<const DecodeTable*, 256> by_context{};
};

Result<ContextTables> read_context_tables(ByteCursor& cursor) {
  auto bitmap = cursor.take(32);
  if (!bitmap) return fail(rans_error(kTruncated));
  auto present = [&](size_t c) { return ((*bitmap)[c / 8] >> (c % 8)) & 1; };
  size_t count = 0;
  for (size_t c = 0; c < 256; ++c) count += present(c);
  ContextTables tables;
  tables.storage.resize(count);
  size_t next = 0;
  for (size_t c = 0; c < 256; ++c) {
    if (!present(c)) continue;
    RansModel model = ZELK_TRY(read_model(cursor));
    detail::pack_decode_table(model, tables.storage[next]);
    tables.by_context[c] = &tables.storage[next++];
  }
  return tables;
}

// One step of a normalised lane with a word known to be available: the
// renormalisation is branch-free.
inline uint8_t step_unchecked(const DecodeTable& table, uint32_t& x, WordStream& words) {
  uint32_t entry = table[x % kTotFreq];
  uint32_t next = detail::decode_update(x, entry);
  bool renormalise = next < kLowerBound;
  uint32_t pulled = (next << 16) | load_le<uint16_t>(words.next);
  x = renormalise ? pulled : next;
  words.next += renormalise ? 2 : 0;
  return static_cast<uint8_t>(entry);
}

bool decode_order0_scalar(const DecodeTable& table, States& states, WordStream& words, uint8_t* out,
                          size_t n) {
  size_t i;
  if (!detail::decode_prologue(table, states, words, out, n, i)) return false;
  for (; i + kLanes <= n && words.remaining_bytes() >= detail::kGroupWordBytes; i += kLanes)
    for (size_t k = 0; k < kLanes; ++k) out[i + k] = step_unchecked(table, states[k], words);
  return detail::decode_order0_checked(table, states, words, out, i, n);
}

// The context of each symbol is the previous output byte (0 for the first),
// so order 1 runs one serial chain through the tables.
Result<void> decode_order1(const ContextTables& tables, States& states, WordStream& words, uint8_t* out,
                           size_t n) {
  uint8_t context = 0;
  for (size_t i = 0; i < n; ++i) {
    const DecodeTable* table = tables.by_context[context];
    if (!table) return fail(rans_error("symbol references absent context"));
    uint32_t& x = states[i % kLanes];
    uint32_t entry = (*table)[x % kTotFreq];
    context = out[i] = static_cast<uint8_t>(entry);
    x = detail::decode_update(x, entry);
    if (!words.renormalise(x)) return fail(rans_error(kTruncated));
  }
  return {};
}

DecoderImpl resolve(DecoderImpl impl) {
  if (impl != DecoderImpl::Auto) return impl;
  if (decoder_available(DecoderImpl::Avx512)) return DecoderImpl::Avx512;
  if (decoder_available(DecoderImpl::Avx2)) return DecoderImpl::Avx2;
  return DecoderImpl::Scalar;
}

Result<void> decode_order0(const RansModel& model, DecoderImpl impl, States& states, WordStream& words,
                           uint8_t* out, size_t n) {
  auto table = std::make_unique<DecodeTable>();
  detail::pack_decode_table(model, *table);
  switch (resolve(impl)) {
    case DecoderImpl::Avx512:
      if (!detail::decode_order0_avx512(*table, states, words, out, n)) return fail(rans_error(kTruncatedRenorm));
      return {};
    case DecoderImpl::Avx2:
      if (!detail::decode_order0_avx2(*table, states, words, out, n)) return fail(rans_error(kTruncatedRenorm));
      return {};
    default:
      if (!decode_order0_scalar(*table, states, words, out, n)) return fail(rans_error(kTruncated));
      return {};
  }
}

}  // namespace

bool decoder_available(DecoderImpl impl) {
  switch (impl) {
    case DecoderImpl::Avx512: return cpu_features() & kCpuAvx512f;
    case DecoderImpl::Avx2: return cpu_features() & kCpuAvx2;
    default: return true;
  }
}

Result<Bytes> rans_decode(ByteSpan block, uint64_t max_len, DecoderImpl impl) {
  if (block.size() < kHeaderSize) return fail(rans_error(kTruncated));
  ByteCursor cursor(block);
  uint8_t order = *cursor.take_u8();
  uint64_t n = *cursor.take_le<uint64_t>();
  if (n > max_len) return fail(rans_error("rANS output length exceeds caller bound"));
  if (n == 0) return Bytes{};
  if (order > 1) return fail(rans_error("unknown order tag"));

  std::optional<RansModel> model0;
  ContextTables model1;
  if (order == 0)
    model0 = ZELK_TRY(read_model(cursor));
  else
    model1 = ZELK_TRY(read_context_tables(cursor));

  auto raw_states = cursor.take(kLanes * sizeof(uint32_t));
  if (!raw_states) return fail(rans_error(kTruncated));
  States states;
  for (size_t k = 0; k < kLanes; ++k) states[k] = load_le<uint32_t>(raw_states->data() + 4 * k);

  Bytes out = ZELK_TRY(allocate<Bytes>(n, [] { return rans_error("rANS output length too large to allocate"); }));
  ByteSpan rest = cursor.rest();
  WordStream words{rest.data(), rest.data() + rest.size()};
  if (order == 0)
    ZELK_TRY(decode_order0(*model0, impl, states, words, out.data(), out.size()));
  else
    ZELK_TRY(decode_order1(model1, states, words, out.data(), out.size()));
  return out;
}

namespace {

// The coding step of one symbol in reciprocal form (division only where
// the reciprocal is not exact for 32-bit states).
struct RansEncSymbol {
  uint64_t x_max;
  uint32_t rcp_freq, rcp_shift, bias, cmpl_freq;
  uint32_t freq, cum;
  bool use_division;
};

RansEncSymbol make_enc_symbol(uint32_t freq, uint32_t cum) {
  // A state at or above x_max would leave [2^16, 2^32) after coding.
  uint64_t x_max = (static_cast<uint64_t>(kLowerBound >> kScaleBits) << 16) * freq;
  RansEncSymbol sym{x_max, 0, 0, 0, kTotFreq - freq, freq, cum, freq > kTotFreq / 2};
  if (freq < 2) {
    sym.rcp_freq = UINT32_MAX;
    sym.bias = cum + kTotFreq - 1;
  } else if (!sym.use_division) {
    uint32_t shift = 0;
    while ((1u << shift) < freq) ++shift;
    sym.rcp_freq = static_cast<uint32_t>(((uint64_t{1} << (shift + 31)) + freq - 1) / freq);
    sym.rcp_shift = shift - 1;
    sym.bias = cum;
  }
  return sym;
}

using EncSymbols = std::array<RansEncSymbol, 256>;

void make_enc_symbols(const FreqTable& freq, EncSymbols& out) {
  RansModel model = *rans_build_model(freq);  // a normalised table always builds
  for (size_t s = 0; s < 256; ++s) out[s] = make_enc_symbol(freq[s], model.cum[s]);
}

// Coding runs backwards from the last symbol; words are emitted in the
// reverse of the order the decoder consumes them.
struct Encoder {
  std::array<uint32_t, kLanes> states;
  std::unique_ptr<uint16_t[]> words;  // at most one word per symbol
  size_t word_count = 0;

  explicit Encoder(size_t n) : words(new uint16_t[n]) { states.fill(kLowerBound); }

  void put(size_t i, const RansEncSymbol& sym) {
    uint32_t& x = states[i % kLanes];
    if (x >= sym.x_max) {  // one shift always suffices: x < 2^32 and x_max >= 2^20
      words[word_count++] = static_cast<uint16_t>(x);
      x >>= 16;
    }
    if (sym.use_division)
      x = (x / sym.freq) * kTotFreq + x % sym.freq + sym.cum;
    else
      x += sym.bias + static_cast<uint32_t>((static_cast<uint64_t>(x) * sym.rcp_freq) >> 32 >> sym.rcp_shift) *
                          sym.cmpl_freq;
  }

  void append_tail(Bytes& out) const {
    for (uint32_t x : states) append_le(out, x);
    size_t at = out.size();
    out.resize(at + 2 * word_count);
    for (size_t j = 0; j < word_count; ++j) store_le(out.data() + at + 2 * j, words[word_count - 1 - j]);
  }
};

Bytes block_header(uint8_t order, size_t n) {
  Bytes out;
  out.push_back(order);
  append_le<uint64_t>(out, n);
  return out;
}

void append_freqs(Bytes& out, const FreqTable& freq) {
  for (uint16_t f : freq) append_le(out, f);
}

Bytes encode_order0(ByteSpan data) {
  Bytes out = block_header(0, data.size());
  if (data.empty()) return out;
  SymbolCounts counts{};
  for (uint8_t b : data) ++counts[b];
  FreqTable freq = normalise_freqs(counts);
  EncSymbols symbols;
  make_enc_symbols(freq, symbols);
  Encoder encoder(data.size());
  for (size_t i = data.size(); i-- > 0;) encoder.put(i, symbols[data[i]]);
  append_freqs(out, freq);
  encoder.append_tail(out);
  return out;
}

Bytes encode_order1(ByteSpan data) {
  Bytes out = block_header(1, data.size());
  if (data.empty()) return out;
  // Rows only for the contexts that occur: the context of position i is
  // data[i - 1], and 0 for the first position.
  std::array<int16_t, 256> row_of;
  row_of.fill(-1);
  std::vector<SymbolCounts> rows;
  auto row = [&](uint8_t context) -> SymbolCounts& {
    if (row_of[context] < 0) {
      row_of[context] = static_cast<int16_t>(rows.size());
      rows.emplace_back();
    }
    return rows[row_of[context]];
  };
  row(0)[data[0]]++;
  for (size_t i = 1; i < data.size(); ++i) row(data[i - 1])[data[i]]++;

  std::vector<FreqTable> freqs(rows.size());
  std::vector<EncSymbols> symbols(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    freqs[r] = normalise_freqs(rows[r]);
    make_enc_symbols(freqs[r], symbols[r]);
  }
  Encoder encoder(data.size());
  for (size_t i = data.size(); i-- > 0;) {
    uint8_t context = i ? data[i - 1] : 0;
    encoder.put(i, symbols[row_of[context]][data[i]]);
  }

  std::array<uint8_t, 32> bitmap{};
  for (size_t c = 0; c < 256; ++c)
    if (row_of[c] >= 0) bitmap[c / 8] |= static_cast<uint8_t>(1u << (c % 8));
  append_bytes(out, bitmap);
  for (size_t c = 0; c < 256; ++c)
    if (row_of[c] >= 0) append_freqs(out, freqs[row_of[c]]);
  encoder.append_tail(out);
  return out;
}

}  // namespace

Bytes rans_encode(ByteSpan data, int order) {
  return order == 0 ? encode_order0(data) : encode_order1(data);
}

Bytes rans_encode_best(ByteSpan data) {
  Bytes order0 = encode_order0(data);
  Bytes order1 = encode_order1(data);
  return order1.size() < order0.size() ? order1 : order0;
}

Result<Bytes> decode_framed(ByteCursor& cursor) {
  auto varint_error = [] { return rans_error("varint too long"); };
  uint64_t raw_len = ZELK_TRY(read_varint(cursor, varint_error));
  if (raw_len == 0) return Bytes{};
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
