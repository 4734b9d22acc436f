// Whole archives: compression ratio, decompression to FASTQ and FASTA with
// one and two threads beside zstd -d, pigz -d and samtools (CRAM 3.1) on the
// same reads, peak RSS, and the size estimate beside the real archive.
#include <chrono>
#include <cstdio>

#include "bench.h"
#include "zelk-container/archive_writer.h"
#include "zelk-container/decode.h"
#include "zelk-container/estimate.h"
#include "zelk-base/io.h"
#include "zelk-base/text.h"

namespace {

using namespace zelk;
using namespace zelk::bench;

// Decompression baselines: how the FASTQ is packed, and the command timed.
const std::pair<const char*, const char*> kBaselines[] = {
    {"zstd -3 -c", "zstd -dc"},
    {"pigz -c", "pigz -dc"},
    {"samtools import -0 /dev/stdin -O cram,version=3.1,archive", "samtools fastq -"},
};

const char* const kSets[] = {
    "illumina/hiseqx_seqkit_10k.fastq",
    "illumina/nextseq_dropseq_10cells.fastq",
    "ont/dna_nanoget_SRR5665597.fastq",
    "pacbio/ccs_sequel_dada2_16s.fastq",
};

}  // namespace

ZELK_BENCH_SECTION(80, "archives: decompress (MB/s of FASTQ written) and estimate") {
  for (const char* set : kSets) {
    std::string fastq = read_file(data_dir() + "/" + set);
    if (fastq.empty()) continue;
    auto start = std::chrono::steady_clock::now();
    Bytes archive = compress_archive(fastq);
    double compress_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("-- %s: %.1f MB FASTQ -> %.2f MB archive (ratio %.2f), compressed at %.1f MB/s\n", set,
                fastq.size() / 1e6, archive.size() / 1e6, double(fastq.size()) / archive.size(),
                mb_per_s(fastq.size(), compress_seconds));
    reset_peak_rss();
    double resident_before = resident_mb();
    size_t fastq_bytes = decompress_archive(archive, 2, false);
    double decode_peak = peak_rss_mb() - resident_before;
    size_t fasta_bytes = decompress_archive(archive, 1, true);
    double fastq_one = seconds_per_run([&] { decompress_archive(archive, 1, false); });
    double fastq_two = seconds_per_run([&] { decompress_archive(archive, 2, false); });
    double fasta_one = seconds_per_run([&] { decompress_archive(archive, 1, true); });
    print_row("FASTQ, 1 thread", mb_per_s(fastq.size(), fastq_one));
    print_row("FASTQ, 2 threads", mb_per_s(fastq.size(), fastq_two));
    print_row("FASTA, 1 thread", mb_per_s(fasta_bytes, fasta_one),
              strprintf("%.2fx faster than FASTQ", fastq_one / fasta_one));
    for (const auto& [pack, unpack] : kBaselines) {
      std::string packed = external_output(pack, fastq);
      double seconds = packed.empty() ? -1 : external_seconds(unpack, packed);
      if (seconds < 0) std::printf("   %s: not installed\n", unpack);
      else print_row(std::string(unpack) + " (baseline)", mb_per_s(fastq.size(), seconds),
                     strprintf("packed %.2f MB", packed.size() / 1e6));
    }
    std::printf("   peak RSS of a 2-thread decode to memory: +%.0f MB (its output alone: %.0f MB)\n", decode_peak,
                fastq_bytes / 1048576.0);

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
}
