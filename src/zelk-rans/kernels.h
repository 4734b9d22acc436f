// Internals shared by the scalar and vector decoders: the packed per-slot
// table, the word stream and the one checked decoding step every variant
// falls back on for its first and last symbols.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "zelk-rans/rans.h"

namespace zelk::rans::detail {

// One entry per slot: bits 0-7 the symbol, 8-19 slot - cum[s], 20-31
// freq[s] - 1, so a state update needs a single lookup.
using DecodeTable = std::array<uint32_t, kTotFreq>;
using States = std::array<uint32_t, kLanes>;

void pack_decode_table(const RansModel& model, DecodeTable& table);

inline uint32_t decode_update(uint32_t x, uint32_t entry) {
  return ((entry >> 20) + 1) * (x >> kScaleBits) + ((entry >> 8) & 0xFFF);
}

// The renormalisation words not yet consumed.
struct WordStream {
  const uint8_t* next;
  const uint8_t* end;

  size_t remaining_bytes() const { return static_cast<size_t>(end - next); }

  // Pulls words while the state is below the lower bound; false when they
  // run out.
  bool renormalise(uint32_t& x) {
    while (x < kLowerBound) {
      if (end - next < 2) return false;
      x = (x << 16) | load_le<uint16_t>(next);
      next += 2;
    }
    return true;
  }

  // The same for a normalised state with a word known to be available:
  // at most one word, in arithmetic rather than a conditional (which the
  // compiler turns into a badly predicted branch).
  void renormalise_unchecked(uint32_t& x) {
    uint32_t pull = x < kLowerBound;
    uint32_t word = load_le<uint16_t>(next) & (0u - pull);
    x = (x << (16 * pull)) | word;
    next += 2 * pull;
  }
};

inline bool all_normalised(const States& states) {
  for (uint32_t x : states)
    if (x < kLowerBound) return false;
  return true;
}

// Decodes out[begin, end) of an order-0 block, checking every word; false
// when the words run out.
inline bool decode_order0_checked(const DecodeTable& table, States& states, WordStream& words,
                                  uint8_t* out, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i) {
    uint32_t& x = states[i % kLanes];
    uint32_t entry = table[x % kTotFreq];
    out[i] = static_cast<uint8_t>(entry);
    x = decode_update(x, entry);
    if (!words.renormalise(x)) return false;
  }
  return true;
}

// The unrolled and vector loops assume normalised states, which every
// valid block starts with; a malformed block's first group goes through the
// checked step instead, which normalises every lane it touches. Sets
// `start` to where those loops may begin; false when the words run out.
inline bool decode_prologue(const DecodeTable& table, States& states, WordStream& words, uint8_t* out,
                            size_t n, size_t& start) {
  start = all_normalised(states) ? 0 : std::min(n, kLanes);
  return decode_order0_checked(table, states, words, out, 0, start);
}

// A group of 32 normalised steps takes at most one word per lane.
inline constexpr size_t kGroupWordBytes = kLanes * 2;

// Vector order-0 decoders: the same bytes and word consumption as the
// scalar path; false when the words run out.
bool decode_order0_avx2(const DecodeTable& table, States& states, WordStream& words, uint8_t* out,
                        size_t n);
bool decode_order0_avx512(const DecodeTable& table, States& states, WordStream& words, uint8_t* out,
                          size_t n);

}  // namespace zelk::rans::detail
