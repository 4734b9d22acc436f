// The carry-less byte-oriented range coder and its small adaptive frequency
// models over base codes (0..3 for A, C, G, T; 4 for anything else).
//
// Decoder and encoder keep `low` and `range` identically: whenever the top
// byte of `low` could still change but `range` has shrunk below 2^16, the
// range is cut to end at the next 2^16 boundary, so no carry ever reaches
// bytes already written.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "zelk-base/bytes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelk::range {

inline constexpr uint16_t kIncrement = 16;
inline constexpr uint32_t kRescaleLimit = 8192;
// A context's model codes only once its total passes this (four coded
// symbols on top of the initial counts).
inline constexpr uint32_t kTrustThreshold = 68;

// Five counts whose total is recomputed at each use, keeping table entries
// at 10 bytes. Each count is stored less its initial 1, so zeroed memory is
// a fresh model and large tables of them need no setting up.
struct BaseModel5 {
  static constexpr unsigned kSymbols = 5;
  std::array<uint16_t, kSymbols> excess{};

  std::array<uint16_t, kSymbols> freqs() const {
    std::array<uint16_t, kSymbols> counts;
    for (unsigned i = 0; i < kSymbols; ++i) counts[i] = static_cast<uint16_t>(excess[i] + 1);
    return counts;
  }

  uint32_t total() const {
    return uint32_t{excess[0]} + excess[1] + excess[2] + excess[3] + excess[4] + kSymbols;
  }

  // Halving a count c rounds up, (c + 1) / 2: its excess c - 1 halves down.
  void update(unsigned symbol) {
    excess[symbol] += kIncrement;
    if (total() > kRescaleLimit)
      for (auto& count : excess) count = static_cast<uint16_t>(count / 2);
  }
};

// `K` counts with an explicit running total. The quality models keep
// tables of these zero-filled, a total of 0 marking a context not yet used.
template <unsigned K>
struct FreqModel {
  static constexpr unsigned kSymbols = K;
  std::array<uint16_t, K> counts = filled_with_ones();
  uint32_t running_total = K;

  // A model whose first `n` slots start at 1 and the rest at 0, for an
  // alphabet of `n` symbols in a K-slot class.
  static constexpr FreqModel over_first(unsigned n) {
    FreqModel model;
    for (unsigned slot = n; slot < K; ++slot) model.counts[slot] = 0;
    model.running_total = n;
    return model;
  }

  uint32_t total() const { return running_total; }
  const std::array<uint16_t, K>& freqs() const { return counts; }

  void update(unsigned symbol) {
    counts[symbol] += kIncrement;
    running_total += kIncrement;
    if (running_total <= kRescaleLimit) return;
    running_total = 0;
    for (auto& count : counts) {
      count = static_cast<uint16_t>((count + 1) / 2);
      running_total += count;
    }
  }

 private:
  static constexpr std::array<uint16_t, K> filled_with_ones() {
    std::array<uint16_t, K> ones{};
    ones.fill(1);
    return ones;
  }
};

using FreqModel4 = FreqModel<4>;
using FreqModel5 = FreqModel<5>;

namespace detail {
inline constexpr uint32_t kTop = 1u << 24;
inline constexpr uint32_t kBottom = 1u << 16;
}  // namespace detail

// Precision of the probabilities of binary decisions.
inline constexpr unsigned kProbBits = 12;

class RangeDecoder {
 public:
  // A slot returned when a context's total is 0 or exceeds the range, which
  // only a corrupt stream produces (the adaptive models here never do).
  static constexpr unsigned kBadContext = ~0u;

  // Missing leading bytes of a short input read as zero, as does every
  // byte past the end: running out of input is not an error.
  explicit RangeDecoder(ByteSpan input) : input_(input) {
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | next_byte();
  }

  // The slot of `S` whose cumulative frequency interval holds the code; the
  // last slot when none does. A zero-frequency slot is returned without
  // touching the state: the caller rejects it.
  template <size_t S>
  unsigned decode_freq(const uint16_t* freqs, uint32_t total) {
    if (total == 0 || total > range_) return kBadContext;
    return decode_slot<S>(freqs, total);
  }

  // Decodes one symbol with `model` and updates it. The models' totals stay
  // between their symbol count and the rescale limit, well inside a
  // normalised range, so the context check is not needed.
  template <class Model>
  unsigned decode(Model& model) {
    const auto& freqs = model.freqs();
    unsigned symbol = decode_slot<Model::kSymbols>(freqs.data(), model.total());
    model.update(symbol);
    return symbol;
  }

  // One binary decision, `p` the `Bits`-bit probability of a 1 (1 to
  // 2^Bits - 1); a 1 takes the lower part of the range.
  template <unsigned Bits = kProbBits>
  unsigned decode_bit(uint32_t p) {
    uint32_t r = range_ >> Bits;
    // (code - low) / r < p, without the division.
    unsigned bit = (code_ - low_) < r * p;
    if (bit) {
      range_ = r * p;
    } else {
      low_ += r * p;
      range_ = r * ((1u << Bits) - p);
    }
    normalize();
    return bit;
  }

  // One bit without a model: the range halves, a 1 takes the upper half.
  unsigned decode_direct_bit() {
    range_ >>= 1;
    unsigned bit = (code_ - low_) >= range_;
    if (bit) low_ += range_;
    normalize();
    return bit;
  }

 private:
  template <size_t S>
  unsigned decode_slot(const uint16_t* freqs, uint32_t total) {
    range_ /= total;
    uint32_t value = (code_ - low_) / range_;
    unsigned slot;
    uint32_t below;
    if constexpr (S == 4) {
      // Unrolled: the slot is the number of cumulative bounds at or below
      // the value.
      uint32_t c1 = freqs[0], c2 = c1 + freqs[1], c3 = c2 + freqs[2];
      slot = (value >= c1) + (value >= c2) + (value >= c3);
      below = slot == 0 ? 0 : slot == 1 ? c1 : slot == 2 ? c2 : c3;
    } else {
      slot = find_slot<S>(freqs, value, below);
    }
    if (freqs[slot] == 0) return slot;
    low_ += range_ * below;
    range_ *= freqs[slot];
    normalize();
    return slot;
  }

  // The slot is the number of cumulative frequencies at or below the value
  // among the first S - 1 (they never decrease), and `below` the one before
  // it.
  template <size_t S>
  static unsigned find_slot(const uint16_t* freqs, uint32_t value, uint32_t& below) {
#if defined(__SSE2__)
    if constexpr (S >= 8) return find_slot_sse2<S>(freqs, value, below);
#endif
    below = 0;
    unsigned slot = 0;
    while (slot + 1 < S && value >= below + freqs[slot]) below += freqs[slot++];
    return slot;
  }

#if defined(__SSE2__)
  // Prefix sums eight counts at a time and a count of those at or below the
  // value, instead of a walk whose end the branch predictor misses. Totals
  // stay below 2^15 (the models rescale far earlier), so the signed compare
  // holds, and a value past every bound still gives the last slot.
  template <size_t S>
  static unsigned find_slot_sse2(const uint16_t* freqs, uint32_t value, uint32_t& below) {
    constexpr size_t kFull = S / 8, kTail = S % 8, kVectors = kFull + (kTail != 0);
    alignas(16) uint16_t cumulative[kVectors * 8];
    const __m128i bound = _mm_set1_epi16(static_cast<int16_t>(std::min<uint32_t>(value, 0x7FFF)));
    __m128i carry = _mm_setzero_si128();
    unsigned at_or_below = 0;
    for (size_t v = 0; v < kVectors; ++v) {
      // The tail is read as the last eight counts, shifted down so that no
      // load reaches past the table.
      __m128i x = v < kFull ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(freqs + 8 * v))
                            : _mm_srli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(freqs + S - 8)),
                                             2 * (8 - kTail) % 16);
      x = _mm_add_epi16(x, _mm_slli_si128(x, 2));
      x = _mm_add_epi16(x, _mm_slli_si128(x, 4));
      x = _mm_add_epi16(x, _mm_slli_si128(x, 8));
      x = _mm_add_epi16(x, carry);
      _mm_store_si128(reinterpret_cast<__m128i*>(cumulative + 8 * v), x);
      // The lanes above the value are the vector's last ones.
      auto above = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi16(x, bound)));
      at_or_below += static_cast<unsigned>(std::countr_zero(above | 0x10000u)) / 2;
      carry = _mm_shuffle_epi32(_mm_shufflehi_epi16(x, 0xFF), 0xFF);
    }
    unsigned slot = std::min<unsigned>(at_or_below, S - 1);
    below = slot ? cumulative[slot - 1] : 0;
    return slot;
  }
#endif

  uint8_t next_byte() { return pos_ < input_.size() ? input_[pos_++] : 0; }

  void normalize() {
    for (;;) {
      if ((low_ ^ (low_ + range_)) >= detail::kTop) {
        if (range_ >= detail::kBottom) return;
        range_ = (0u - low_) & (detail::kBottom - 1);
      }
      code_ = (code_ << 8) | next_byte();
      low_ <<= 8;
      range_ <<= 8;
    }
  }

  ByteSpan input_;
  size_t pos_ = 0;
  uint32_t low_ = 0;
  uint32_t range_ = UINT32_MAX;
  uint32_t code_ = 0;
};

class RangeEncoder {
 public:
  explicit RangeEncoder(Bytes& out) : out_(out) {}

  // Codes `slot` of a table of frequencies summing to `total`.
  void encode_freq(const uint16_t* freqs, uint32_t total, unsigned slot) {
    uint32_t below = 0;
    for (unsigned i = 0; i < slot; ++i) below += freqs[i];
    range_ /= total;
    low_ += range_ * below;
    range_ *= freqs[slot];
    normalize();
  }

  // Codes `symbol` with `model` and updates it.
  template <class Model>
  void encode(Model& model, unsigned symbol) {
    const auto& freqs = model.freqs();
    encode_freq(freqs.data(), model.total(), symbol);
    model.update(symbol);
  }

  template <unsigned Bits = kProbBits>
  void encode_bit(uint32_t p, unsigned bit) {
    uint32_t r = range_ >> Bits;
    if (bit) {
      range_ = r * p;
    } else {
      low_ += r * p;
      range_ = r * ((1u << Bits) - p);
    }
    normalize();
  }

  void encode_direct_bit(unsigned bit) {
    range_ >>= 1;
    if (bit) low_ += range_;
    normalize();
  }

  // Writes the bytes that pin down the final interval. Trailing zero bytes
  // are left out: the decoder reads zeros past the end anyway.
  void finish() {
    for (int i = 0; i < 4; ++i) shift();
    while (out_.size() > start_ && out_.back() == 0) out_.pop_back();
  }

 private:
  void shift() {
    out_.push_back(static_cast<uint8_t>(low_ >> 24));
    low_ <<= 8;
    range_ <<= 8;
  }

  void normalize() {
    for (;;) {
      if ((low_ ^ (low_ + range_)) >= detail::kTop) {
        if (range_ >= detail::kBottom) return;
        range_ = (0u - low_) & (detail::kBottom - 1);
      }
      shift();
    }
  }

  Bytes& out_;
  size_t start_ = out_.size();
  uint32_t low_ = 0;
  uint32_t range_ = UINT32_MAX;
};

}  // namespace zelk::range
