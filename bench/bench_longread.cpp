// Long-read sequence streams: the LZ (3), tile (4) and overlap (1) codecs
// beside the context model (0) on the same block of real long reads, with the
// size of each stream and its encode and decode speed.
#include <chrono>

#include "bench.h"
#include "zelk-base/text.h"
#include "zelk-sequence/sequence.h"

namespace {

volatile uint64_t sink;

void bench_block(const char* label, const std::string& path) {
  using namespace zelk::bench;
  FastqColumns reads = load_fastq(path);
  if (reads.sequences.empty()) {
    print_row(std::string(label) + ": data missing", 0, path);
    return;
  }
  zelk::seq::SequenceBlock block = sequence_block_of(reads.sequences);
  size_t total = block.bases.size();
  std::string name = zelk::strprintf("%s, %zu reads, %zu bases", label, block.read_lengths.size(), total);
  size_t method0_size = 0;
  for (uint8_t method : {0, 3, 4, 1}) {
    zelk::seq::SequenceEncodeOptions options;
    options.method = method;
    zelk::Bytes stream;
    // Aligning is slow: one timed run is enough to see its speed.
    auto start = std::chrono::steady_clock::now();
    stream = *zelk::seq::encode_sequence_stream(block, options);
    double encode = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (method == 0) method0_size = stream.size();
    std::string size_note = zelk::strprintf("%zu bytes, %.4f bits/base, %+.1f%% vs method 0", stream.size(),
                                            8.0 * stream.size() / total,
                                            100.0 * (double(stream.size()) / method0_size - 1));
    print_row(zelk::strprintf("%s: method %u encode", name.c_str(), method), mb_per_s(total, encode), size_note);
    double decode = seconds_per_run([&] { sink = zelk::seq::decode_sequence_stream(stream)->bases.size(); });
    print_row(zelk::strprintf("%s: method %u decode", name.c_str(), method), mb_per_s(total, decode));
  }
  std::string bases(block.bases.begin(), block.bases.end());
  if (size_t xz = external_output_size("xz -9", bases))
    print_row(name + ": xz -9 (size only)", 0, zelk::strprintf("%zu bytes, %.4f bits/base", xz, 8.0 * xz / total));
}

}  // namespace

ZELK_BENCH_SECTION(45, "long-read sequence streams: methods 0, 3, 4 and 1 on one block (one core)") {
  bench_block("PacBio CCS amplicons", "pacbio/ccs_sequel_dada2_16s.fastq");
  bench_block("ONT cDNA", "ont/cdna_seqkit_pcs109_5k.fastq");
}
