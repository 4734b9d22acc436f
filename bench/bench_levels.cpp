// Archive size per stream and decode time at levels 1, 5 (default) and 9 on
// every real set, beside CRAM 3.1 (archive mode), xz -9 and zstd -19 of the
// same FASTQ, and on the deep set when it has been made.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench.h"
#include "zelk-base/io.h"
#include "zelk-base/text.h"
#include "zelk-container/inspect.h"

namespace {

using namespace zelk;
using namespace zelk::bench;

std::vector<std::string> real_sets() {
  std::vector<std::string> paths;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data_dir(), error))
    if (entry.path().extension() == ".fastq") paths.push_back(entry.path().string());
  std::sort(paths.begin(), paths.end());
  if (std::filesystem::exists(deep_set_path())) paths.push_back(deep_set_path());
  return paths;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

ZELK_BENCH_SECTION(82, "archives by level beside CRAM 3.1, xz -9, zstd -19 (sizes in kB; 2 threads)") {
  std::printf("%-34s %8s | %-52s | %s\n", "set", "FASTQ kB", "level: ratio names/sequence/quality, compress, decode",
              "peers: ratio (decode)");
  for (const std::string& path : real_sets()) {
    std::string fastq = read_file(path);
    if (fastq.empty()) continue;
    std::string name = std::filesystem::path(path).filename().string().substr(0, 34);
    std::printf("%-34s %8zu", name.c_str(), fastq.size() / 1000);
    for (uint8_t level : {1, 5, 9}) {
      auto start = std::chrono::steady_clock::now();
      container::ArchiveOptions options;
      options.level = level;
      options.threads = 2;
      Bytes archive = compress_archive(fastq, options);
      double compress_seconds = seconds_since(start);
      double decode_seconds = seconds_per_run([&] { decompress_archive(archive, 2, false); }, 0.5);
      MemorySource source(archive);
      auto info = container::inspect_archive(source);
      std::printf(" | L%u %5.2f %zu/%zu/%zu %.2fs %.2fs", level, double(fastq.size()) / archive.size(),
                  size_t(info ? info->names_bytes / 1000 : 0), size_t(info ? info->sequence_bytes / 1000 : 0),
                  size_t(info ? info->quality_bytes / 1000 : 0), compress_seconds, decode_seconds);
    }
    std::string cram = external_output("samtools import -0 /dev/stdin -O cram,version=3.1,archive", fastq);
    double cram_seconds = cram.empty() ? -1 : external_seconds("samtools fastq -@2 -", cram);
    std::printf(" | CRAM %.2f (%.2fs)", double(fastq.size()) / std::max<size_t>(cram.size(), 1), cram_seconds);
    for (const char* peer : {"xz -9 -T1 -c", "zstd -19 -c"})
      std::printf(" | %s %.2f", peer, double(fastq.size()) / std::max<size_t>(external_output_size(peer, fastq), 1));
    std::printf("\n");
    std::fflush(stdout);
  }
}
