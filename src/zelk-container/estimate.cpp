#include "zelk-container/estimate.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "zelk-base/pool.h"
#include "zelk-base/text.h"
#include "zelk-dna/dna.h"
#include "zelk-quality/quality.h"
#include "zelk-names/names.h"

namespace zelk::container {

namespace {

constexpr size_t kPlatformVotes = 16;
constexpr uint64_t kLongReadMean = 500;
constexpr size_t kLengthProbeReads = 256;
constexpr double kShortReadFactor = 0.86;
constexpr unsigned kDuplicateKmer = 15;
constexpr uint64_t kKmerMask = 0x3FFFFFFF;
constexpr uint64_t kKmerHash = 0x9E3779B97F4A7C15;
constexpr double kOtherBaseBits = 8;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool all_digits(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_digit); }

bool is_uuid(std::string_view name) {
  if (name.size() != 36) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? name[i] != '-' : !std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

bool looks_nanopore(std::string_view name, std::string_view description) {
  if (is_uuid(name)) return true;
  for (std::string_view key : {"runid=", "read=", "ch=", "start_time="})
    if (description.find(key) != std::string_view::npos) return true;
  return false;
}

bool looks_pacbio(std::string_view name) {
  size_t slash = name.find('/');
  if (name.empty() || name[0] != 'm' || slash == std::string_view::npos) return false;
  if (!std::any_of(name.begin(), name.begin() + slash, is_digit)) return false;
  std::string_view rest = name.substr(slash + 1);
  return all_digits(rest.substr(0, rest.find('/')));
}

bool looks_mgi(std::string_view name) {
  size_t i = 0;
  while (i < name.size() && i < 3 && name[i] >= 'A' && name[i] <= 'Z') ++i;
  if (i == 0 || i >= name.size() || !is_digit(name[i])) return false;
  while (i < name.size() && is_digit(name[i])) ++i;
  if (i + 1 >= name.size() || name[i] != 'L' || !is_digit(name[i + 1])) return false;
  std::string_view tail = name.substr(i);
  return tail.find('C') != std::string_view::npos && tail.find('R') != std::string_view::npos;
}

bool looks_illumina(std::string_view name) {
  std::string_view core = name.substr(0, name.find('#'));
  if (core.empty()) return false;
  std::vector<std::string_view> fields;
  for (size_t start = 0;;) {
    size_t colon = core.find(':', start);
    fields.push_back(core.substr(start, colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return fields.size() >= 5 && all_digits(fields[fields.size() - 1]) && all_digits(fields[fields.size() - 2]);
}

Platform vote(std::string_view entry) {
  size_t space = entry.find(' ');
  std::string_view name = entry.substr(0, space);
  std::string_view description = space == std::string_view::npos ? std::string_view() : entry.substr(space + 1);
  if (looks_nanopore(name, description)) return Platform::Nanopore;
  if (looks_pacbio(name)) return Platform::PacBio;
  if (name == "/1" || name == "/2") return Platform::Unknown;
  if (name.ends_with("/1") || name.ends_with("/2")) name.remove_suffix(2);
  if (looks_mgi(name)) return Platform::MgiBgi;
  if (looks_illumina(name)) return Platform::Illumina;
  return Platform::Unknown;
}

// Without telling names: long reads of high quality are PacBio, of low
// quality Nanopore.
Platform platform_from_qualities(const FastqSample& sample, size_t reads) {
  uint64_t total = 0;
  for (size_t i = 0; i < reads; ++i) total += sample.read_lengths[i];
  if (reads == 0 || static_cast<double>(total) / reads <= kLongReadMean) return Platform::Unknown;
  uint64_t count = std::min<uint64_t>(total, sample.qualities.size());
  if (count == 0) return Platform::Unknown;
  uint64_t phred = 0;
  for (uint64_t i = 0; i < count; ++i) phred += sample.qualities[i] > 33 ? sample.qualities[i] - 33 : 0;
  double mean = static_cast<double>(phred) / count;
  if (mean >= 32) return Platform::PacBio;
  if (mean <= 28) return Platform::Nanopore;
  return Platform::Unknown;
}

// Splits `reads` into one contiguous chunk per shared-pool worker, counts
// each into its own table and sums the tables, so the result does not
// depend on the thread count.
template <class Count>
std::vector<uint32_t> count_in_chunks(size_t reads, size_t table_size, Count&& count) {
  WorkerPool& pool = WorkerPool::shared();
  size_t chunks = std::max<size_t>(1, std::min(pool.size(), reads));
  size_t per_chunk = (reads + chunks - 1) / chunks;
  std::vector<std::vector<uint32_t>> tables(chunks, std::vector<uint32_t>(table_size));
  pool.parallel_for(chunks, [&](size_t c) {
    size_t begin = std::min(reads, c * per_chunk);
    count(begin, std::min(reads, begin + per_chunk), tables[c]);
  });
  for (size_t c = 1; c < chunks; ++c)
    for (size_t i = 0; i < table_size; ++i) tables[0][i] += tables[c][i];
  return std::move(tables[0]);
}

// Start offset of each read's bases (and qualities).
std::vector<uint64_t> read_offsets(const FastqSample& sample) {
  std::vector<uint64_t> offsets(sample.read_lengths.size() + 1);
  for (size_t i = 0; i < sample.read_lengths.size(); ++i) offsets[i + 1] = offsets[i] + sample.read_lengths[i];
  return offsets;
}

// Σ over rows of width `width` of Σ n·(log2 t − log2 n).
double table_entropy(const std::vector<uint32_t>& counts, size_t width) {
  double bits = 0;
  for (size_t row = 0; row < counts.size(); row += width) {
    uint64_t total = 0;
    for (size_t i = row; i < row + width; ++i) total += counts[i];
    if (total == 0) continue;
    double log_total = std::log2(static_cast<double>(total));
    for (size_t i = row; i < row + width; ++i)
      if (counts[i]) bits += counts[i] * (log_total - std::log2(static_cast<double>(counts[i])));
  }
  return bits;
}

double order_k_entropy(const FastqSample& sample, const std::vector<uint64_t>& offsets, unsigned order) {
  const uint64_t contexts = uint64_t{1} << (2 * order);
  uint64_t other = 0;
  std::vector<uint32_t> counts = count_in_chunks(
      sample.read_lengths.size(), contexts * 4, [&](size_t begin, size_t end, std::vector<uint32_t>& table) {
        uint64_t local_other = 0;
        for (size_t r = begin; r < end; ++r) {
          uint64_t context = 0;
          for (uint64_t i = offsets[r]; i < offsets[r + 1]; ++i) {
            uint8_t code = dna::base_code_any_case(sample.bases[i]);
            if (code == 4) {
              ++local_other;
              continue;
            }
            uint64_t slot = context * 4 + code;
            ++table[slot];
            context = slot & (contexts - 1);
          }
        }
        __atomic_add_fetch(&other, local_other, __ATOMIC_RELAXED);
      });
  return table_entropy(counts, 4) + kOtherBaseBits * other;
}

double duplicate_fraction(const FastqSample& sample, const std::vector<uint64_t>& offsets) {
  std::vector<uint64_t> kept;
  for (size_t r = 0; r < sample.read_lengths.size(); ++r) {
    uint64_t code = 0;
    unsigned run = 0;
    for (uint64_t i = offsets[r]; i < offsets[r + 1]; ++i) {
      uint8_t base = dna::base_code_any_case(sample.bases[i]);
      if (base == 4) {
        code = 0;
        run = 0;
        continue;
      }
      code = (code * 4 + base) & kKmerMask;
      if (++run >= kDuplicateKmer) {
        uint64_t hash = code * kKmerHash;
        if ((hash >> 58) == 0) kept.push_back(hash);
      }
    }
  }
  if (kept.empty()) return 0;
  std::sort(kept.begin(), kept.end());
  size_t distinct = std::unique(kept.begin(), kept.end()) - kept.begin();
  return 1.0 - static_cast<double>(distinct) / kept.size();
}

double repeat_cost(Platform platform) {
  switch (platform) {
    case Platform::Nanopore: return 0.28;
    case Platform::PacBio: return 0.07;
    default: return 0.2;
  }
}

double quality_factor(Platform platform) {
  switch (platform) {
    case Platform::Nanopore: return 0.95;
    case Platform::PacBio: return 0.83;
    default: return 0.94;
  }
}

const char* platform_variant(Platform platform) {
  static constexpr const char* kVariants[] = {"Unknown", "Illumina", "Nanopore", "PacBio", "MgiBgi"};
  return kVariants[static_cast<size_t>(platform)];
}

double sequence_bits(const FastqSample& sample, const std::vector<uint64_t>& offsets, unsigned order,
                     Platform platform) {
  size_t probe = std::min<size_t>(sample.read_lengths.size(), kLengthProbeReads);
  uint64_t mean = 0;
  for (size_t i = 0; i < probe; ++i) mean += sample.read_lengths[i];
  if (probe) mean /= probe;
  if (probe == 0 || mean <= kLongReadMean) return order_k_entropy(sample, offsets, order) * kShortReadFactor;
  uint64_t bases = sample.bases.size();
  if (bases == 0) return 0;
  double dup = duplicate_fraction(sample, offsets);
  double per_base = order_k_entropy(sample, offsets, order) / bases;
  double repeat = repeat_cost(platform);
  double blended = repeat * dup + (1 - dup) * per_base;
  if (std::getenv("ZELK_ESTIMATE_DEBUG"))
    std::fprintf(stderr,
                 "[est dbg] long-read seq: platform=%s bases=%llu dup=%.4f H_k=%.4f R=%.2f -> blended=%.4f b/base\n",
                 platform_variant(platform), static_cast<unsigned long long>(bases), dup, per_base, repeat, blended);
  return bases * blended;
}

double quality_bits(const FastqSample& sample, const std::vector<uint64_t>& offsets, uint8_t binning_tag) {
  std::vector<uint32_t> counts = count_in_chunks(
      sample.read_lengths.size(), 256 * 256, [&](size_t begin, size_t end, std::vector<uint32_t>& table) {
        for (size_t r = begin; r < end; ++r) {
          uint8_t previous = 0;
          for (uint64_t i = offsets[r]; i < offsets[r + 1]; ++i) {
            uint8_t value = quality::bin_quality(binning_tag, sample.qualities[i]);
            ++table[previous * 256 + value];
            previous = value;
          }
        }
      });
  return table_entropy(counts, 256);
}

uint64_t bits_to_bytes(double bits) {
  double bytes = std::ceil(0.125 * bits);
  if (!(bytes > 0)) return 0;
  if (bytes >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(bytes);
}

uint64_t names_stream_size(const FastqSample& sample) {
  std::vector<std::string> names;
  names.reserve(sample.name_ends.size());
  uint32_t start = 0;
  for (uint32_t end : sample.name_ends) {
    names.emplace_back(reinterpret_cast<const char*>(sample.names.data()) + start, end - start);
    start = end;
  }
  return names::encode_names(names).size();
}

}  // namespace

const char* platform_key(Platform platform) {
  static constexpr const char* kKeys[] = {"unknown", "illumina", "nanopore", "pacbio", "mgi"};
  return kKeys[static_cast<size_t>(platform)];
}

const char* platform_display(Platform platform) {
  static constexpr const char* kNames[] = {"unknown", "Illumina", "Oxford Nanopore", "PacBio", "MGI/BGI"};
  return kNames[static_cast<size_t>(platform)];
}

Result<void> add_to_sample(FastqSample& sample, const FastqRecord& record) {
  // The size models walk qualities by the sequence lengths.
  if (record.sequence.size() != record.quality.size())
    return fail(ArchiveError::invalid_fastq(record.sequence.size(), record.quality.size()));
  std::string_view name = fastq_name(record.header);
  std::string_view description = fastq_description(record.header);
  append_bytes(sample.names, as_bytes(name));
  if (!description.empty()) {
    sample.names.push_back(' ');
    append_bytes(sample.names, as_bytes(description));
  }
  sample.name_ends.push_back(static_cast<uint32_t>(sample.names.size()));
  sample.read_lengths.push_back(static_cast<uint32_t>(record.sequence.size()));
  append_bytes(sample.bases, as_bytes(record.sequence));
  append_bytes(sample.qualities, as_bytes(record.quality));
  sample.raw_bytes += name.size() + (description.empty() ? 0 : 1 + description.size()) + record.sequence.size() +
                      record.quality.size() + 6;
  ++sample.records;
  return {};
}

Result<FastqSample> read_fastq_sample(Source& source, uint64_t record_cap) {
  FastqSample sample;
  FastqReader reader(source);
  FastqRecord record;
  while (sample.records < record_cap) {
    if (sample.bases.size() >= kMaxSampleBases) return sample;
    if (!ZELK_TRY(reader.next(record))) {
      sample.exhausted = true;
      return sample;
    }
    ZELK_TRY(add_to_sample(sample, record));
  }
  return sample;
}

Platform detect_platform(const FastqSample& sample) {
  size_t reads = std::min<size_t>(sample.records, kPlatformVotes);
  uint64_t votes[5] = {};
  uint32_t start = 0;
  for (size_t i = 0; i < reads; ++i) {
    std::string_view entry(reinterpret_cast<const char*>(sample.names.data()) + start, sample.name_ends[i] - start);
    ++votes[static_cast<size_t>(vote(entry))];
    start = sample.name_ends[i];
  }
  uint64_t illumina = votes[1], nanopore = votes[2], pacbio = votes[3], mgi = votes[4];
  if (mgi > std::max({illumina, nanopore, pacbio})) return Platform::MgiBgi;
  if (pacbio > std::max(illumina, nanopore)) return Platform::PacBio;
  if (nanopore > illumina) return Platform::Nanopore;
  if (illumina > 0) return Platform::Illumina;
  return platform_from_qualities(sample, reads);
}

SampleSizes estimate_sizes(const FastqSample& sample, unsigned order, Platform platform, uint8_t binning_tag) {
  std::vector<uint64_t> offsets = read_offsets(sample);
  SampleSizes sizes;
  double sequence = 0, quality = 0;
  WorkerPool::shared().parallel_for(3, [&](size_t part) {
    if (part == 0) sizes.names_bytes = names_stream_size(sample);
    if (part == 1) sequence = sequence_bits(sample, offsets, order, platform);
    if (part == 2) quality = quality_bits(sample, offsets, binning_tag);
  });
  sizes.sequence_bytes = bits_to_bytes(sequence);
  sizes.quality_bytes = bits_to_bytes(quality * quality_factor(platform));
  return sizes;
}

Result<void> estimate_source(Source& source, uint64_t record_cap, unsigned level, uint8_t binning_tag,
                             EstimateTotals& totals) {
  // The sequence model's context order grows with the level, up to 8.
  unsigned order = std::min(level + 6u, 8u);
  FastqSample sample = ZELK_TRY(read_fastq_sample(source, record_cap));
  Platform platform = Platform::Unknown;
  SampleSizes sizes;
  uint64_t archive_bytes = 0;
  if (sample.records > 0) {
    platform = detect_platform(sample);
    sizes = estimate_sizes(sample, order, platform, binning_tag);
    archive_bytes = sizes.names_bytes + sizes.sequence_bytes + sizes.quality_bytes + kContainerOverhead;
  } else {
    sample.exhausted = true;
  }
  if (platform != Platform::Unknown) {
    if (totals.platform != Platform::Unknown && totals.platform != platform)
      return fail(ArchiveError::codec(
          ErrorKind::Malformed,
          strprintf("grouped sources span multiple platforms (%s and %s); estimate a single archive's mates "
                    "together, not different datasets",
                    platform_display(totals.platform), platform_display(platform))));
    totals.platform = platform;
  }
  totals.sample_reads += sample.records;
  totals.sample_bases += sample.bases.size();
  totals.raw_bytes += sample.raw_bytes;
  totals.names_bytes += sizes.names_bytes;
  totals.sequence_bytes += sizes.sequence_bytes;
  totals.quality_bytes += sizes.quality_bytes;
  totals.archive_bytes += archive_bytes;
  totals.exhausted = totals.exhausted && sample.exhausted;
  return {};
}

}  // namespace zelk::container
