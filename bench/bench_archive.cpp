// Whole archives: compression ratio, decompression to FASTQ and FASTA with
// one and two threads beside zstd -d, pigz -d and samtools (CRAM 3.1) on the
// same reads, peak RSS, and the size estimate beside the real archive.
#include <chrono>
#include <cstdio>

#include "bench.h"
#include "zelk-container/archive_writer.h"
#include "zelk-container/decode.h"
#include "zelk-container/estimate.h"
#include "zelk-container/inspect.h"
#include "zelk-base/io.h"
#include "zelk-base/text.h"

namespace {

using namespace zelk;
using namespace zelk::bench;

// Decompression baselines: how the FASTQ is packed, and the command timed.
const std::pair<const char*, const char*> kBaselines[] = {
    {"zstd -3 -c", "zstd -dc"},
    {"pigz -c", "pigz -dc"},
    {"samtools import -0 /dev/stdin -O cram,version=3.1,archive", "samtools fastq -@2 -"},
};

// Every real set of at least 1 MB.
const char* const kSets[] = {
    "illumina/hiseqx_seqkit_10k.fastq",
    "illumina/hiseq2500_seqkit_R1.fastq",
    "illumina/hiseq2500_seqkit_R2.fastq",
    "illumina/gaiix_shortread_ERR127302_R1.fastq",
    "illumina/gaiix_shortread_ERR127302_R2.fastq",
    "illumina/nextseq_dropseq_10cells.fastq",
    "ont/cdna_seqkit_pcs109_5k.fastq",
    "ont/dna_qcat_barcode_1k.fastq",
    "ont/dna_nanoget_SRR5665597.fastq",
    "ont/seqkit_nanopore_4k.fastq",
    "pacbio/ccs_sequel_dada2_16s.fastq",
};

// The largest set again in blocks of 32 Ki reads (8 blocks): how a second
// thread scales once there are blocks enough for both.
constexpr const char* kManyBlocksSet = "illumina/nextseq_dropseq_10cells.fastq";
constexpr uint64_t kManyBlocksReads = 32768;

double decode_seconds(const Bytes& archive, uint64_t threads, bool fasta) {
  return seconds_per_run([&] { decompress_archive(archive, threads, fasta); });
}

// One stream alone, one thread. Qualities coded against the bases decode
// the bases too.
void print_stream_rows(const Bytes& archive, size_t fastq_bytes) {
  const std::pair<const char*, container::StreamSelection> streams[] = {
      {"names", {true, false, false}}, {"sequence", {false, true, false}}, {"quality", {false, false, true}}};
  for (const auto& [name, selection] : streams) {
    double seconds = seconds_per_run([&] { decode_streams(archive, 1, selection); });
    print_row(strprintf("  %s alone, 1 thread", name), mb_per_s(fastq_bytes, seconds),
              strprintf("%.3f s", seconds));
  }
}

void report_set(const char* set, const std::string& fastq, const container::ArchiveOptions& options) {
  auto start = std::chrono::steady_clock::now();
  Bytes archive = compress_archive(fastq, options);
  double compress_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  MemorySource inspected(archive);
  auto info = container::inspect_archive(inspected);
  std::printf("-- %s: %.1f MB FASTQ -> %.2f MB archive (ratio %.2f, %llu blocks), compressed at %.1f MB/s\n", set,
              fastq.size() / 1e6, archive.size() / 1e6, double(fastq.size()) / archive.size(),
              static_cast<unsigned long long>(info ? info->blocks : 0), mb_per_s(fastq.size(), compress_seconds));
  reset_peak_rss();
  double resident_before = resident_mb();
  size_t fastq_bytes = decompress_archive(archive, 2, false);
  double decode_peak = peak_rss_mb() - resident_before;
  size_t fasta_bytes = decompress_archive(archive, 1, true);
  double fastq_one = decode_seconds(archive, 1, false);
  double fastq_two = decode_seconds(archive, 2, false);
  double fasta_one = decode_seconds(archive, 1, true);
  print_row("FASTQ, 1 thread", mb_per_s(fastq.size(), fastq_one), strprintf("%.3f s", fastq_one));
  print_row("FASTQ, 2 threads", mb_per_s(fastq.size(), fastq_two),
            strprintf("%.3f s, %.2fx one thread", fastq_two, fastq_one / fastq_two));
  print_row("FASTA, 1 thread", mb_per_s(fasta_bytes, fasta_one),
            strprintf("%.2fx faster than FASTQ", fastq_one / fasta_one));
  print_stream_rows(archive, fastq.size());
  for (const auto& [pack, unpack] : kBaselines) {
    std::string packed = external_output(pack, fastq);
    double seconds = packed.empty() ? -1 : external_seconds(unpack, packed);
    if (seconds < 0) std::printf("   %s: not installed\n", unpack);
    else print_row(std::string(unpack) + " (baseline)", mb_per_s(fastq.size(), seconds),
                   strprintf("%.3f s, packed %.2f MB; zelk with 2 threads is %.2fx this", seconds,
                             packed.size() / 1e6, seconds / fastq_two));
  }
  std::printf("   peak RSS of a 2-thread decode: +%.0f MB (%.0f MB of FASTQ written, %llu blocks)\n", decode_peak,
              fastq_bytes / 1048576.0, static_cast<unsigned long long>(info ? info->blocks : 0));

  container::EstimateTotals totals;
  double estimate_seconds = seconds_per_run(
      [&] {
        MemorySource source(Bytes(fastq.begin(), fastq.end()));
        totals = {};
        (void)container::estimate_source(source, container::kMaxSampleRecords, 8, 0, totals);
      },
      0.2);
  std::printf("   estimate: %.2f s per million reads; projected %.2f MB%s vs written %.2f MB\n",
              estimate_seconds / totals.sample_reads * 1e6, totals.archive_bytes / 1e6,
              totals.exhausted ? "" : " (sample)", archive.size() / 1e6);
}

}  // namespace

ZELK_BENCH_SECTION(80, "archives: decompress (MB/s of FASTQ written) and estimate") {
  for (const char* set : kSets) {
    std::string fastq = read_file(data_dir() + "/" + set);
    if (!fastq.empty()) report_set(set, fastq, {});
  }
  std::string fastq = read_file(data_dir() + "/" + kManyBlocksSet);
  container::ArchiveOptions many_blocks;
  many_blocks.block_reads = kManyBlocksReads;
  if (!fastq.empty()) report_set(kManyBlocksSet, fastq, many_blocks);
}
