#include "zelk-dna/dna.h"

#include <array>

#include "zelk-base/cpu.h"

namespace zelk::dna {

size_t revcomp_sse42_blocks(ByteSpan source, std::span<uint8_t> destination);

namespace {

using ComplementTable = std::array<uint8_t, 256>;

constexpr ComplementTable complement_table(bool lower_case) {
  ComplementTable table{};
  for (unsigned i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
  constexpr const char* kPairs[] = {"AT", "TA", "CG", "GC"};
  for (const char* pair : kPairs) {
    table[static_cast<uint8_t>(pair[0])] = static_cast<uint8_t>(pair[1]);
    if (lower_case) table[static_cast<uint8_t>(pair[0] | 0x20)] = static_cast<uint8_t>(pair[1] | 0x20);
  }
  return table;
}

constexpr ComplementTable kBothCases = complement_table(true);
constexpr ComplementTable kUpperOnly = complement_table(false);

void reverse_through(const ComplementTable& table, ByteSpan source, uint8_t* destination) {
  size_t n = source.size();
  for (size_t i = 0; i < n; ++i) destination[i] = table[source[n - 1 - i]];
}

}  // namespace

bool revcomp_vector_available() { return cpu_features() & kCpuSse42; }

void revcomp_bytewise(ByteSpan source, std::span<uint8_t> destination) {
  reverse_through(kBothCases, source, destination.data());
}

size_t revcomp_vector_blocks(ByteSpan source, std::span<uint8_t> destination) {
  return revcomp_vector_available() ? revcomp_sse42_blocks(source, destination) : 0;
}

Result<void> revcomp_into(ByteSpan source, std::span<uint8_t> destination) {
  if (source.size() != destination.size())
    return fail(ArchiveError::codec(ErrorKind::Malformed, "revcomp_into: length mismatch"));
  size_t done = revcomp_vector_blocks(source, destination);
  // The blocks covered the end of `source`; its first bytes fill the tail.
  revcomp_bytewise(source.first(source.size() - done), destination.subspan(done));
  return {};
}

Bytes reverse_complement(ByteSpan bases) {
  Bytes out(bases.size());
  reverse_through(kUpperOnly, bases, out.data());
  return out;
}

}  // namespace zelk::dna
