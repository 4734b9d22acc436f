// Internals shared by the scalar and vector paths: for decoding, the packed
// per-slot table, the word stream and the one checked step every variant
// falls back on for its first and last symbols; for encoding, the symbol
// record and the coding step.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "zelk-rans/rans.h"

namespace zelk::rans::detail {

inline constexpr std::string_view kTruncated = "truncated stream";

inline ArchiveError rans_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::Rans, detail);
}

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

// -- encoding ------------------------------------------------------------------

// The coding step of one symbol: x -> (x div F) * 4096 + (x mod F) + C,
// computed as x + C + q * (4096 - F) with q = x div F taken from a
// reciprocal. Up to F = 2048 the 32-bit reciprocal `rcp_freq` with
// `rcp_shift` is exact for 32-bit states; above, the exact reciprocal
// 2^44 / F needs 33 bits, whose top bit is added back as `x` itself
// (`add_state`), so every symbol takes the same branch-free path. Packed
// to 16 bytes so an order-1 set of 256 x 256 stays cache-friendly.
struct RansEncSymbol {
  uint32_t rcp_freq;
  uint32_t bias;
  uint32_t add_state;  // all ones above F = 2048, else 0
  uint16_t freq;
  uint8_t rcp_shift;

  // A state at or above this would leave [2^16, 2^32) after coding.
  uint64_t x_max() const { return (uint64_t{kLowerBound >> kScaleBits} << 16) * freq; }
  uint32_t cmpl_freq() const { return kTotFreq - freq; }
};
static_assert(sizeof(RansEncSymbol) == 16, "the vector encoder gathers records as four dwords");

inline void encode_step(uint32_t& x, const RansEncSymbol& sym, uint16_t* words, size_t& word_count) {
  // One shift always suffices (x < 2^32, x_max >= 2^20). Written as
  // arithmetic so no badly predicted branch is compiled; the slot after the
  // last word is written too, harmlessly.
  uint32_t flush = x >= sym.x_max();
  words[word_count] = static_cast<uint16_t>(x);
  word_count += flush;
  x >>= 16 * flush;
  uint64_t q = (((uint64_t{x} * sym.rcp_freq) >> 32) + (x & sym.add_state)) >> sym.rcp_shift;
  x += sym.bias + static_cast<uint32_t>(q) * sym.cmpl_freq();
}

// Words the vector encoder may write past the last one it keeps.
inline constexpr size_t kEncodeWordSlack = 16;

// Codes positions 32 * groups - 1 down to 0 of an order-0 input, after the
// scalar step has coded everything above them: the same states and words
// as the scalar step. `words` needs kEncodeWordSlack spare entries.
void encode_order0_avx512(const RansEncSymbol* symbols, const uint8_t* data, size_t groups, States& states,
                          uint16_t* words, size_t& word_count);

}  // namespace zelk::rans::detail
