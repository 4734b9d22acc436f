// The benchmark runner's shared pieces: sections register themselves and
// print rows of MB/s, each beside baselines measured in the same run.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "zelk-container/archive_writer.h"
#include "zelk-container/block.h"

namespace zelk::bench {

// The reads as one sequence block; "<n> bits/base" of a coded size.
seq::SequenceBlock sequence_block_of(const std::vector<std::string>& reads);
std::string bits_per_base(size_t coded_bytes, size_t bases);

// The archive the writer makes of `fastq` with `options`.
Bytes compress_archive(const std::string& fastq, const container::ArchiveOptions& options = {});
// Decodes `archive` to FASTQ (or FASTA) text written to /dev/null; returns
// its size.
size_t decompress_archive(const Bytes& archive, uint64_t threads, bool fasta);
// Decodes only the `selected` streams of `archive` into records, dropped.
void decode_streams(const Bytes& archive, uint64_t threads, container::StreamSelection selected);

// Where the real reads live (ZELK_DATA, else ../shared/data beside the
// repository).
std::string data_dir();

// The deep short-read set that data_dir()'s make-deep-set.sh writes by
// default (`make bench` makes it first), or the file DEEP_SET names.
std::string deep_set_path();

// The records of a FASTQ file under data_dir(), as three parallel lists;
// empty when the file is missing. At most `max_records` are read.
struct FastqColumns {
  std::vector<std::string> names, sequences, qualities;
};
FastqColumns load_fastq(const std::string& relative_path, size_t max_records = SIZE_MAX);

// Joins items with `separator` until `limit` bytes are reached, repeating
// the list when it is shorter.
std::string join_to_size(const std::vector<std::string>& items, size_t limit, char separator = '\n');

// Runs `work` repeatedly for at least `min_seconds` and returns the mean
// seconds per run.
double seconds_per_run(const std::function<void()>& work, double min_seconds = 0.3);

// MB/s (10^6 bytes) of processing `bytes` in `seconds`.
inline double mb_per_s(size_t bytes, double seconds) { return bytes / seconds / 1e6; }

// Seconds an external command takes to read `input` on stdin and discard
// its output; negative when the tool is missing. `args` is a shell word
// list such as "xz -9".
double external_seconds(const std::string& command, const std::string& input);
// What `command` writes for `input`; empty when the tool is missing.
std::string external_output(const std::string& command, const std::string& input);
// Size of `command`'s output for `input`; 0 when the tool is missing.
inline size_t external_output_size(const std::string& command, const std::string& input) {
  return external_output(command, input).size();
}

// A whole file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

// The kernel's resident-set high-water mark and current resident set, in
// MB; reset_peak_rss() starts a new high-water measurement from now.
double peak_rss_mb();
double resident_mb();
void reset_peak_rss();

void print_header(const std::string& section);
void print_row(const std::string& label, double mbps, const std::string& note = "");

using SectionFn = void (*)();
struct Section {
  Section(int order, const char* name, SectionFn run);
};

}  // namespace zelk::bench

// Registers a benchmark section; sections run in increasing `order`.
#define ZELK_BENCH_SECTION(order, name)                               \
  static void bench_section_##order();                                \
  static ::zelk::bench::Section bench_register_##order(order, name, bench_section_##order); \
  static void bench_section_##order()
