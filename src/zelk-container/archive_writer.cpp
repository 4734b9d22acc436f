#include "zelk-container/archive_writer.h"

#include <algorithm>

#include "zelk-container/block_frame.h"
#include "zelk-container/digest.h"
#include "zelk-container/estimate.h"
#include "zelk-container/header.h"
#include "zelk-container/writer.h"
#include "zelk-base/crc32c.h"
#include "zelk-base/text.h"
#include "zelk-sequence/sequence.h"
#include "zelk-quality/quality.h"
#include "zelk-names/names.h"
#include "zelk-reorder/reference.h"

namespace zelk::container {

namespace {

// Reads of this length or more are treated as long reads.
constexpr uint64_t kLongRead = 1000;
// Bases (and as many quality bytes) a default block aims for: enough work
// per block for one core, small enough for many blocks per archive.
constexpr uint64_t kBlockBases = 8 << 20;

std::unexpected<ArchiveError> refuse(std::string message) {
  return fail(ArchiveError::invalid_argument(std::move(message)));
}

quality::QualityEncodeOptions quality_options(const ArchiveOptions& options, uint64_t read_length) {
  quality::QualityEncodeOptions out;
  out.mode = options.quality_mode.value_or(default_quality_mode(read_length));
  out.binning = options.quality_binning;
  out.symbols = options.symbols;
  out.quantizer = options.quantizer;
  out.chunk_variant = options.chunk_variant;
  out.segments = options.segments;
  out.warmup_reads = options.warmup;
  return out;
}

}  // namespace

uint64_t default_block_reads(uint64_t read_length) {
  return std::clamp<uint64_t>(kBlockBases / std::max<uint64_t>(read_length, 1), 16, 262144);
}

// Measured on real sets: the frequency model is the smallest and fastest
// for short reads (position context) and, with the bases as context, within
// a few percent of the mixing model on long reads at several times its
// decode speed.
uint8_t default_quality_mode(uint64_t read_length) { return read_length >= kLongRead ? 1 : 0; }

ArchiveWriter::ArchiveWriter(ArchiveOptions options, Output output)
    : options_(std::move(options)), output_(std::move(output)) {}

Result<void> ArchiveWriter::write(ByteSpan data) {
  crc_ = crc32c_extend(crc_, data);
  offset_ += data.size();
  return output_(data);
}

Result<void> ArchiveWriter::start() {
  started_ = true;
  HeaderFields header;
  header.flags = options_.flags;
  header.platform = options_.platform.value_or(static_cast<uint8_t>(detected_platform()));
  header.member_count = options_.members;
  header.quality_binning = options_.quality_binning;
  if (!options_.labels.empty()) {
    if (options_.labels.size() != std::max<uint8_t>(options_.members, 1))
      return refuse("labels must name every member");
    for (const auto& label : options_.labels)
      if (label.empty() || label.size() > 15) return refuse("each label must be 1 to 15 bytes");
    append_extension_record(header.extensions, kExtensionMemberLabels, member_labels_payload(options_.labels));
  }
  if (options_.reference) header.flags |= kFlagGlobalReference;
  ZELK_TRY(write(encode_header(header)));
  return options_.reference ? write_reference(*options_.reference) : Result<void>{};
}

Result<void> ArchiveWriter::write_reference(const std::vector<std::string>& contigs) {
  std::vector<ByteSpan> spans;
  spans.reserve(contigs.size());
  for (const auto& contig : contigs) spans.push_back(as_bytes(contig));
  Bytes frame = ZELK_TRY(reorder::encode_plain_reference(spans));
  if (frame.size() > kMaxSlicePayload) return refuse("reference larger than 2 GiB");
  return write(encode_framed_slice(frame));
}

Platform ArchiveWriter::detected_platform() const {
  FastqSample sample;
  for (const FastqRecord& record : pending_) {
    if (sample.records == 16 || !add_to_sample(sample, record)) break;
  }
  return sample.records ? detect_platform(sample) : Platform::Unknown;
}

Result<void> ArchiveWriter::add(FastqRecord record) {
  if (record.sequence.size() != record.quality.size())
    return refuse(ArchiveError::invalid_fastq(record.sequence.size(), record.quality.size()).message());
  if (record.sequence.size() > UINT32_MAX) return refuse("read longer than 2^32 - 1 bases");
  if (options_.block_reads == 0) options_.block_reads = default_block_reads(record.sequence.size());
  pending_.push_back(std::move(record));
  if (pending_.size() >= std::min<uint64_t>(options_.block_reads, UINT32_MAX)) return flush_block();
  return {};
}

Result<void> ArchiveWriter::flush_block() {
  if (pending_.empty()) return {};
  // The header waits for the first block: the platform comes from its names.
  if (!started_) ZELK_TRY(start());
  std::vector<std::string> names;
  seq::SequenceBlock sequence;
  Bytes qualities;
  for (FastqRecord& record : pending_) {
    names.push_back(std::move(record.header));
    sequence.read_lengths.push_back(static_cast<uint32_t>(record.sequence.size()));
    append_bytes(sequence.bases, as_bytes(record.sequence));
    append_bytes(qualities, as_bytes(record.quality));
  }
  uint64_t mean_length = sequence.bases.size() / pending_.size();
  pending_.clear();

  Bytes coded_names = names::encode_names(names);
  // Any sequence encoder failure means options it cannot honour.
  auto coded_sequence = seq::encode_sequence_stream(sequence, options_.sequence);
  if (!coded_sequence) return refuse(coded_sequence.error().message());
  Bytes coded_qualities = ZELK_TRY(quality::encode_quality_stream(sequence.read_lengths, qualities, sequence.bases,
                                                                   quality_options(options_, mean_length)));

  BlockPayloadParts parts{names_digest(names),
                          per_read_digest(sequence.read_lengths, sequence.bases),
                          per_read_digest(sequence.read_lengths, qualities),
                          static_cast<uint32_t>(names.size()),
                          coded_names,
                          *coded_sequence,
                          coded_qualities};
  Bytes payload = encode_block_payload(parts);
  if (payload.size() > kMaxBlockPayload) return refuse("block larger than 2 GiB; lower block_reads");
  GroupEntry entry;
  group_entry_for_payload(payload, offset_, entry);
  groups_.push_back(entry);
  total_reads_ += entry.read_count;
  return write(encode_block_frame(payload));
}

Result<void> ArchiveWriter::finish() {
  if (!started_) ZELK_TRY(start());
  ZELK_TRY(flush_block());
  ZELK_TRY(write(encode_end_of_blocks()));
  Index index{std::move(groups_), total_reads_, 0};
  return write(encode_footer_and_trailer(std::move(index), crc_, offset_));
}

}  // namespace zelk::container
