// Order-0 decoding and encoding with AVX-512F: the 32 states as two vectors
// of sixteen lanes. Decoding expands consecutive words into the lanes that
// need them; encoding compresses the words the lanes give off.
// GCC 12's AVX-512 intrinsics start from self-initialised "undefined"
// vectors, which its uninitialised-use analysis misreports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
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

namespace {

// The high 32 bits of each lane's 64-bit product a * b.
[[gnu::target("avx512f")]] inline __m512i mul_high(__m512i a, __m512i b) {
  __m512i even = _mm512_srli_epi64(_mm512_mul_epu32(a, b), 32);
  __m512i odd = _mm512_mul_epu32(_mm512_srli_epi64(a, 32), _mm512_srli_epi64(b, 32));
  return _mm512_mask_blend_epi32(0xAAAA, even, odd);
}

// Codes one vector of sixteen lanes held in descending lane order, so the
// words come out in the scalar step's order. The symbol records are
// gathered as four dwords: rcp_freq, bias, add_state, freq | rcp_shift << 16.
[[gnu::target("avx512f")]] inline void encode_vector(const RansEncSymbol* symbols, __m512i symbol, __m512i& x,
                                                      uint16_t* words, size_t& word_count) {
  const int* base = reinterpret_cast<const int*>(symbols);
  __m512i field = _mm512_slli_epi32(symbol, 2);
  __m512i rcp_freq = _mm512_i32gather_epi32(field, base, 4);
  __m512i bias = _mm512_i32gather_epi32(_mm512_add_epi32(field, _mm512_set1_epi32(1)), base, 4);
  __m512i add_state = _mm512_i32gather_epi32(_mm512_add_epi32(field, _mm512_set1_epi32(2)), base, 4);
  __m512i freq_shift = _mm512_i32gather_epi32(_mm512_add_epi32(field, _mm512_set1_epi32(3)), base, 4);
  __m512i freq = _mm512_and_si512(freq_shift, _mm512_set1_epi32(0xFFFF));
  __m512i shift = _mm512_and_si512(_mm512_srli_epi32(freq_shift, 16), _mm512_set1_epi32(0xFF));

  // x >= freq << 20, with 4096 << 20 wrapping to a limit no state passes.
  __m512i limit = _mm512_sub_epi32(_mm512_slli_epi32(freq, 20), _mm512_set1_epi32(1));
  __mmask16 flush = _mm512_cmpgt_epu32_mask(x, limit);
  __m512i flushed = _mm512_maskz_compress_epi32(flush, x);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + word_count), _mm512_cvtepi32_epi16(flushed));
  word_count += std::popcount(static_cast<uint32_t>(flush));
  x = _mm512_mask_srli_epi32(x, flush, x, 16);

  // q = (hi + (x & add_state)) >> rcp_shift, where the sum may need 33 bits:
  // the lanes with add_state halve it without loss, (hi + x) >> 1, and shift
  // by 11 (their rcp_shift is 12).
  __m512i high = mul_high(x, rcp_freq);
  __mmask16 wide = _mm512_test_epi32_mask(add_state, add_state);
  __m512i half_sum = _mm512_add_epi32(_mm512_add_epi32(_mm512_srli_epi32(high, 1), _mm512_srli_epi32(x, 1)),
                                      _mm512_and_si512(_mm512_and_si512(high, x), _mm512_set1_epi32(1)));
  __m512i q = _mm512_mask_srli_epi32(_mm512_srlv_epi32(high, shift), wide, half_sum, 11);
  __m512i cmpl_freq = _mm512_sub_epi32(_mm512_set1_epi32(kTotFreq), freq);
  x = _mm512_add_epi32(_mm512_add_epi32(x, bias), _mm512_mullo_epi32(q, cmpl_freq));
}

// The sixteen bytes at `data` as lanes in descending order.
[[gnu::target("avx512f")]] inline __m512i descending_symbols(const uint8_t* data) {
  const __m512i descending = _mm512_setr_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
  return _mm512_permutexvar_epi32(descending, _mm512_cvtepu8_epi32(bytes));
}

}  // namespace

[[gnu::target("avx512f")]] void encode_order0_avx512(const RansEncSymbol* symbols, const uint8_t* data,
                                                      size_t groups, States& states, uint16_t* words,
                                                      size_t& word_count) {
  const __m512i descending = _mm512_setr_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  __m512i high_lanes = _mm512_permutexvar_epi32(descending, _mm512_loadu_si512(&states[16]));
  __m512i low_lanes = _mm512_permutexvar_epi32(descending, _mm512_loadu_si512(&states[0]));
  for (size_t g = groups; g-- > 0;) {
    const uint8_t* group = data + kLanes * g;
    encode_vector(symbols, descending_symbols(group + 16), high_lanes, words, word_count);
    encode_vector(symbols, descending_symbols(group), low_lanes, words, word_count);
  }
  _mm512_storeu_si512(&states[16], _mm512_permutexvar_epi32(descending, high_lanes));
  _mm512_storeu_si512(&states[0], _mm512_permutexvar_epi32(descending, low_lanes));
}

}  // namespace zelk::rans::detail
