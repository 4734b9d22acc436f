// Frequency tables: building a model, normalising counts, and the packed
// per-slot table of the decoders.
#include <algorithm>

#include "zelk-rans/kernels.h"

namespace zelk::rans {

Result<RansModel> rans_build_model(const FreqTable& freq) {
  RansModel model;
  model.freq = freq;
  uint32_t total = 0;
  model.cum[0] = 0;
  for (size_t s = 0; s < 256; ++s) {
    total += freq[s];
    if (total > kTotFreq)
      return fail(ArchiveError::malformed_stream(ErrorKind::Rans, "rANS freq table exceeds TOTFREQ"));
    model.cum[s + 1] = static_cast<uint16_t>(total);
  }
  if (total != kTotFreq)
    return fail(ArchiveError::malformed_stream(ErrorKind::Rans, "rANS freq table does not sum to TOTFREQ"));
  for (size_t s = 0; s < 256; ++s)
    std::fill_n(model.slot2sym.begin() + model.cum[s], freq[s], static_cast<uint8_t>(s));
  return model;
}

FreqTable normalise_freqs(const SymbolCounts& counts) {
  // Only the occurring symbols, in increasing order: an order-1 context
  // often has a handful.
  std::array<uint8_t, 256> present;
  size_t present_count = 0;
  uint64_t total = 0;
  for (size_t s = 0; s < 256; ++s) {
    if (!counts[s]) continue;
    present[present_count++] = static_cast<uint8_t>(s);
    total += counts[s];
  }
  FreqTable f{};
  // The first symbol holding the largest frequency among those above `floor`.
  auto first_largest_above = [&](uint32_t floor) {
    uint8_t best = present[0];
    uint32_t best_f = 0;
    for (size_t j = 0; j < present_count; ++j)
      if (f[present[j]] > floor && f[present[j]] > best_f) best = present[j], best_f = f[present[j]];
    return best;
  };
  if (!present_count) return f;

  uint32_t sum = 0;
  for (size_t j = 0; j < present_count; ++j) {
    uint8_t s = present[j];
    auto scaled = static_cast<uint64_t>(static_cast<unsigned __int128>(counts[s]) * kTotFreq / total);
    f[s] = static_cast<uint16_t>(std::max<uint64_t>(1, scaled));
    sum += f[s];
  }
  uint8_t d = first_largest_above(0);
  if (sum < kTotFreq) f[d] = static_cast<uint16_t>(f[d] + kTotFreq - sum);
  // Rounding rare symbols up to 1 can overshoot; take the excess from the
  // largest frequencies, never below 1.
  uint32_t excess = sum > kTotFreq ? sum - kTotFreq : 0;
  while (excess) {
    uint32_t taken = std::min<uint32_t>(f[d] - 1, excess);
    f[d] = static_cast<uint16_t>(f[d] - taken);
    excess -= taken;
    if (excess) d = first_largest_above(1);
  }
  return f;
}

namespace detail {

void pack_decode_table(const RansModel& model, DecodeTable& table) {
  for (uint32_t s = 0; s < 256; ++s) {
    uint32_t f = model.freq[s];
    if (!f) continue;
    uint32_t base = model.cum[s];
    uint32_t high = (f - 1) << 20 | s;
    for (uint32_t j = 0; j < f; ++j) table[base + j] = high | j << 8;
  }
}

}  // namespace detail

}  // namespace zelk::rans
