// The quality codec on real qualities: decode speed and bits per quality
// value in every mode, beside xz and zstd of the raw quality lines; and the
// chunked modes on one and two threads.
#include <cstring>
#include <numeric>

#include "bench.h"
#include "zelk-quality/quality.h"
#include "zelk-base/text.h"

namespace {

using namespace zelk;
using namespace zelk::bench;

volatile uint8_t sink;

struct QualitySet {
  const char* label;
  const char* path;
};
constexpr QualitySet kSets[] = {
    {"illumina hiseqx", "illumina/hiseqx_seqkit_10k.fastq"},
    {"nanopore qcat", "ont/dna_qcat_barcode_1k.fastq"},
    {"pacbio ccs", "pacbio/ccs_sequel_dada2_16s.fastq"},
};

// One block's reads: lengths, concatenated qualities and bases, and the
// raw quality lines.
struct Block {
  std::vector<uint32_t> lengths;
  std::string qualities, bases, lines;
};

Block load_block(const char* path) {
  FastqColumns reads = load_fastq(path);
  Block block;
  for (size_t i = 0; i < reads.qualities.size(); ++i) {
    block.lengths.push_back(static_cast<uint32_t>(reads.qualities[i].size()));
    block.qualities += reads.qualities[i];
    block.bases += reads.sequences[i];
    block.lines += reads.qualities[i] + '\n';
  }
  return block;
}

std::string bits_note(size_t coded_bytes, size_t values) {
  return strprintf("%.3f bits/qv", 8.0 * coded_bytes / values);
}

Bytes encode(const Block& block, uint8_t mode, uint8_t chunk_variant = 1, uint32_t segments = 4) {
  quality::QualityEncodeOptions options;
  options.mode = mode;
  options.chunk_variant = chunk_variant;
  options.segments = segments;
  auto coded = quality::encode_quality_stream(block.lengths, as_bytes(block.qualities), as_bytes(block.bases),
                                              options);
  return coded ? std::move(*coded) : Bytes{};
}

// Decode MB/s (of quality bytes) of a coded stream on `pool`.
double decode_speed(const Block& block, const Bytes& coded, WorkerPool* pool) {
  return mb_per_s(block.qualities.size(), seconds_per_run([&] {
                    auto decoded = quality::decode_quality_stream(coded, as_bytes(block.bases), pool);
                    sink = decoded ? decoded->qualities.back() : 0;
                  }));
}

void external_rows(const Block& block, const char* compress, const char* decompress) {
  std::string packed = external_output(compress, block.lines);
  if (packed.empty()) return;
  print_row(strprintf("%s decompress (raw lines)", compress), mb_per_s(block.qualities.size(),
                                                                       external_seconds(decompress, packed)),
            bits_note(packed.size(), block.qualities.size()));
}

}  // namespace

ZELK_BENCH_SECTION(50, "quality codec decode, real qualities (MB/s of quality bytes)") {
  for (const QualitySet& set : kSets) {
    Block block = load_block(set.path);
    if (block.qualities.empty()) continue;
    std::printf("-- %s: %zu reads, %zu quality values\n", set.label, block.lengths.size(),
                block.qualities.size());
    std::string copy(block.qualities.size(), '\0');
    print_row("memcpy (baseline)", mb_per_s(copy.size(), seconds_per_run([&] {
                                              std::memcpy(copy.data(), block.qualities.data(), copy.size());
                                              sink = copy[7];
                                            })));
    for (uint8_t mode : {0, 1, 3, 4, 5, 6}) {
      Bytes coded = encode(block, mode);
      print_row(strprintf("mode %u", mode), decode_speed(block, coded, nullptr),
                bits_note(coded.size(), block.qualities.size()));
    }
    external_rows(block, "xz -9", "xz -d");
    external_rows(block, "zstd -19", "zstd -d");
  }
}

ZELK_BENCH_SECTION(51, "quality chunked decode on real nanopore qualities, pools of 1 and 2 workers") {
  Block block = load_block("ont/cdna_seqkit_pcs109_5k.fastq");
  if (block.qualities.empty()) return;
  std::printf("-- %zu reads, %zu quality values; chunked streams with 8 segments\n", block.lengths.size(),
              block.qualities.size());
  WorkerPool one(1), two(2);
  for (uint8_t mode : {3, 4}) {
    Bytes coded = encode(block, mode);
    print_row(strprintf("mode %u", mode), decode_speed(block, coded, &one),
              bits_note(coded.size(), block.qualities.size()));
  }
  for (uint8_t mode : {5, 6}) {
    for (uint8_t variant : {1, 2}) {
      Bytes coded = encode(block, mode, variant, 8);
      // The calling thread works beside the pool's workers.
      for (auto [workers, pool] : {std::pair{1, &one}, std::pair{2, &two}})
        print_row(strprintf("mode %u variant %u, pool of %d", mode, variant, workers),
                  decode_speed(block, coded, pool), bits_note(coded.size(), block.qualities.size()));
    }
  }
}
