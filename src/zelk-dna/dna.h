// Base codes and reverse complements, shared by the sequence codecs and the
// decoding pipelines.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::dna {

namespace detail {
constexpr std::array<uint8_t, 256> base_code_table(bool any_case) {
  std::array<uint8_t, 256> codes{};
  codes.fill(4);
  const char letters[] = "ACGT";
  for (uint8_t code = 0; code < 4; ++code) {
    codes[static_cast<uint8_t>(letters[code])] = code;
    if (any_case) codes[static_cast<uint8_t>(letters[code] | 0x20)] = code;
  }
  return codes;
}
inline constexpr std::array<uint8_t, 256> kBaseCodes = base_code_table(false);
inline constexpr std::array<uint8_t, 256> kBaseCodesAnyCase = base_code_table(true);
}  // namespace detail

// "A", "C", "G", "T" give 0..3; every other byte (lower case included) 4:
// the code the sequence streams store.
inline unsigned base_code(uint8_t base) { return detail::kBaseCodes[base]; }

// The same with lower case folded: the contexts that models draw from bases.
inline unsigned base_code_any_case(uint8_t base) { return detail::kBaseCodesAnyCase[base]; }

// 0..3 give "A", "C", "G", "T"; any larger code gives "A".
inline uint8_t code_base(unsigned code) { return code < 4 ? "ACGT"[code] : 'A'; }

// Writes the reverse complement of `source` into `destination` (same
// length, else an error): A/T and C/G swap in either case, case is kept,
// every other byte is copied. Works 16 bytes at a time where the CPU allows.
Result<void> revcomp_into(ByteSpan source, std::span<uint8_t> destination);

// The reverse complement with only upper-case A/T and C/G swapped; every
// other byte, lower case included, is copied.
Bytes reverse_complement(ByteSpan bases);

// The two paths behind revcomp_into, exposed so they can be compared.
// The byte loop handles any length; the vector path fills whole 16-byte
// blocks of `destination` from its start and returns how many bytes it
// wrote (0 when the CPU lacks SSE4.2).
void revcomp_bytewise(ByteSpan source, std::span<uint8_t> destination);
size_t revcomp_vector_blocks(ByteSpan source, std::span<uint8_t> destination);
bool revcomp_vector_available();

}  // namespace zelk::dna
