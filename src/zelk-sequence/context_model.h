// The base model of method-0 sequence streams: an order-m table, a
// low-order fallback and an optional hashed tier for a longer context, all
// fed by one history of the previous bases. Decoder and encoder share the
// model selection below, so the two sides cannot drift apart.
#pragma once

#include <cstdint>

#include "zelk-range/range_coder.h"
#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::seq {

using range::BaseModel5;
using range::kTrustThreshold;
using range::RangeDecoder;
using range::RangeEncoder;

struct ContextParams {
  uint8_t order = 0;         // m: the order-k table models the last m bases
  uint8_t hashed_order = 0;  // o: bases modelled by the hashed tier
  uint8_t table_bits = 0;    // b: the hashed table has 2^b entries

  bool hashed_active() const { return table_bits != 0 && hashed_order > order; }
  unsigned low_order() const { return order / 2 > 1 ? order / 2 : 1; }
};

class ContextModel {
 public:
  // Builds fresh tables for `params`, which the caller has validated and
  // bounded by the data size, to code `bases` bases. A failed reservation
  // reports `hashed_too_large` for the hashed table, `order_too_large`
  // otherwise. The tables start as zeroed memory, which is a table of fresh
  // models: setting up costs nothing for contexts a short block never
  // reaches.
  static Result<ContextModel> create(const ContextParams& params, uint64_t bases,
                                     const ArchiveError& order_too_large, const ArchiveError& hashed_too_large);

  // Decodes one base code (0..4) and advances the history.
  unsigned decode_base(RangeDecoder& decoder) {
    return code_base([&](BaseModel5& model) { return decoder.decode(model); });
  }

  // Encodes one base code (0..4) and advances the history.
  void encode_base(RangeEncoder& encoder, unsigned code) {
    code_base([&](BaseModel5& model) {
      encoder.encode(model, code);
      return code;
    });
  }

 private:
  // A zeroed entry matches no check (every check is odd), so it starts
  // fresh on first use like any evicted entry.
  struct HashedEntry {
    uint32_t check = 0;
    BaseModel5 model;
  };

  ContextModel() = default;

  // Picks the model that codes the next base, codes it with `code_with`,
  // updates every other model looked up, and advances the history.
  template <class CodeWith>
  unsigned code_base(CodeWith&& code_with) {
    prefetch_successors();
    BaseModel5& order_k = order_k_[history_ & order_mask_];
    BaseModel5& low = low_order_[history_ & low_mask_];
    BaseModel5* hashed = nullptr;
    unsigned symbol;
    if (hashed_) {
      uint64_t key = history_ & history_mask_;
      HashedEntry& entry = hashed_[slot_of(key)];
      uint32_t check = (static_cast<uint32_t>(key) * 0x6659FD93u) | 1;
      if (entry.check != check) {
        entry = HashedEntry{check, BaseModel5{}};
      } else if (entry.model.total() > kTrustThreshold) {
        symbol = code_with(entry.model);
        order_k.update(symbol);
        low.update(symbol);
        return advance(symbol);
      }
      hashed = &entry.model;
    }
    bool order_k_trusted = order_k.total() > kTrustThreshold;
    symbol = code_with(order_k_trusted ? order_k : low);
    if (hashed) hashed->update(symbol);
    (order_k_trusted ? low : order_k).update(symbol);
    return advance(symbol);
  }

  // The tables are far larger than the caches and the next context is only
  // known once this base is coded, so fetch all four candidates now.
  // Always inlined: as a separate call GCC sees a side-effect-free function
  // and drops it.
  [[gnu::always_inline]] void prefetch_successors() const {
    uint64_t next = history_ << 2;
    __builtin_prefetch(&order_k_[next & order_mask_]);
    __builtin_prefetch(&order_k_[(next & order_mask_) + 3]);
    if (!hashed_) return;
    for (uint64_t symbol = 0; symbol < 4; ++symbol)
      __builtin_prefetch(&hashed_[slot_of((next + symbol) & history_mask_)]);
  }

  // Fibonacci hashing: the top bits of the product index the table.
  size_t slot_of(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> hashed_shift_; }

  // An "N" (code 4) does not enter the history.
  unsigned advance(unsigned symbol) {
    if (symbol < 4) history_ = ((history_ << 2) + symbol) & history_mask_;
    return symbol;
  }

  ZeroedArray<BaseModel5> order_k_;
  ZeroedArray<BaseModel5> low_order_;
  ZeroedArray<HashedEntry> hashed_;  // null when the hashed tier is off
  uint64_t order_mask_ = 0;
  uint64_t low_mask_ = 0;
  uint64_t history_mask_ = 0;
  unsigned hashed_shift_ = 0;
  uint64_t history_ = 0;
};

}  // namespace zelk::seq
