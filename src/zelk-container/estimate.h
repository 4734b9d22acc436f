// Projected archive size of a FASTQ input from a bounded leading sample:
// the sample, platform detection and the stream size models.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-base/fastq.h"

namespace zelk {
class Source;
}

namespace zelk::container {

enum class Platform : uint8_t { Unknown = 0, Illumina = 1, Nanopore = 2, PacBio = 3, MgiBgi = 4 };

// "unknown", "illumina", ... and the display names "Illumina", ...
const char* platform_key(Platform platform);
const char* platform_display(Platform platform);

inline constexpr uint64_t kMaxSampleRecords = 300000;
inline constexpr uint64_t kMaxSampleBases = uint64_t{1} << 28;
inline constexpr uint64_t kContainerOverhead = 52;

struct FastqSample {
  Bytes names;  // name entries back to back: name, and " " + description when present
  std::vector<uint32_t> name_ends;
  std::vector<uint32_t> read_lengths;
  Bytes bases;
  Bytes qualities;
  uint64_t raw_bytes = 0;
  uint64_t records = 0;
  bool exhausted = false;
};

// Appends one record to a sample (its name entry, lengths, bases and
// qualities, and its raw FASTQ size). Sequence and quality lengths must
// agree.
Result<void> add_to_sample(FastqSample& sample, const FastqRecord& record);

// Reads up to `record_cap` records (and about 2^28 bases) from a plain or
// gzip FASTQ source.
Result<FastqSample> read_fastq_sample(Source& source, uint64_t record_cap);

Platform detect_platform(const FastqSample& sample);

struct SampleSizes {
  uint64_t names_bytes = 0;
  uint64_t sequence_bytes = 0;
  uint64_t quality_bytes = 0;
};

// `order` is the sequence model's context order k; `binning_tag` the
// quality binning applied before counting.
SampleSizes estimate_sizes(const FastqSample& sample, unsigned order, Platform platform, uint8_t binning_tag);

struct EstimateTotals {
  uint64_t sample_reads = 0;
  uint64_t sample_bases = 0;
  uint64_t raw_bytes = 0;
  uint64_t names_bytes = 0;
  uint64_t sequence_bytes = 0;
  uint64_t quality_bytes = 0;
  uint64_t archive_bytes = 0;
  bool exhausted = true;
  Platform platform = Platform::Unknown;
};

// Samples one source and adds it to `totals`, modelling the compressor at
// `level`; fails when its platform contradicts the group's.
Result<void> estimate_source(Source& source, uint64_t record_cap, unsigned level, uint8_t binning_tag,
                             EstimateTotals& totals);

}  // namespace zelk::container
