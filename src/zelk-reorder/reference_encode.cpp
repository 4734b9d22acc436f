#include <numeric>

#include "zelk-dna/sequence_block.h"
#include "zelk-rans/rans.h"
#include "zelk-reorder/reference.h"
#include "zelk-sequence/lz.h"
#include "zelk-sequence/sequence.h"

namespace zelk::reorder {

namespace {

// Bases per block of the blocked form: enough to code well, small enough
// that a few megabases decode on every core.
constexpr uint64_t kBlockBases = uint64_t{1} << 20;

Result<dna::SequenceBlock> block_of(std::span<const ByteSpan> contigs) {
  dna::SequenceBlock block;
  block.read_lengths.reserve(contigs.size());
  for (ByteSpan contig : contigs) {
    if (contig.size() > UINT32_MAX)
      return fail(ArchiveError::malformed_stream(ErrorKind::ReorderCodec, "contig longer than 2^32 - 1 bases"));
    block.read_lengths.push_back(static_cast<uint32_t>(contig.size()));
    append_bytes(block.bases, contig);
  }
  return block;
}

// The smaller of the context-model and LZ streams: the first wins on
// genome-like contigs, the second when contigs repeat each other.
Result<Bytes> smallest_stream(const dna::SequenceBlock& block) {
  Bytes context = ZELK_TRY(seq::encode_sequence_stream(block, {}));
  Bytes lz = ZELK_TRY(seq::encode_reference_lz_stream(block));
  return lz.size() < context.size() ? lz : context;
}

void append_prefixed(Bytes& out, ByteSpan data) {
  append_varint(out, data.size());
  append_bytes(out, data);
}

Result<void> append_single(Bytes& out, std::span<const ByteSpan> contigs) {
  dna::SequenceBlock block = ZELK_TRY(block_of(contigs));
  append_varint(out, contigs.size());
  append_prefixed(out, ZELK_TRY(smallest_stream(block)));
  return {};
}

// Contigs in order, cut into runs of about kBlockBases (never splitting a
// contig).
std::vector<std::span<const ByteSpan>> contig_runs(std::span<const ByteSpan> contigs) {
  std::vector<std::span<const ByteSpan>> runs;
  size_t start = 0;
  uint64_t bases = 0;
  for (size_t i = 0; i < contigs.size(); ++i) {
    bases += contigs[i].size();
    if (bases >= kBlockBases || i + 1 == contigs.size()) {
      runs.push_back(contigs.subspan(start, i + 1 - start));
      start = i + 1;
      bases = 0;
    }
  }
  return runs;
}

Result<void> append_blocked(Bytes& out, std::span<const ByteSpan> contigs) {
  auto runs = contig_runs(contigs);
  append_varint(out, runs.size());
  for (auto run : runs) {
    dna::SequenceBlock block = ZELK_TRY(block_of(run));
    append_varint(out, run.size());
    append_prefixed(out, ZELK_TRY(smallest_stream(block)));
  }
  return {};
}

// Two bits per base, the first base in the low bits; anything but an
// upper-case A, C, G or T packs as A and is listed as an exception.
Result<void> append_refpack(Bytes& out, std::span<const ByteSpan> contigs) {
  dna::SequenceBlock block = ZELK_TRY(block_of(contigs));
  Bytes lengths;
  for (uint32_t length : block.read_lengths) append_varint(lengths, length);
  Bytes coded_lengths = seq::reflzma_encode(lengths);
  append_varint(out, contigs.size());
  append_varint(out, lengths.size());
  append_varint(out, coded_lengths.size());
  append_bytes(out, coded_lengths);

  const Bytes& bases = block.bases;
  Bytes packed((bases.size() + 3) / 4, 0);
  Bytes exceptions;
  uint64_t exception_count = 0, previous = 0;
  for (size_t i = 0; i < bases.size(); ++i) {
    unsigned code;
    switch (bases[i]) {
      case 'A': code = 0; break;
      case 'C': code = 1; break;
      case 'G': code = 2; break;
      case 'T': code = 3; break;
      default:
        code = 0;
        ++exception_count;
        append_varint(exceptions, i - previous);
        exceptions.push_back(bases[i]);
        previous = i;
    }
    packed[i / 4] |= static_cast<uint8_t>(code << (2 * (i % 4)));
  }
  append_varint(out, bases.size());
  append_varint(out, exception_count);
  append_bytes(out, exceptions);
  append_bytes(out, seq::reflzma_encode(packed));
  return {};
}

}  // namespace

Result<Bytes> encode_reorder_reference(std::span<const ByteSpan> contigs, ReferenceMethod method) {
  Bytes out{static_cast<uint8_t>(method)};
  switch (method) {
    case ReferenceMethod::Single: ZELK_TRY(append_single(out, contigs)); break;
    case ReferenceMethod::Blocked: ZELK_TRY(append_blocked(out, contigs)); break;
    case ReferenceMethod::Refpack: ZELK_TRY(append_refpack(out, contigs)); break;
  }
  return out;
}

Result<Bytes> encode_plain_reference(std::span<const ByteSpan> contigs) {
  dna::SequenceBlock block = ZELK_TRY(block_of(contigs));
  Bytes lengths;
  for (uint32_t length : block.read_lengths) append_varint(lengths, length);
  Bytes out(std::begin(kPlainReferenceHeader), std::end(kPlainReferenceHeader));
  append_varint(out, contigs.size());
  rans::append_framed(out, lengths);
  rans::append_framed(out, block.bases);
  return out;
}

}  // namespace zelk::reorder
