// Order-0 decoding with AVX-512F: the 32 states as two vectors of sixteen
// lanes; an expand hands consecutive words to the lanes that need them.
// GCC 12's AVX-512 intrinsics start from self-initialised "undefined"
// vectors, which its uninitialised-use analysis misreports.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <bit>

#include "zelk-rans/kernels.h"

namespace zelk::rans::detail {

namespace {


// Updates one vector of sixteen lanes and returns their symbols.
[[gnu::target("avx512f")]] inline __m128i step(const DecodeTable& table, __m512i& x, const uint8_t*& words) {
  const __m512i low12 = _mm512_set1_epi32(0xFFF);
  __m512i entry = _mm512_i32gather_epi32(_mm512_and_si512(x, low12), table.data(), 4);
  __m512i freq = _mm512_add_epi32(_mm512_srli_epi32(entry, 20), _mm512_set1_epi32(1));
  __m512i offset = _mm512_and_si512(_mm512_srli_epi32(entry, 8), low12);
  __m512i next = _mm512_add_epi32(_mm512_mullo_epi32(freq, _mm512_srli_epi32(x, kScaleBits)), offset);
  __mmask16 low = _mm512_cmplt_epu32_mask(next, _mm512_set1_epi32(kLowerBound));
  __m512i loaded = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words)));
  __m512i routed = _mm512_maskz_expand_epi32(low, loaded);
  x = _mm512_mask_or_epi32(next, low, _mm512_slli_epi32(next, 16), routed);
  words += 2 * std::popcount(static_cast<uint32_t>(low));
  return _mm512_cvtepi32_epi8(entry);
}

}  // namespace

[[gnu::target("avx512f")]] bool decode_order0_avx512(const DecodeTable& table, States& states,
                                                      WordStream& words, uint8_t* out, size_t n) {
  size_t i;
  if (!decode_prologue(table, states, words, out, n, i)) return false;
  __m512i x0 = _mm512_loadu_si512(&states[0]);
  __m512i x1 = _mm512_loadu_si512(&states[16]);
  // Each vector reads 32 bytes of words and takes at most 32, so a group
  // stays inside the stream while 64 bytes remain.
  for (; i + kLanes <= n && words.remaining_bytes() >= kGroupWordBytes; i += kLanes) {
    __m128i s0 = step(table, x0, words.next);
    __m128i s1 = step(table, x1, words.next);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16), s1);
  }
  _mm512_storeu_si512(&states[0], x0);
  _mm512_storeu_si512(&states[16], x1);
  return decode_order0_checked(table, states, words, out, i, n);
}

}  // namespace zelk::rans::detail
