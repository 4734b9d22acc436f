// Names: decode speed and coded bytes per name on each real set, beside
// xz -9 and zstd -19 of the newline-joined names.
#include <cstring>

#include "bench.h"
#include "zelk-names/names.h"
#include "zelk-base/text.h"

namespace {

volatile uint64_t sink;

constexpr const char* kNameSets[] = {
    "illumina/nextseq_dropseq_10cells.fastq", "illumina/hiseqx_seqkit_10k.fastq",
    "illumina/miseq_dada2_sam1_R1.fastq",     "illumina/gaiix_shortread_ERR127302_R1.fastq",
    "ont/cdna_seqkit_pcs109_5k.fastq",        "ont/dna_qcat_barcode_1k.fastq",
    "ont/seqkit_nanopore_4k.fastq",           "pacbio/ccs_sequel_dada2_16s.fastq",
};

}  // namespace

ZELK_BENCH_SECTION(41, "names (one core; MB/s of newline-joined names, coded bytes per name)") {
  using namespace zelk::bench;
  for (const char* path : kNameSets) {
    std::vector<std::string> names = load_fastq(path).names;
    if (names.empty()) continue;
    std::string joined;
    for (const auto& name : names) joined += name + '\n';
    std::vector<uint8_t> copy(joined.size());
    zelk::Bytes coded = zelk::names::encode_names(names);
    auto per_name = [&](size_t bytes) {
      return zelk::strprintf("%.2f B/name", double(bytes) / names.size());
    };
    std::string label = std::string(path);
    label = label.substr(label.find('/') + 1, label.find('.') - label.find('/') - 1);
    print_row(label + ": memcpy", mb_per_s(joined.size(), seconds_per_run([&] {
                std::memcpy(copy.data(), joined.data(), joined.size());
                sink = copy[3];
              })), per_name(joined.size()) + " raw");
    print_row(label + ": decode", mb_per_s(joined.size(), seconds_per_run([&] {
                sink = zelk::names::decode_names(coded)->size();
              })), per_name(coded.size()));
    print_row(label + ": encode", mb_per_s(joined.size(), seconds_per_run([&] {
                sink = zelk::names::encode_names(names).size();
              })));
    for (const char* tool : {"xz -9", "zstd -19"}) {
      double seconds = external_seconds(tool, joined);
      if (seconds < 0) continue;
      print_row(label + ": " + tool, mb_per_s(joined.size(), seconds),
                per_name(external_output_size(tool, joined)) + " (compress speed)");
    }
  }
}
