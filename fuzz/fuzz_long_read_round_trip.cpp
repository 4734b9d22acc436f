// Reads drawn from a genome the input spells out, copied with edits on
// either strand, through a long-read encoder: the stream decodes back to
// the reads.
//
// Input: a byte choosing the method (1, 2 or 4, its value modulo 3), the
// genome's bases up to the first 0xFF byte (two bits a byte; 0xFE stands
// for "N"), then one read per 0xFF-separated chunk: start and
// length (two bytes each, modulo the genome), a strand byte, and edit
// bytes (position, kind) that substitute, insert or delete a base.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "zelk-dna/dna.h"
#include "zelk-longread/longread.h"

namespace {

using zelk::Bytes;
using zelk::ByteSpan;

std::vector<ByteSpan> chunks(ByteSpan input) {
  std::vector<ByteSpan> out;
  size_t start = 0;
  for (size_t i = 0; i <= input.size(); ++i) {
    if (i < input.size() && input[i] != 0xFF) continue;
    out.push_back(input.subspan(start, i - start));
    start = i + 1;
  }
  return out;
}

Bytes read_from(const Bytes& genome, ByteSpan recipe) {
  if (genome.empty() || recipe.size() < 5) return Bytes(recipe.begin(), recipe.end());
  size_t start = (recipe[0] | recipe[1] << 8) % genome.size();
  size_t length = std::min<size_t>(recipe[2] | recipe[3] << 8, genome.size() - start);
  Bytes read(genome.begin() + start, genome.begin() + start + length);
  if (recipe[4] & 1) read = zelk::dna::reverse_complement(read);
  for (size_t i = 5; i + 1 < recipe.size() && !read.empty(); i += 2) {
    size_t at = recipe[i] * read.size() / 256;
    uint8_t base = "ACGTNacgt-"[recipe[i + 1] % 10];
    switch (recipe[i + 1] % 3) {
      case 0: read[at] = base; break;
      case 1: read.insert(read.begin() + at, base); break;
      default: read.erase(read.begin() + at); break;
    }
  }
  return read;
}

void check_round_trip(const zelk::Result<Bytes>& payload, uint8_t method, const zelk::dna::SequenceBlock& block,
                      const zelk::dna::ReferenceSet* reference) {
  if (!payload) std::abort();
  auto decoded = method == 4 ? zelk::longread::decode_long_read_tiles(*payload)
                             : zelk::longread::decode_long_read_overlap(*payload, method, reference);
  if (!decoded || decoded->read_lengths != block.read_lengths || decoded->bases != block.bases) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<ByteSpan> parts = chunks({data + 1, size - 1});
  Bytes genome;
  for (uint8_t byte : parts[0]) genome.push_back(byte == 0xFE ? 'N' : "ACGT"[byte & 3]);
  zelk::dna::SequenceBlock block;
  for (size_t i = 1; i < parts.size(); ++i) {
    Bytes read = read_from(genome, parts[i]);
    block.read_lengths.push_back(static_cast<uint32_t>(read.size()));
    block.bases.insert(block.bases.end(), read.begin(), read.end());
  }
  zelk::dna::ReferenceSet reference;
  reference.bases = genome;
  reference.offsets.push_back(genome.size());
  switch (data[0] % 3) {
    case 0: check_round_trip(zelk::longread::encode_long_read_overlap(block), 1, block, nullptr); break;
    case 1: check_round_trip(zelk::longread::encode_long_read_overlap(block, reference), 2, block, &reference); break;
    default: check_round_trip(zelk::longread::encode_long_read_tiles(block), 4, block, nullptr); break;
  }
  return 0;
}
