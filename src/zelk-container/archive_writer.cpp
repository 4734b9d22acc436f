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
#include "zelk-names/names.h"
#include "zelk-reorder/reference.h"

namespace zelk::container {

namespace {

// Bases (and as many quality bytes) a default block aims for: enough work
// per block for one core, small enough for many blocks per archive.
constexpr uint64_t kBlockBases = 8 << 20;

std::unexpected<ArchiveError> refuse(std::string message) {
  return fail(ArchiveError::invalid_argument(std::move(message)));
}

}  // namespace

quality::QualityEncodeOptions quality_options(const ArchiveOptions& options) {
  quality::QualityEncodeOptions out;
  out.binning = options.quality_binning;
  out.symbols = options.symbols;
  out.quantizer = options.quantizer;
  out.chunk_variant = options.chunk_variant;
  out.segments = options.segments;
  out.warmup_reads = options.warmup;
  return out;
}

namespace {

quality::ModeChoice quality_mode_choice(uint8_t level) {
  if (level <= seq::kFastLevel) return quality::ModeChoice::ByReadLength;
  if (level < seq::kThoroughLevel) return quality::ModeChoice::FrequencyTrial;
  return level < seq::kBestLevel ? quality::ModeChoice::Balanced : quality::ModeChoice::Smallest;
}

Result<Bytes> encode_qualities(const seq::SequenceBlock& sequence, ByteSpan qualities, const ArchiveOptions& options) {
  quality::QualityEncodeOptions quality = quality_options(options);
  if (options.quality_mode)
    quality.mode = *options.quality_mode;
  else
    quality = ZELK_TRY(quality::choose_quality_model(sequence.read_lengths, qualities, sequence.bases, quality,
                                                     quality_mode_choice(options.level)));
  return quality::encode_quality_stream(sequence.read_lengths, qualities, sequence.bases, quality);
}

Platform detected_platform(const std::vector<FastqRecord>& records) {
  FastqSample sample;
  for (const FastqRecord& record : records) {
    if (sample.records == 16 || !add_to_sample(sample, record)) break;
  }
  return sample.records ? detect_platform(sample) : Platform::Unknown;
}

Result<Bytes> reference_slice(const std::vector<std::string>& contigs) {
  std::vector<ByteSpan> spans;
  spans.reserve(contigs.size());
  for (const auto& contig : contigs) spans.push_back(as_bytes(contig));
  Bytes frame = ZELK_TRY(reorder::encode_plain_reference(spans));
  if (frame.size() > kMaxSlicePayload) return refuse("reference larger than 2 GiB");
  return encode_framed_slice(frame);
}

}  // namespace

// One block's payload: the three coded streams and their digests.
Result<Bytes> encode_block(std::vector<FastqRecord>& records, const ArchiveOptions& options) {
  std::vector<std::string> names;
  seq::SequenceBlock sequence;
  Bytes qualities;
  for (FastqRecord& record : records) {
    names.push_back(std::move(record.header));
    sequence.read_lengths.push_back(static_cast<uint32_t>(record.sequence.size()));
    append_bytes(sequence.bases, as_bytes(record.sequence));
    append_bytes(qualities, as_bytes(record.quality));
  }
  records = {};

  Bytes coded_names = names::encode_names(names);
  // Method 2 places the reads on the contigs of the reference frame.
  seq::SequenceEncodeOptions sequence_options = options.sequence;
  sequence_options.level = options.level;
  dna::ReferenceSet contigs;
  if (options.reference && options.sequence.method == static_cast<uint8_t>(seq::SequenceMethod::SharedOverlap)) {
    for (const auto& contig : *options.reference) contigs.add(as_bytes(contig));
    sequence_options.reference = &contigs;
  }
  // Any sequence encoder failure means options it cannot honour.
  auto coded_sequence = seq::encode_sequence_stream(sequence, sequence_options);
  if (!coded_sequence) return refuse(coded_sequence.error().message());
  Bytes coded_qualities = ZELK_TRY(encode_qualities(sequence, qualities, options));

  BlockPayloadParts parts{names_digest(names),
                          per_read_digest(sequence.read_lengths, sequence.bases),
                          per_read_digest(sequence.read_lengths, qualities),
                          static_cast<uint32_t>(names.size()),
                          coded_names,
                          *coded_sequence,
                          coded_qualities};
  Bytes payload = encode_block_payload(parts);
  if (payload.size() > kMaxBlockPayload) return refuse("block larger than 2 GiB; lower block_reads");
  return payload;
}

Result<void> describe_members(const ArchiveOptions& options, HeaderFields& header) {
  header.member_count = options.members;
  if (options.labels.empty()) return {};
  if (options.labels.size() != std::max<uint8_t>(options.members, 1)) return refuse("labels must name every member");
  for (const auto& label : options.labels)
    if (label.empty() || label.size() > 15) return refuse("each label must be 1 to 15 bytes");
  append_extension_record(header.extensions, kExtensionMemberLabels, member_labels_payload(options.labels));
  return {};
}

Result<Bytes> archive_header(const std::vector<FastqRecord>& first, const ArchiveOptions& options) {
  HeaderFields header;
  header.flags = options.flags;
  // The header is decided from the first block: its names give the
  // platform, and its '+' lines tell whether text there was dropped.
  if (std::ranges::any_of(first, &FastqRecord::plus_text)) header.flags |= kFlagPlusNormalized;
  header.platform = options.platform.value_or(static_cast<uint8_t>(detected_platform(first)));
  ZELK_TRY(describe_members(options, header));
  header.quality_binning = options.quality_binning;
  if (options.reference) header.flags |= kFlagGlobalReference;
  Bytes head = encode_header(header);
  if (options.reference) append_bytes(head, ZELK_TRY(reference_slice(*options.reference)));
  return head;
}

// Whole read slots per block, so that no block splits a set of mates.
uint64_t block_reads_for(const ArchiveOptions& options, uint64_t first_read_length) {
  if (options.block_reads) return options.block_reads;
  uint64_t members = std::max<uint8_t>(options.members, 1);
  return std::max(members, default_block_reads(first_read_length) / members * members);
}

uint64_t default_block_reads(uint64_t read_length) {
  return std::clamp<uint64_t>(kBlockBases / std::max<uint64_t>(read_length, 1), 16, 262144);
}

ArchiveWriter::ArchiveWriter(ArchiveOptions options, Output output)
    : options_(std::move(options)),
      output_(std::move(output)),
      pool_(WorkerPool::decode_pool_size(options_.threads)) {}

Result<void> ArchiveWriter::write(ByteSpan data) {
  crc_ = crc32c_extend(crc_, data);
  offset_ += data.size();
  return output_(data);
}

Result<void> ArchiveWriter::start(const Block& first) {
  started_ = true;
  return write(ZELK_TRY(archive_header(first, options_)));
}

Result<void> ArchiveWriter::add(FastqRecord record) {
  if (record.sequence.size() != record.quality.size())
    return refuse(ArchiveError::invalid_fastq(record.sequence.size(), record.quality.size()).message());
  if (record.sequence.size() > UINT32_MAX) return refuse("read longer than 2^32 - 1 bases");
  if (options_.block_reads == 0) options_.block_reads = block_reads_for(options_, record.sequence.size());
  pending_.push_back(std::move(record));
  if (pending_.size() < std::min<uint64_t>(options_.block_reads, UINT32_MAX)) return {};
  full_.push_back(std::exchange(pending_, {}));
  return full_.size() < pool_.size() ? Result<void>() : flush_blocks();
}

Result<void> ArchiveWriter::flush_blocks() {
  if (full_.empty()) return {};
  if (!started_) ZELK_TRY(start(full_.front()));
  std::vector<Result<Bytes>> payloads(full_.size());
  pool_.parallel_for(full_.size(), [&](size_t i) { payloads[i] = encode_block(full_[i], options_); });
  full_.clear();
  for (Result<Bytes>& payload : payloads) {
    if (!payload) return fail(std::move(payload).error());
    ZELK_TRY(write_block(*payload));
  }
  return {};
}

Result<void> ArchiveWriter::write_block(ByteSpan payload) {
  GroupEntry entry;
  group_entry_for_payload(payload, offset_, entry);
  groups_.push_back(entry);
  total_reads_ += entry.read_count;
  return write(encode_block_frame(payload));
}

Result<void> ArchiveWriter::finish() {
  if (!pending_.empty()) full_.push_back(std::exchange(pending_, {}));
  ZELK_TRY(flush_blocks());
  if (!started_) ZELK_TRY(start({}));
  ZELK_TRY(write(encode_end_of_blocks()));
  Index index{std::move(groups_), total_reads_, 0};
  return write(encode_footer_and_trailer(std::move(index), crc_, offset_));
}

}  // namespace zelk::container
