// Base codes and reverse complements, shared by the sequence codecs and the
// decoding pipelines.
#pragma once

#include <cstdint>
#include <span>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::dna {

// "A", "C", "G", "T" give 0..3; every other byte (lower case included) 4.
inline unsigned base_code(uint8_t base) {
  switch (base) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T': return 3;
    default: return 4;
  }
}

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
