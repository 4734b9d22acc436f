// Writing plain-layout archives from reads: blocks coded with the chosen
// codecs, then the footer index and trailer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-container/estimate.h"
#include "zelk-container/footer.h"
#include "zelk-sequence/sequence.h"
#include "zelk-base/fastq.h"

namespace zelk::container {

struct ArchiveOptions {
  uint64_t block_reads = 0;  // 0: chosen from the first read's length
  seq::SequenceEncodeOptions sequence;  // unset parameters: the default for the block
  std::optional<uint8_t> quality_mode;  // None: chosen from the first read's length
  uint8_t quality_binning = 0;
  std::optional<Bytes> symbols;
  std::optional<Bytes> quantizer;
  uint8_t chunk_variant = 1;
  uint32_t segments = 4;
  std::optional<uint64_t> warmup;
  std::optional<uint8_t> platform;  // None: detected from the first reads
  uint8_t members = 1;
  std::vector<std::string> labels;
  uint8_t flags = 0;
  // Contigs stored as the shared reference frame after the header.
  std::optional<std::vector<std::string>> reference;
};

// Accumulates reads into blocks and appends finished archive bytes to a
// caller-supplied output function. A record or option the format cannot
// store is an InvalidArgument error; the output's own errors pass through.
class ArchiveWriter {
 public:
  using Output = std::function<Result<void>(ByteSpan)>;
  ArchiveWriter(ArchiveOptions options, Output output);

  Result<void> add(FastqRecord record);
  // Flushes the last block, then writes the end marker, footer and trailer.
  Result<void> finish();

 private:
  Result<void> start();
  Result<void> write_reference(const std::vector<std::string>& contigs);
  Platform detected_platform() const;
  Result<void> flush_block();
  Result<void> write(ByteSpan data);

  ArchiveOptions options_;
  Output output_;
  bool started_ = false;
  uint64_t offset_ = 0;
  uint32_t crc_ = 0;  // of everything written so far: the whole-file CRC grows with it
  std::vector<FastqRecord> pending_;
  std::vector<GroupEntry> groups_;
  uint64_t total_reads_ = 0;
};

// Defaults for reads of about `read_length` bases: reads per block, and the
// quality mode (long reads code qualities against their bases).
uint64_t default_block_reads(uint64_t read_length);
uint8_t default_quality_mode(uint64_t read_length);

}  // namespace zelk::container
