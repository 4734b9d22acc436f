// Chunked quality streams (modes 5 and 6): a warm-up segment decoded
// alone, then later segments decoded concurrently from the warmed model;
// and the quality-binning tags.
#include <atomic>
#include <mutex>
#include <optional>

#include "zelk-quality/coder.h"
#include "zelk-base/text.h"

namespace zelk::quality {

namespace {

constexpr uint32_t kMinSegments = 2;
constexpr uint32_t kMaxSegments = 4096;

Result<uint64_t> varint(ByteCursor& cursor) {
  return read_varint(cursor, [] { return malformed("varint too long"); });
}

// One later segment's share of the work; all ranges are disjoint.
struct SegmentJob {
  ByteSpan coded;
  ReadBatch reads;
  std::span<uint8_t> out;
};

// The first failure of concurrent jobs; later jobs see it and skip.
class FirstFailure {
 public:
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }
  void record(ArchiveError error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    stopped_.store(true, std::memory_order_release);
  }
  Result<void> result() && {
    if (error_) return fail(std::move(*error_));
    return {};
  }

 private:
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::optional<ArchiveError> error_;
};

Result<void> decode_segment(const QualityMixModel& warmed, uint8_t variant, const SegmentJob& job,
                            const QuantizerTables& quantizer) {
  DecodeSide side = ZELK_TRY(start_decode(job.coded, job.reads, job.out));
  if (variant == 2) return warmed.code_reads_frozen(side, job.reads, quantizer);
  QualityMixModel model = ZELK_TRY(warmed.clone(job.out.size()));
  return model.code_reads(side, job.reads, quantizer);
}

}  // namespace

Result<ChunkTable> read_chunk_table(ByteCursor& cursor) {
  ChunkTable table;
  auto variant = cursor.take_u8();
  if (!variant) return fail(malformed("truncated header"));
  if (*variant != 1 && *variant != 2)
    return fail(ArchiveError::codec(
        ErrorKind::QualityCodec,
        strprintf("unsupported quality chunk variant %u; this archive needs a newer zelk", *variant)));
  table.variant = *variant;
  uint64_t count = ZELK_TRY(varint(cursor));
  if (count < kMinSegments || count > kMaxSegments) return fail(malformed("chunk segment count out of range"));
  table.segment_count = static_cast<uint32_t>(count);
  table.warmup_bytes = ZELK_TRY(varint(cursor));
  table.segment_lengths.reserve(count);
  for (uint64_t i = 0; i < count; ++i) table.segment_lengths.push_back(ZELK_TRY(varint(cursor)));
  return table;
}

Result<SegmentPlan> plan_segments(std::span<const uint32_t> lengths, uint64_t total, uint64_t warmup_bytes,
                                  uint32_t segment_count) {
  if (warmup_bytes > total) return fail(malformed("chunk warmup boundary past the block"));
  SegmentPlan plan;
  // The fewest leading reads, at least one, that reach the boundary.
  uint64_t covered = 0;
  while (plan.warmup_reads < lengths.size() && (plan.warmup_reads == 0 || covered < warmup_bytes))
    covered += lengths[plan.warmup_reads++];
  if (covered != warmup_bytes) return fail(malformed("chunk warmup boundary not on a read boundary"));

  // Later reads are cut where their running byte total first reaches each
  // even share of the remaining bytes.
  const size_t later_reads = lengths.size() - plan.warmup_reads;
  const uint64_t later_bytes = total - warmup_bytes;
  const uint32_t runs = segment_count - 1;
  plan.split.assign(runs + 1, 0);
  size_t read = 0;
  uint64_t running = 0;
  for (uint32_t f = 1; f < runs; ++f) {
    uint64_t target = later_bytes * f / runs;
    while (running < target && read < later_reads) running += lengths[plan.warmup_reads + read++];
    plan.split[f] = read;
  }
  plan.split[runs] = later_reads;
  return plan;
}

Result<void> decode_chunked(const QualityHeader& header, ByteSpan payload, const ReadBatch& reads,
                            std::span<uint8_t> out, WorkerPool& pool) {
  if (!header.chunks) return fail(malformed("missing chunk table"));
  const ChunkTable& chunks = *header.chunks;
  uint64_t coded_total = 0;
  for (uint64_t length : chunks.segment_lengths)
    if (__builtin_add_overflow(coded_total, length, &coded_total))
      return fail(malformed("chunk segment lengths overflow"));
  if (coded_total != payload.size()) return fail(malformed("chunk segment lengths do not match the payload"));
  SegmentPlan plan =
      ZELK_TRY(plan_segments(header.read_lengths, header.total, chunks.warmup_bytes, chunks.segment_count));

  // Every range below lies inside the payload, the bases and the output:
  // the segment lengths sum to the payload and the reads to the total.
  auto batch_of = [&](size_t first_read, size_t end_read, uint64_t first_byte, uint64_t end_byte) {
    return ReadBatch{reads.lengths.subspan(first_read, end_read - first_read),
                     reads.bases.subspan(first_byte, end_byte - first_byte), reads.symbols, reads.bases_fill};
  };
  QualityMixModel warmed =
      ZELK_TRY(QualityMixModel::create(header.symbols.size(), warmed_model_symbols(chunks.variant, header.total,
                                                                                   chunks.warmup_bytes)));
  {
    ReadBatch warmup = batch_of(0, plan.warmup_reads, 0, chunks.warmup_bytes);
    DecodeSide side = ZELK_TRY(
        start_decode(payload.first(chunks.segment_lengths[0]), warmup, out.first(chunks.warmup_bytes)));
    ZELK_TRY(warmed.code_reads(side, warmup, header.quantizer));
  }

  std::vector<SegmentJob> jobs;
  uint64_t coded_at = chunks.segment_lengths[0];
  uint64_t byte_at = chunks.warmup_bytes;
  for (size_t j = 1; j < plan.split.size(); ++j) {
    size_t first = plan.warmup_reads + plan.split[j - 1], end = plan.warmup_reads + plan.split[j];
    uint64_t bytes = 0;
    for (size_t r = first; r < end; ++r) bytes += reads.lengths[r];
    ByteSpan coded = payload.subspan(coded_at, chunks.segment_lengths[j]);
    coded_at += chunks.segment_lengths[j];
    // A segment without reads has nothing to decode; its bytes are not read.
    if (first != end)
      jobs.push_back({coded, batch_of(first, end, byte_at, byte_at + bytes), out.subspan(byte_at, bytes)});
    byte_at += bytes;
  }

  FirstFailure failure;
  pool.parallel_for(jobs.size(), [&](size_t i) {
    if (failure.stopped()) return;
    auto result = decode_segment(warmed, chunks.variant, jobs[i], header.quantizer);
    if (!result) failure.record(std::move(result).error());
  });
  return std::move(failure).result();
}

namespace {

constexpr std::string_view kBinningNames[kBinningTagCount] = {"lossless", "bin8", "bin4", "bin2", "ont", "hifi"};

// Each binning as ascending Phred bounds: a value at or above `from` maps to
// `to` until the next bound.
struct BinStep {
  uint8_t from, to;
};
constexpr BinStep kBin8[] = {{0, 0}, {1, 1}, {2, 6}, {10, 15}, {20, 22}, {25, 27}, {30, 33}, {35, 37}, {40, 40}};
constexpr BinStep kBin4[] = {{0, 2}, {3, 12}, {18, 24}, {30, 40}};
constexpr BinStep kBin2[] = {{0, 15}, {25, 37}};
constexpr BinStep kOnt[] = {{0, 3}, {7, 10}, {14, 18}, {26, 35}};
constexpr BinStep kHifi[] = {{0, 3}, {7, 10}, {14, 18}, {26, 35}, {93, 93}};
constexpr std::span<const BinStep> kBinSteps[kBinningTagCount] = {{}, kBin8, kBin4, kBin2, kOnt, kHifi};

}  // namespace

std::string_view binning_name(uint8_t tag) { return tag < kBinningTagCount ? kBinningNames[tag] : ""; }

std::optional<uint8_t> binning_tag(std::string_view name) {
  if (name == "none") return 0;
  for (uint8_t tag = 0; tag < kBinningTagCount; ++tag)
    if (kBinningNames[tag] == name) return tag;
  return std::nullopt;
}

uint8_t bin_quality(uint8_t tag, uint8_t quality) {
  if (tag == 0 || tag >= kBinningTagCount) return quality;
  unsigned phred = quality < 33 ? 0 : quality - 33;
  uint8_t binned = 0;
  for (BinStep step : kBinSteps[tag])
    if (phred >= step.from) binned = step.to;
  return static_cast<uint8_t>(binned + 33);
}

}  // namespace zelk::quality
