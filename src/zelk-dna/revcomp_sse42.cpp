// The 16-byte reverse complement, compiled for SSE4.2 and chosen at run
// time.
#include <immintrin.h>

#include "zelk-dna/dna.h"

namespace zelk::dna {

[[gnu::target("sse4.2")]] size_t revcomp_sse42_blocks(ByteSpan source, std::span<uint8_t> destination) {
  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i case_fold = _mm_set1_epi8(static_cast<char>(0xDF));
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  // A and T differ by 0x15, C and G by 0x04, in either case; indexed by
  // the low nibble (A 1, C 3, T 4, G 7).
  const __m128i swap_bits = _mm_setr_epi8(0, 0x15, 0, 0x04, 0x15, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0);
  size_t blocks = source.size() / 16;
  for (size_t i = 0; i < blocks; ++i) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source.data() + source.size() - 16 * (i + 1)));
    bytes = _mm_shuffle_epi8(bytes, reverse);
    __m128i upper = _mm_and_si128(bytes, case_fold);
    __m128i is_base = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(upper, _mm_set1_epi8('A')), _mm_cmpeq_epi8(upper, _mm_set1_epi8('C'))),
        _mm_or_si128(_mm_cmpeq_epi8(upper, _mm_set1_epi8('G')), _mm_cmpeq_epi8(upper, _mm_set1_epi8('T'))));
    __m128i flip = _mm_and_si128(_mm_shuffle_epi8(swap_bits, _mm_and_si128(bytes, low_nibble)), is_base);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination.data() + 16 * i), _mm_xor_si128(bytes, flip));
  }
  return blocks * 16;
}

}  // namespace zelk::dna
