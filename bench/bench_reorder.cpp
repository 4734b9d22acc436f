// The reordered layout beside the plain one and CRAM 3.1 on the same reads:
// archive and sequence-stream sizes, compress and 2-thread FASTQ decode
// speed, and peak memory per million reads.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench.h"
#include "zelk-base/fastq.h"
#include "zelk-base/io.h"
#include "zelk-base/pool.h"
#include "zelk-base/text.h"
#include "zelk-container/archive_writer.h"
#include "zelk-container/decode.h"
#include "zelk-container/inspect.h"
#include "zelk-container/reordered_writer.h"

namespace {

using namespace zelk;
using namespace zelk::bench;

const char* const kShortReadSets[] = {
    "illumina/hiseqx_seqkit_10k.fastq",
    "illumina/gaiix_shortread_ERR127302_R1.fastq",
    "illumina/nextseq_dropseq_10cells.fastq",
};

std::vector<FastqRecord> parse(const std::string& fastq) {
  MemorySource source(Bytes(fastq.begin(), fastq.end()));
  FastqReader reader(source);
  std::vector<FastqRecord> records;
  FastqRecord record;
  while (*reader.next(record)) records.push_back(std::move(record));
  return records;
}

Bytes plain_archive(const std::vector<FastqRecord>& records) {
  Bytes archive;
  container::ArchiveWriter writer({}, [&](ByteSpan data) -> Result<void> {
    append_bytes(archive, data);
    return {};
  });
  for (const FastqRecord& record : records) (void)writer.add(record);
  (void)writer.finish();
  return archive;
}

uint64_t sequence_bytes(const Bytes& archive) {
  MemorySource source(archive);
  auto info = container::inspect_archive(source);
  return info ? info->sequence_bytes : 0;
}

void decode(const Bytes& archive) {
  MemorySource source(archive);
  container::BufferedOutput out(nullptr);
  container::TextSink sink(out, false);
  (void)container::decode_archive(source, {2, true, {true, true, true}, {}}, sink);
}

void report(const std::string& label, const std::string& fastq) {
  std::vector<FastqRecord> records = parse(fastq);
  if (records.empty()) return;
  double millions = records.size() / 1e6;
  Bytes plain = plain_archive(records);
  std::printf("-- %s: %zu reads, %.1f MB FASTQ; plain archive %.2f MB (sequence %.2f MB)\n", label.c_str(),
              records.size(), fastq.size() / 1e6, plain.size() / 1e6, sequence_bytes(plain) / 1e6);
  std::string cram = external_output("samtools import -0 /dev/stdin -O cram,version=3.1,archive", fastq);
  if (cram.empty()) std::printf("   CRAM 3.1: samtools not installed\n");
  WorkerPool pool(2);
  container::ReadStore reads;
  for (const FastqRecord& record : records) (void)reads.add(record);
  for (bool keep_order : {true, false}) {
    container::ReorderedOptions options;
    options.keep_order = keep_order;
    reset_peak_rss();
    double before = resident_mb();
    auto start = std::chrono::steady_clock::now();
    auto archive = container::write_reordered_archive(reads, {}, options, pool);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double compress_peak = peak_rss_mb() - before;
    if (!archive) return;
    reset_peak_rss();
    before = resident_mb();
    decode(*archive);
    double decode_peak = peak_rss_mb() - before;
    double decode_seconds = seconds_per_run([&] { decode(*archive); });
    std::string versus_cram =
        cram.empty() ? "" : strprintf(", %.0f%% smaller than CRAM 3.1", 100.0 * (1.0 - double(archive->size()) / cram.size()));
    std::printf("   reordered, keep_order=%d: %.2f MB%s; sequence %.2f MB (%.0f%% of plain's)\n", keep_order,
                archive->size() / 1e6, versus_cram.c_str(), sequence_bytes(*archive) / 1e6,
                100.0 * sequence_bytes(*archive) / std::max<uint64_t>(sequence_bytes(plain), 1));
    print_row("compress", mb_per_s(fastq.size(), seconds),
              strprintf("peak +%.0f MB per million reads", compress_peak / millions));
    print_row("decode FASTQ, 2 threads", mb_per_s(fastq.size(), decode_seconds),
              strprintf("peak +%.0f MB per million reads", decode_peak / millions));
  }
  if (!cram.empty())
    print_row("samtools fastq (baseline), CRAM 3.1", mb_per_s(fastq.size(), external_seconds("samtools fastq -", cram)),
              strprintf("packed %.2f MB", cram.size() / 1e6));
}

}  // namespace

ZELK_BENCH_SECTION(85, "reordered layout: size beside plain and CRAM 3.1, decode speed, memory") {
  for (const char* set : kShortReadSets) report(set, read_file(data_dir() + "/" + set));
  std::string deep = read_file(deep_set_path());
  if (deep.empty())
    std::printf("-- deep set: not found (make it with ../shared/data/make-deep-set.sh)\n");
  else
    report("deep set, 15x S. aureus", deep);
}
