// The mixing model of modes 3 to 6: each symbol index is coded as B binary
// decisions, each predicted by three context tables whose stretched
// predictions a small logistic mixer combines.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "zelk-quality/coder.h"

namespace zelk::quality {

namespace {

constexpr unsigned kContextBitsA = 16, kContextBitsB = 18, kContextBitsC = 20;
constexpr uint32_t kMaskA = (1u << kContextBitsA) - 1;
constexpr uint32_t kMaskB = (1u << kContextBitsB) - 1;
constexpr uint32_t kMaskC = (1u << kContextBitsC) - 1;
constexpr unsigned kHashShiftC = 32 - kContextBitsC;  // zero bits of the mask
constexpr int32_t kInitialProbability = 2048;
constexpr int32_t kInitialWeight = 0x5555;  // one third in 16.16 fixed point
constexpr int32_t kOne = 1 << kProbBits;
constexpr size_t kEntriesPerLine = 64 / sizeof(int16_t);

struct LogisticTables {
  std::array<uint16_t, 4096> squash;
  std::array<int16_t, 4097> stretch;
};

// squash is the logistic function over -8..8 in 12-bit resolution; stretch
// is its inverse, built from it so the two agree exactly.
LogisticTables build_logistic_tables() {
  LogisticTables tables;
  for (int i = 0; i < 4096; ++i) {
    double value = std::round(4096.0 / (1.0 + std::exp(-(i - 2048) / 256.0)));
    tables.squash[i] = static_cast<uint16_t>(std::clamp(value, 1.0, 4095.0));
  }
  int fill = 0;
  for (int t = 0; t < 4096; ++t) {
    if (tables.squash[t] < fill) continue;
    for (; fill <= tables.squash[t]; ++fill) tables.stretch[fill] = static_cast<int16_t>(t - 2048);
  }
  for (; fill <= 4096; ++fill) tables.stretch[fill] = 2047;
  return tables;
}

const LogisticTables& logistic_tables() {
  static const LogisticTables tables = build_logistic_tables();
  return tables;
}

unsigned bits_per_symbol(unsigned n) { return n <= 2 ? 1 : std::bit_width(n - 1); }

// Lookups land anywhere in tables of up to 256 MiB.
Result<ProbabilityTable> new_table(size_t size, bool huge_pages) {
  return ProbabilityTable{ZELK_TRY(allocate_model_table<int16_t>(size, huge_pages)), size, huge_pages};
}

bool worth_huge_pages(size_t size, uint64_t lookups) { return huge_pages_pay(size * sizeof(int16_t), lookups); }

Result<ProbabilityTable> probability_table(unsigned context_bits, unsigned bits, uint64_t lookups) {
  size_t size = size_t{1} << (context_bits + bits);
  return new_table(size, worth_huge_pages(size, lookups));
}

// A copy for `lookups` more lookups. A table on huge pages is mostly
// written and is copied whole. Otherwise the copy starts zeroed and takes
// only the pages that hold something: the short stream left most of the
// table zero, and those pages stay unmapped.
Result<ProbabilityTable> copy_table(const ProbabilityTable& source, uint64_t lookups) {
  ProbabilityTable table =
      ZELK_TRY(new_table(source.size, source.huge_pages || worth_huge_pages(source.size, lookups)));
  if (source.huge_pages) {
    std::copy_n(source.offsets.get(), source.size, table.offsets.get());
    return table;
  }
  constexpr size_t kPageEntries = 4096 / sizeof(int16_t);
  static constexpr int16_t kZeroPage[kPageEntries] = {};
  for (size_t at = 0; at < source.size; at += kPageEntries) {
    const int16_t* page = source.offsets.get() + at;
    size_t count = std::min(kPageEntries, source.size - at);
    if (std::memcmp(page, kZeroPage, count * sizeof(int16_t)) != 0) std::copy_n(page, count, table.offsets.get() + at);
  }
  return table;
}

// Weights wrap rather than overflow: a corrupt stream may drive them far.
int32_t add_wrapping(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// An entry holds its probability less the initial 2048.
int32_t probability(int16_t offset) { return kInitialProbability + offset; }

void adapt_probability(int16_t& offset, unsigned bit) {
  int32_t p = probability(offset);
  int32_t target = bit ? kOne : 0;
  offset = static_cast<int16_t>(p + ((target - p) >> 5) - kInitialProbability);
}

}  // namespace

Result<QualityMixModel> QualityMixModel::create(unsigned n, uint64_t symbols) {
  QualityMixModel model;
  model.n_ = n;
  model.bits_ = bits_per_symbol(n);
  // Each symbol looks up one entry per decision in each table.
  uint64_t lookups = symbols * model.bits_;
  model.table_a_ = ZELK_TRY(probability_table(kContextBitsA, model.bits_, lookups));
  model.table_b_ = ZELK_TRY(probability_table(kContextBitsB, model.bits_, lookups));
  model.table_c_ = ZELK_TRY(probability_table(kContextBitsC, model.bits_, lookups));
  for (auto& set : model.weights_) set.fill(kInitialWeight);
  model.squash_ = logistic_tables().squash;
  model.stretch_ = logistic_tables().stretch;
  return model;
}

Result<QualityMixModel> QualityMixModel::clone(uint64_t symbols) const {
  QualityMixModel model;
  model.n_ = n_;
  model.bits_ = bits_;
  uint64_t lookups = symbols * bits_;
  model.table_a_ = ZELK_TRY(copy_table(table_a_, lookups));
  model.table_b_ = ZELK_TRY(copy_table(table_b_, lookups));
  model.table_c_ = ZELK_TRY(copy_table(table_c_, lookups));
  model.weights_ = weights_;
  model.squash_ = squash_;
  model.stretch_ = stretch_;
  return model;
}

template <bool kAdapt, class Model, class Side>
Result<void> QualityMixModel::run(Model& model, Side& side, const ReadBatch& reads,
                                  const QuantizerTables& quantizer) {
  const unsigned bits = model.bits_;
  const uint8_t origin = reads.symbols[0];
  BaseWalker walker(reads);
  for (uint32_t length : reads.lengths) {
    ReadBases bases = ZELK_TRY(walker.next(length));
    unsigned q1 = 0, q2 = 0, q3 = 0, run = 0;
    for (uint32_t i = 0; i < length; ++i) {
      run = i > 0 && bases.raw(i - 1) == bases.raw(i) ? run + 1 : 1;
      unsigned previous = i > 0 ? bases.code(i - 1) : 0;
      uint32_t c1 = (quantizer.q0[q1] & 63) | (quantizer.q1[q2] & 7) << 6 | bases.code(i) << 9 |
                    bases.code(i + 1) << 11 | std::min(run, 7u) << 13;
      uint32_t c2 = c1 | previous << 16;
      uint32_t c3 = c2 | bases.code(i + 2) << 18 | (quantizer.q2[q3] & 3) << 20;
      uint32_t hashed = ((c3 * 0x9E3779B1u) >> kHashShiftC) & kMaskC;
      // Each context's block of 2^B entries, indexed by the tree node.
      auto* node_a = &model.table_a_.offsets[size_t{c1 & kMaskA} << bits];
      auto* node_b = &model.table_b_.offsets[size_t{c2 & kMaskB} << bits];
      auto* node_c = &model.table_c_.offsets[size_t{hashed} << bits];
      // The tables are far larger than the caches: ask for every line of
      // the three blocks at once rather than miss on them one decision at
      // a time.
      for (size_t at = 0; at < (size_t{1} << bits); at += kEntriesPerLine) {
        __builtin_prefetch(node_a + at);
        __builtin_prefetch(node_b + at);
        __builtin_prefetch(node_c + at);
      }

      const unsigned target = side.target();
      unsigned node = 1;
      for (unsigned level = 0; level < bits; ++level) {
        int32_t xa = model.stretch_[probability(node_a[node])];
        int32_t xb = model.stretch_[probability(node_b[node])];
        int32_t xc = model.stretch_[probability(node_c[node])];
        auto& weights = model.weights_[level];
        int64_t dot = int64_t{xa} * weights[0] + int64_t{xb} * weights[1] + int64_t{xc} * weights[2];
        int32_t x = std::clamp(static_cast<int32_t>(dot >> 16), -2047, 2047);
        uint32_t p = std::clamp<uint32_t>(model.squash_[x + 2048], 1, 4095);
        unsigned bit = side.bit(p, (target >> (bits - 1 - level)) & 1);
        if constexpr (kAdapt) {
          int32_t error = (bit ? kOne : 0) - static_cast<int32_t>(p);
          weights[0] = add_wrapping(weights[0], (xa * error) >> 11);
          weights[1] = add_wrapping(weights[1], (xb * error) >> 11);
          weights[2] = add_wrapping(weights[2], (xc * error) >> 11);
          adapt_probability(node_a[node], bit);
          adapt_probability(node_b[node], bit);
          adapt_probability(node_c[node], bit);
        }
        node = 2 * node + bit;
      }
      unsigned symbol = node - (1u << bits);
      if (symbol >= model.n_) return fail(malformed("decoded symbol outside alphabet"));
      uint8_t quality = reads.symbols[symbol];
      side.emit(quality);
      q3 = q2;
      q2 = q1;
      q1 = static_cast<uint8_t>(quality - origin);
    }
  }
  return {};
}

template <class Side>
Result<void> QualityMixModel::code_reads(Side& side, const ReadBatch& reads, const QuantizerTables& quantizer) {
  return run<true>(*this, side, reads, quantizer);
}

template <class Side>
Result<void> QualityMixModel::code_reads_frozen(Side& side, const ReadBatch& reads,
                                                const QuantizerTables& quantizer) const {
  return run<false>(*this, side, reads, quantizer);
}

template Result<void> QualityMixModel::code_reads(DecodeSide&, const ReadBatch&, const QuantizerTables&);
template Result<void> QualityMixModel::code_reads(EncodeSide&, const ReadBatch&, const QuantizerTables&);
template Result<void> QualityMixModel::code_reads_frozen(DecodeSide&, const ReadBatch&,
                                                         const QuantizerTables&) const;
template Result<void> QualityMixModel::code_reads_frozen(EncodeSide&, const ReadBatch&,
                                                         const QuantizerTables&) const;

}  // namespace zelk::quality
