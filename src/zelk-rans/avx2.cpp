// Order-0 decoding with AVX2: the 32 states as four vectors of eight lanes.
#include <immintrin.h>

#include <bit>

#include "zelk-rans/kernels.h"

namespace zelk::rans::detail {

namespace {

// For each mask of lanes that take a word: the index, among the eight words
// loaded, of the word each lane takes (consecutive words to those lanes in
// increasing lane order).
struct WordRoutes {
  alignas(32) std::array<std::array<uint32_t, 8>, 256> index;

  constexpr WordRoutes() : index{} {
    for (uint32_t mask = 0; mask < 256; ++mask) {
      uint32_t next = 0;
      for (uint32_t lane = 0; lane < 8; ++lane)
        if (mask >> lane & 1) index[mask][lane] = next++;
    }
  }
};

constexpr WordRoutes kWordRoutes;

constexpr size_t kVectors = kLanes / 8;

// Updates one vector of eight lanes and returns their symbols.
[[gnu::target("avx2")]] inline __m256i step(const DecodeTable& table, __m256i& x, const uint8_t*& words) {
  const __m256i low12 = _mm256_set1_epi32(0xFFF);
  const int* base = reinterpret_cast<const int*>(table.data());
  __m256i entry = _mm256_i32gather_epi32(base, _mm256_and_si256(x, low12), 4);
  __m256i freq = _mm256_add_epi32(_mm256_srli_epi32(entry, 20), _mm256_set1_epi32(1));
  __m256i offset = _mm256_and_si256(_mm256_srli_epi32(entry, 8), low12);
  __m256i next = _mm256_add_epi32(_mm256_mullo_epi32(freq, _mm256_srli_epi32(x, kScaleBits)), offset);
  __m256i low = _mm256_cmpeq_epi32(_mm256_srli_epi32(next, 16), _mm256_setzero_si256());
  uint32_t mask = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(low)));
  __m256i loaded = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
  __m256i routed = _mm256_permutevar8x32_epi32(
      loaded, _mm256_load_si256(reinterpret_cast<const __m256i*>(kWordRoutes.index[mask].data())));
  x = _mm256_blendv_epi8(next, _mm256_or_si256(_mm256_slli_epi32(next, 16), routed), low);
  words += 2 * std::popcount(mask);
  return _mm256_and_si256(entry, _mm256_set1_epi32(0xFF));
}

}  // namespace

[[gnu::target("avx2")]] bool decode_order0_avx2(const DecodeTable& table, States& states, WordStream& words,
                                                 uint8_t* out, size_t n) {
  size_t i;
  if (!decode_prologue(table, states, words, out, n, i)) return false;
  __m256i x[kVectors];
  for (size_t v = 0; v < kVectors; ++v)
    x[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&states[8 * v]));
  const __m256i byte_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  // Each vector reads 16 bytes of words and takes at most 16, so a group
  // stays inside the stream while 64 bytes remain.
  for (; i + kLanes <= n && words.remaining_bytes() >= kGroupWordBytes; i += kLanes) {
    __m256i s0 = step(table, x[0], words.next);
    __m256i s1 = step(table, x[1], words.next);
    __m256i s2 = step(table, x[2], words.next);
    __m256i s3 = step(table, x[3], words.next);
    __m256i packed = _mm256_packus_epi16(_mm256_packus_epi32(s0, s1), _mm256_packus_epi32(s2, s3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permutevar8x32_epi32(packed, byte_order));
  }
  for (size_t v = 0; v < kVectors; ++v) _mm256_storeu_si256(reinterpret_cast<__m256i*>(&states[8 * v]), x[v]);
  return decode_order0_checked(table, states, words, out, i, n);
}

}  // namespace zelk::rans::detail
