#include "zelk-base/crc32c.h"

#include <array>

#include "zelk-base/cpu.h"
#include "zelk-base/io.h"
#include "zelk-base/pool.h"

namespace zelk {

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78;

// Slicing-by-8 tables; tables[0] is the standard byte-at-a-time table.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_tables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? kPolynomial : 0);
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr CrcTables kTables = make_tables();
static_assert(kTables[0][1] == 0xF26B8303);

// Multiplies the 32x32 GF(2) matrix `m` by vector `v`.
uint32_t gf2_times(const std::array<uint32_t, 32>& m, uint32_t v) {
  uint32_t sum = 0;
  for (int i = 0; v; ++i, v >>= 1)
    if (v & 1) sum ^= m[i];
  return sum;
}

std::array<uint32_t, 32> gf2_square(const std::array<uint32_t, 32>& m) {
  std::array<uint32_t, 32> out;
  for (int i = 0; i < 32; ++i) out[i] = gf2_times(m, m[i]);
  return out;
}

}  // namespace

uint32_t crc32c_extend_table(uint32_t crc, ByteSpan data) {
  uint32_t c = ~crc;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n >= 8) {
    uint32_t lo = load_le<uint32_t>(p) ^ c;
    uint32_t hi = load_le<uint32_t>(p + 4);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
  return ~c;
}

uint32_t crc32c_extend(uint32_t crc, ByteSpan data) {
  static const bool hardware = crc32c_hardware_available();
  return hardware ? crc32c_extend_hardware(crc, data) : crc32c_extend_table(crc, data);
}

uint32_t crc32c(ByteSpan data) { return crc32c_extend(0, data); }

bool crc32c_hardware_available() { return cpu_features() & kCpuSse42; }

uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
  if (length_b == 0) return crc_a;
  // Operator for one zero bit, then squared to two and four bits; the loop
  // squares on to one, two, four... zero bytes.
  std::array<uint32_t, 32> odd;
  odd[0] = kPolynomial;
  for (int i = 1; i < 32; ++i) odd[i] = 1u << (i - 1);
  std::array<uint32_t, 32> even = gf2_square(odd);
  odd = gf2_square(even);
  for (;;) {
    even = gf2_square(odd);
    if (length_b & 1) crc_a = gf2_times(even, crc_a);
    length_b >>= 1;
    if (!length_b) break;
    odd = gf2_square(even);
    if (length_b & 1) crc_a = gf2_times(odd, crc_a);
    length_b >>= 1;
    if (!length_b) break;
  }
  return crc_a ^ crc_b;
}

Result<uint32_t> whole_file_crc(BufferedReader& reader, uint64_t covered_length,
                                WorkerPool* pool) {
  ZELK_TRY(reader.seek(0));
  if (covered_length <= kWholeFileCrcChunk) {
    Bytes all(covered_length);
    ZELK_TRY(reader.read_exact(all));
    return crc32c(all);
  }
  size_t batch_chunks = std::max<size_t>(pool->size(), 1);
  std::vector<Bytes> chunks(batch_chunks);
  std::vector<uint32_t> crcs(batch_chunks);
  uint32_t running = 0;
  bool first = true;
  uint64_t left = covered_length;
  while (left > 0) {
    size_t in_batch = 0;
    for (; in_batch < batch_chunks && left > 0; ++in_batch) {
      uint64_t n = std::min(left, kWholeFileCrcChunk);
      chunks[in_batch].resize(n);
      ZELK_TRY(reader.read_exact(chunks[in_batch]));
      left -= n;
    }
    pool->parallel_for(in_batch, [&](size_t i) { crcs[i] = crc32c(chunks[i]); });
    for (size_t i = 0; i < in_batch; ++i) {
      running = first ? crcs[i] : crc32c_combine(running, crcs[i], chunks[i].size());
      first = false;
    }
  }
  return running;
}

}  // namespace zelk
