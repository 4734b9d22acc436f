// The reference LZ codec (method 3) beside method 0 on real reads, with
// xz -d of the same bases as the decode baseline; and the shared-reference
// payloads (one stream, blocks, refpack, the plain frame) on a reference of
// a few megabases built from real long reads.
#include <span>

#include "bench.h"
#include "zelk-base/pool.h"
#include "zelk-base/text.h"
#include "zelk-reorder/reference.h"
#include "zelk-sequence/lz.h"
#include "zelk-sequence/sequence.h"

namespace {

volatile uint64_t sink;

void bench_reads(const char* label, const std::string& path, size_t max_reads) {
  using namespace zelk::bench;
  FastqColumns reads = load_fastq(path, max_reads);
  if (reads.sequences.empty()) {
    print_row(std::string(label) + ": data missing", 0, path);
    return;
  }
  zelk::seq::SequenceBlock block = zelk::bench::sequence_block_of(reads.sequences);
  size_t total = block.bases.size();
  std::string name = zelk::strprintf("%s, %zu reads, %zu bases", label, block.read_lengths.size(), total);

  zelk::Bytes method0 = *zelk::seq::encode_sequence_stream(block, {});
  print_row(name + ": method 0 (size only)", 0, bits_per_base(method0.size(), total));

  zelk::Bytes stream;
  double encode = seconds_per_run([&] { stream = *zelk::seq::encode_reference_lz_stream(block); }, 0);
  print_row(name + ": method 3 encode", mb_per_s(total, encode), bits_per_base(stream.size(), total));
  double decode = seconds_per_run([&] { sink = zelk::seq::decode_sequence_stream(stream)->bases.size(); });
  print_row(name + ": method 3 decode", mb_per_s(total, decode));

  std::string bases(block.bases.begin(), block.bases.end());
  std::string xz = external_output("xz -9", bases);
  if (xz.empty()) return;
  print_row(name + ": xz -d of xz -9", mb_per_s(total, external_seconds("xz -d", xz)),
            bits_per_base(xz.size(), total));
}

void bench_reference(size_t max_reads) {
  using namespace zelk::bench;
  FastqColumns reads = load_fastq("ont/dna_nanoget_SRR5665597.fastq", max_reads);
  if (reads.sequences.empty()) {
    print_row("reference: data missing", 0);
    return;
  }
  std::vector<zelk::ByteSpan> contigs;
  size_t total = 0;
  for (const auto& read : reads.sequences) {
    contigs.push_back(zelk::as_bytes(read));
    total += read.size();
  }
  std::string name = zelk::strprintf("%zu contigs, %zu bases", contigs.size(), total);
  zelk::WorkerPool pool(zelk::WorkerPool::processor_count());

  using zelk::reorder::ReferenceMethod;
  const std::pair<const char*, ReferenceMethod> methods[] = {
      {"method 0 (one stream)", ReferenceMethod::Single},
      {"method 1 (blocks, all cores)", ReferenceMethod::Blocked},
      {"method 4 (refpack)", ReferenceMethod::Refpack},
  };
  for (auto [label, method] : methods) {
    zelk::Bytes payload;
    double encode = seconds_per_run([&] { payload = *zelk::reorder::encode_reorder_reference(contigs, method); }, 0);
    print_row(name + ": " + label + " encode", mb_per_s(total, encode), bits_per_base(payload.size(), total));
    double decode = seconds_per_run(
        [&] { sink = zelk::reorder::decode_reorder_reference(payload, pool)->bases.size(); });
    print_row(name + ": " + label + " decode", mb_per_s(total, decode));
  }
  zelk::Bytes frame;
  double encode = seconds_per_run([&] { frame = *zelk::reorder::encode_plain_reference(contigs); }, 0);
  print_row(name + ": plain frame (LRR) encode", mb_per_s(total, encode), bits_per_base(frame.size(), total));
  double decode = seconds_per_run([&] { sink = zelk::reorder::decode_plain_reference(frame)->bases.size(); });
  print_row(name + ": plain frame (LRR) decode", mb_per_s(total, decode));
}

}  // namespace

ZELK_BENCH_SECTION(41, "sequence streams, method 3 against method 0 (one core)") {
  bench_reads("short (NextSeq)", "illumina/nextseq_dropseq_10cells.fastq", 50000);
  bench_reads("short (HiSeq X)", "illumina/hiseqx_seqkit_10k.fastq", 10000);
  bench_reads("amplicons (MiSeq)", "illumina/miseq_dada2_sam1_R1.fastq", 1500);
  bench_reads("amplicons (PacBio CCS)", "pacbio/ccs_sequel_dada2_16s.fastq", 500);
  bench_reads("long (ONT cDNA)", "ont/cdna_seqkit_pcs109_5k.fastq", 5000);
  bench_reads("long (ONT DNA)", "ont/dna_nanoget_SRR5665597.fastq", 300);
}

ZELK_BENCH_SECTION(42, "shared references: section methods and the plain frame") {
  bench_reference(300);
}
