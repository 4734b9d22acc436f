// The portable decoder: block parsing, both orders, and the dispatch to the
// vector order-0 decoders.
#include <bit>
#include <memory>

#include "zelk-rans/kernels.h"
#include "zelk-base/cpu.h"

namespace zelk::rans {

namespace {

using detail::DecodeTable;
using detail::States;
using detail::WordStream;

using detail::kTruncated;
using detail::rans_error;

constexpr std::string_view kTruncatedRenorm = "truncated renorm stream";

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
  ZeroedArray<uint8_t> symbols;    // [context << 12 | slot]
  ZeroedArray<uint32_t> freq_cum;  // [context << 8 | symbol]
  std::array<bool, 256> present{};
};

ArchiveError tables_too_large() { return rans_error("rANS model tables too large to allocate"); }

Result<ContextTables> read_context_tables(ByteCursor& cursor) {
  auto bitmap = cursor.take(32);
  if (!bitmap) return fail(rans_error(kTruncated));
  // Zeroed pages come lazily from the allocator: absent contexts cost nothing.
  ContextTables tables{ZELK_TRY(allocate_zeroed<uint8_t>(256 * kTotFreq, false, tables_too_large)),
                       ZELK_TRY(allocate_zeroed<uint32_t>(256 * 256, false, tables_too_large))};
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
  auto table_storage = ZELK_TRY(allocate_zeroed<DecodeTable>(1, false, tables_too_large));
  DecodeTable* table = &table_storage[0];
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

}  // namespace zelk::rans
