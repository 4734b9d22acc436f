#include "bench.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string_view>

#include "zelk-base/fastq.h"
#include "zelk-base/io.h"
#include "zelk-base/text.h"
#include "zelk-container/decode.h"

namespace zelk::bench {

namespace {

std::multimap<int, std::pair<const char*, SectionFn>>& registry() {
  static std::multimap<int, std::pair<const char*, SectionFn>> sections;
  return sections;
}

std::string write_temp(const std::string& input) {
  char path[] = "/tmp/zelk-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return {};
  size_t written = 0;
  while (written < input.size()) {
    ssize_t n = write(fd, input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fd);
  return path;
}

bool tool_exists(const std::string& command) {
  std::string tool = command.substr(0, command.find(' '));
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

seq::SequenceBlock sequence_block_of(const std::vector<std::string>& reads) {
  seq::SequenceBlock block;
  for (const auto& read : reads) {
    block.read_lengths.push_back(static_cast<uint32_t>(read.size()));
    append_bytes(block.bases, as_bytes(read));
  }
  return block;
}

std::string bits_per_base(size_t coded_bytes, size_t bases) {
  return strprintf("%.4f bits/base", 8.0 * coded_bytes / bases);
}

Bytes compress_archive(const std::string& fastq, const container::ArchiveOptions& options) {
  Bytes archive;
  container::ArchiveWriter writer(options, [&](ByteSpan data) -> Result<void> {
    append_bytes(archive, data);
    return {};
  });
  MemorySource source(Bytes(fastq.begin(), fastq.end()));
  FastqReader reader(source);
  FastqRecord record;
  while (*reader.next(record)) (void)writer.add(std::move(record));
  (void)writer.finish();
  return archive;
}

size_t decompress_archive(const Bytes& archive, uint64_t threads, bool fasta) {
  // Counts what the text sink passes on to /dev/null, as the baselines'
  // output is discarded.
  struct Counted : container::RecordSink {
    Counted(container::BufferedOutput& out, bool fasta) : text(out, fasta) {}
    Result<void> write_text(ByteSpan data) override {
      bytes += data.size();
      return text.write_text(data);
    }
    Result<void> write_record(container::Record record) override {
      bytes += record.name.size() + record.sequence.size() + 3;  // ">", two newlines
      return text.write_record(std::move(record));
    }
    container::TextSink text;
    size_t bytes = 0;
  };
  auto null = OutputFile::create("/dev/null");
  if (!null) return 0;
  MemorySource source(archive);
  container::BufferedOutput out(&*null);
  Counted sink(out, fasta);
  (void)container::decode_archive(source, {threads, !fasta, {true, true, false}, {}}, sink);
  (void)out.flush();
  return sink.bytes;
}

void decode_streams(const Bytes& archive, uint64_t threads, container::StreamSelection selected) {
  struct Dropped : container::RecordSink {
    Result<void> write_text(ByteSpan) override { return {}; }
    Result<void> write_record(container::Record) override { return {}; }
  } sink;
  MemorySource source(archive);
  (void)container::decode_archive(source, {threads, false, selected, {}}, sink);
}

Section::Section(int order, const char* name, SectionFn run) { registry().emplace(order, std::pair{name, run}); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

namespace {

double status_mb(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with(field)) return std::stod(line.substr(field.size())) / 1024.0;
  return 0;
}

}  // namespace

double peak_rss_mb() { return status_mb("VmHWM:"); }
double resident_mb() { return status_mb("VmRSS:"); }
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::string data_dir() {
  if (const char* env = std::getenv("ZELK_DATA")) return env;
  return "../shared/data";
}

std::string deep_set_path() {
  if (const char* path = std::getenv("DEEP_SET")) return path;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  std::string cache_dir = cache ? cache : std::string(home ? home : ".") + "/.cache";
  return cache_dir + "/zelk/deep/saureus_hs25_150_15x.fastq";
}

FastqColumns load_fastq(const std::string& relative_path, size_t max_records) {
  FastqColumns columns;
  std::ifstream in(data_dir() + "/" + relative_path);
  std::string header, sequence, plus, quality;
  while (columns.names.size() < max_records && std::getline(in, header) && std::getline(in, sequence) &&
         std::getline(in, plus) && std::getline(in, quality)) {
    columns.names.push_back(header.substr(1));
    columns.sequences.push_back(std::move(sequence));
    columns.qualities.push_back(std::move(quality));
  }
  return columns;
}

std::string join_to_size(const std::vector<std::string>& items, size_t limit, char separator) {
  std::string out;
  if (items.empty()) return out;
  out.reserve(limit);
  for (size_t i = 0; out.size() < limit; i = (i + 1) % items.size()) {
    out += items[i];
    out += separator;
  }
  out.resize(limit);
  return out;
}

double seconds_per_run(const std::function<void()>& work, double min_seconds) {
  using clock = std::chrono::steady_clock;
  work();  // warm-up
  size_t runs = 0;
  auto start = clock::now();
  double elapsed = 0;
  do {
    work();
    ++runs;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < min_seconds);
  return elapsed / runs;
}

double external_seconds(const std::string& command, const std::string& input) {
  if (!tool_exists(command)) return -1;
  std::string path = write_temp(input);
  double seconds = seconds_per_run(
      [&] { (void)!std::system((command + " < " + path + " > /dev/null 2>&1").c_str()); }, 0.5);
  unlink(path.c_str());
  return seconds;
}

std::string external_output(const std::string& command, const std::string& input) {
  if (!tool_exists(command)) return {};
  std::string path = write_temp(input);
  std::string out_path = path + ".out";
  (void)!std::system((command + " < " + path + " > " + out_path + " 2>/dev/null").c_str());
  std::ifstream out(out_path, std::ios::binary);
  std::string output((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  unlink(path.c_str());
  unlink(out_path.c_str());
  return output;
}

void print_header(const std::string& section) {
  std::printf("\n== %s\n%-44s %12s  %s\n", section.c_str(), "case", "MB/s", "note");
}

void print_row(const std::string& label, double mbps, const std::string& note) {
  std::printf("%-44s %12.1f  %s\n", label.c_str(), mbps, note.c_str());
  std::fflush(stdout);
}

}  // namespace zelk::bench

int main(int argc, char** argv) {
  // Optional filter: run only sections whose name contains argv[1].
  std::string_view filter = argc > 1 ? argv[1] : "";
  for (const auto& [order, section] : zelk::bench::registry()) {
    if (!filter.empty() && std::string_view(section.first).find(filter) == std::string_view::npos) continue;
    zelk::bench::print_header(section.first);
    section.second();
  }
}
