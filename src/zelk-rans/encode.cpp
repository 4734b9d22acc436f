// The encoder: frequency normalisation into symbol records, order-0 (scalar
// or the vector step) and order-1 blocks, and the best-of rule.
#include <bit>
#include <memory>

#include "zelk-rans/kernels.h"

namespace zelk::rans {

namespace {

using detail::RansEncSymbol;
using detail::States;

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

}  // namespace zelk::rans
