// Method-0 sequence streams at the default parameters on real short and
// long reads, beside memcpy, xz -9 and zstd -19 of the same bases.
#include <cstring>

#include "bench.h"
#include "zelk-sequence/sequence.h"
#include "zelk-base/text.h"

namespace {

volatile uint64_t sink;

void bench_reads(const char* label, const std::string& path, size_t max_reads) {
  using namespace zelk::bench;
  FastqColumns reads = load_fastq(path, max_reads);
  if (reads.sequences.empty()) {
    print_row(std::string(label) + ": data missing", 0, path);
    return;
  }
  zelk::seq::SequenceBlock block = sequence_block_of(reads.sequences);
  size_t total = block.bases.size();
  std::string name = zelk::strprintf("%s, %zu reads, %zu bases", label, block.read_lengths.size(), total);
  zelk::seq::SequenceEncodeOptions options;
  options.method = 0;

  zelk::Bytes copy(total);
  print_row(name + ": memcpy", mb_per_s(total, seconds_per_run([&] {
              std::memcpy(copy.data(), block.bases.data(), total);
              sink = copy[total / 2];
            })));
  zelk::Bytes stream;
  double encode = seconds_per_run([&] { stream = *zelk::seq::encode_sequence_stream(block, options); });
  // The stream's header names the parameters the encoder chose.
  print_row(name + ": method 0 encode", mb_per_s(total, encode),
            zelk::strprintf("m=%u o=%u b=%u", stream[2], stream[3], stream[4]));
  double decode = seconds_per_run([&] { sink = zelk::seq::decode_sequence_stream(stream)->bases.size(); });
  print_row(name + ": method 0 decode", mb_per_s(total, decode), bits_per_base(stream.size(), total));

  std::string bases(block.bases.begin(), block.bases.end());
  for (const char* tool : {"xz -9", "zstd -19"}) {
    double seconds = external_seconds(tool, bases);
    if (seconds < 0) continue;
    print_row(name + ": " + tool + " compress", mb_per_s(total, seconds),
              bits_per_base(external_output_size(tool, bases), total));
  }
}

}  // namespace

ZELK_BENCH_SECTION(40, "sequence streams, method 0 (default parameters, one core)") {
  bench_reads("short (NextSeq)", "illumina/nextseq_dropseq_10cells.fastq", 100000);
  bench_reads("short (HiSeq X)", "illumina/hiseqx_seqkit_10k.fastq", 10000);
  bench_reads("long (ONT cDNA)", "ont/cdna_seqkit_pcs109_5k.fastq", 5000);
  bench_reads("long (ONT DNA)", "ont/dna_nanoget_SRR5665597.fastq", 1000);
}
