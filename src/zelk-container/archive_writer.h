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
#include "zelk-quality/quality.h"
#include "zelk-sequence/sequence.h"
#include "zelk-base/fastq.h"
#include "zelk-base/pool.h"

namespace zelk::container {

struct ArchiveOptions {
  uint64_t block_reads = 0;  // 0: chosen from the first read's length
  // 1 to 9, fast to small: how hard the encoders look for the smallest
  // streams, and what decode speed they may give up for it.
  uint8_t level = 5;
  seq::SequenceEncodeOptions sequence;  // unset parameters: the default for the block; its level is `level`
  std::optional<uint8_t> quality_mode;  // None: chosen per block by `level`
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
  uint64_t threads = 1;  // blocks encoded at once; 0: one per processor
};

// An archive written record by record: finished archive bytes go to a
// caller-supplied output function. A record or option the format cannot
// store is an InvalidArgument error; the output's own errors pass through.
class RecordWriter {
 public:
  using Output = std::function<Result<void>(ByteSpan)>;
  virtual ~RecordWriter() = default;
  virtual Result<void> add(FastqRecord record) = 0;
  // Writes whatever the archive still lacks; nothing may be added after.
  virtual Result<void> finish() = 0;
};

// The plain layout: reads accumulate into blocks. With several threads, as
// many full blocks as there are workers are encoded together, then written
// in order.
class ArchiveWriter final : public RecordWriter {
 public:
  ArchiveWriter(ArchiveOptions options, Output output);

  Result<void> add(FastqRecord record) override;
  // Flushes the last block, then writes the end marker, footer and trailer.
  Result<void> finish() override;

 private:
  using Block = std::vector<FastqRecord>;

  Result<void> start(const Block& first);
  Result<void> flush_blocks();
  Result<void> write_block(ByteSpan payload);
  Result<void> write(ByteSpan data);

  ArchiveOptions options_;
  Output output_;
  WorkerPool pool_;
  bool started_ = false;
  uint64_t offset_ = 0;
  uint32_t crc_ = 0;  // of everything written so far: the whole-file CRC grows with it
  Block pending_;
  std::vector<Block> full_;  // complete blocks waiting to be encoded together
  std::vector<GroupEntry> groups_;
  uint64_t total_reads_ = 0;
};

// The pieces of the writer for archives assembled elsewhere (blocks
// encoded on other machines): a block's payload from its records, what
// comes before the first block (the header, derived from the first block's
// records, and the shared reference frame if any), and the reads per block
// it chooses from the first read's length. With the same options they
// match ArchiveWriter's output byte for byte.
Result<Bytes> encode_block(std::vector<FastqRecord>& records, const ArchiveOptions& options);
Result<Bytes> archive_header(const std::vector<FastqRecord>& first_block, const ArchiveOptions& options);
uint64_t block_reads_for(const ArchiveOptions& options, uint64_t first_read_length);

struct HeaderFields;
// The member count and labels (an extension record) of `options` in
// `header`, both layouts alike; labels that do not fit are refused.
Result<void> describe_members(const ArchiveOptions& options, HeaderFields& header);

// The quality coder's options from `options` (symbol table, binning tag,
// quantizer, chunking, warm-up), all but the context mode, which may need a
// trial on the data. Both layouts code their quality streams with these.
quality::QualityEncodeOptions quality_options(const ArchiveOptions& options);

// Reads per block for reads of about `read_length` bases.
uint64_t default_block_reads(uint64_t read_length);

}  // namespace zelk::container
