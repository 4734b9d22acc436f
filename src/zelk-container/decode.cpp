#include "zelk-container/decode.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "zelk-container/block_reader.h"
#include "zelk-container/header.h"
#include "zelk-container/reordered_layout.h"
#include "zelk-base/io.h"
#include "zelk-base/pool.h"
#include "zelk-reorder/reference.h"

namespace zelk::container {

namespace {

// What one block task hands back to the driver: FASTQ text in the full
// mode, records in the selective mode.
struct BlockOutput {
  uint64_t reads = 0;
  Bytes text;
  std::vector<Record> records;
};

Result<BlockOutput> decode_block_output(ByteSpan payload, const DecodeRequest& request,
                                        const dna::ReferenceSet* reference, WorkerPool& pool) {
  StreamSelection selection = request.full ? StreamSelection{} : request.selection;
  DecodedBlock block = ZELK_TRY(decode_block_payload(payload, selection, reference, pool));
  BlockOutput output{block.read_count, {}, {}};
  if (request.full) {
    size_t bases = block.bases ? block.bases->size() : 0;
    size_t qualities = block.qualities ? block.qualities->size() : 0;
    output.text.reserve(qualities + 2 * bases);
    ZELK_TRY(for_each_read(block, [&](const ReadView& read) -> Result<void> {
      append_fastq(output.text, read);
      return {};
    }));
  } else {
    output.records = ZELK_TRY(block_records(block));
  }
  return output;
}

// A plain-layout global reference frame follows the header when flag bit 5
// is set: decoded once and shared read-only by every block task. A decode
// that needs no bases (nor qualities, which may be coded against them)
// skips it unchecked.
Result<std::optional<dna::ReferenceSet>> read_global_reference(BufferedReader& reader, const ArchiveHeader& header,
                                                               const DecodeRequest& request) {
  if (!header.has_flag(kFlagGlobalReference)) return std::nullopt;
  bool needs_bases = request.full || request.selection.sequence || request.selection.quality;
  if (needs_bases) {
    Bytes frame = ZELK_TRY(read_framed_slice(reader, "plain-layout global reference"));
    return reorder::decode_plain_reference(frame);
  }
  uint8_t length[4];
  ZELK_TRY(reader.read_exact(length));
  ZELK_TRY(reader.skip(uint64_t{load_le<uint32_t>(length)} + 4));
  return std::nullopt;
}

Result<void> emit(BlockOutput& output, bool full, RecordSink& sink) {
  if (full) return sink.write_text(output.text);
  for (Record& record : output.records) ZELK_TRY(sink.write_record(std::move(record)));
  return {};
}

// Blocks in flight: each decodes on the pool while the driver reads the
// next frames and emits finished blocks in file order.
class BlockPipeline {
 public:
  BlockPipeline(WorkerPool& pool, const DecodeRequest& request, const dna::ReferenceSet* reference)
      : pool_(pool), request_(request), reference_(reference) {}
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;

  // Tasks refer to this object: blocks not yet decoded are skipped, the
  // running ones are waited for.
  ~BlockPipeline() {
    abandoned_ = true;
    for (auto& slot : slots_) wait_for(*slot);
  }

  size_t in_flight() const { return slots_.size(); }

  void start(Bytes frame) {
    slots_.push_back(std::make_unique<Slot>(std::move(frame)));
    Slot* slot = slots_.back().get();
    pool_.submit([this, slot] {
      auto output = abandoned_ ? fail(ArchiveError::interrupted())
                               : decode_block_output(slot->frame, request_, reference_, pool_);
      std::lock_guard lock(mutex_);
      slot->output = std::move(output);
      done_.notify_all();
    });
  }

  // The oldest block's output, once decoded.
  Result<BlockOutput> take_front() {
    wait_for(*slots_.front());
    Result<BlockOutput> output = std::move(*slots_.front()->output);
    slots_.pop_front();
    return output;
  }

 private:
  struct Slot {
    explicit Slot(Bytes frame) : frame(std::move(frame)) {}
    Bytes frame;
    std::optional<Result<BlockOutput>> output;  // set under the mutex
  };

  // Sleeps until `slot` is done. The driver never decodes itself, so
  // `threads` workers are all the decoding there is (one block at a time
  // with one).
  void wait_for(Slot& slot) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return slot.output.has_value(); });
  }

  WorkerPool& pool_;
  const DecodeRequest& request_;
  const dna::ReferenceSet* reference_;
  std::deque<std::unique_ptr<Slot>> slots_;
  std::atomic<bool> abandoned_{false};
  std::mutex mutex_;
  std::condition_variable done_;
};

}  // namespace

Result<uint64_t> decode_archive(Source& source, const DecodeRequest& request, RecordSink& sink) {
  WorkerPool pool(WorkerPool::decode_pool_size(request.threads));
  BufferedReader reader(source);
  ArchiveHeader header = ZELK_TRY(read_header(reader));
  if (header.has_flag(kFlagGlobalReorder)) return decode_reordered(header, reader, pool, request, sink);
  const std::optional<dna::ReferenceSet> reference = ZELK_TRY(read_global_reference(reader, header, request));

  // Two blocks per worker keep every worker busy while this thread reads
  // frames and writes finished blocks; memory stays bounded by the window.
  BlockPipeline pipeline(pool, request, reference ? &*reference : nullptr);
  const size_t window = 2 * pool.size();
  uint64_t reads = 0;
  uint64_t block_index = 0;
  // A frame that cannot be read, is corrupt or is cut short ends the decode
  // like a block that does not decode: every block before it is emitted.
  std::optional<ArchiveError> frame_error;
  for (bool more_frames = true;;) {
    while (more_frames && pipeline.in_flight() < window) {
      if (request.interrupted && request.interrupted()) return fail(ArchiveError::interrupted());
      auto payload = read_block_frame(reader, block_index);
      if (!payload) frame_error = std::move(payload).error();
      if (!payload || !*payload) {
        more_frames = false;
        break;
      }
      pipeline.start(std::move(**payload));
      ++block_index;
    }
    if (pipeline.in_flight() == 0) break;
    BlockOutput output = ZELK_TRY(pipeline.take_front());
    ZELK_TRY(emit(output, request.full, sink));
    reads += output.reads;
  }
  if (frame_error) return fail(std::move(*frame_error));
  return reads;
}

Result<std::vector<Record>> block_records(const DecodedBlock& block) {
  std::vector<Record> records;
  records.reserve(block.read_count);
  ZELK_TRY(for_each_read(block, [&](const ReadView& read) -> Result<void> {
    records.push_back({std::string(read.name), std::string(read.sequence.begin(), read.sequence.end()),
                       std::string(read.quality.begin(), read.quality.end())});
    return {};
  }));
  return records;
}

void append_fastq(Bytes& out, const ReadView& read) {
  out.push_back('@');
  append_bytes(out, as_bytes(read.name));
  out.push_back('\n');
  append_bytes(out, read.sequence);
  static constexpr uint8_t kSeparator[] = {'\n', '+', '\n'};
  append_bytes(out, kSeparator);
  append_bytes(out, read.quality);
  out.push_back('\n');
}

void append_fasta(Bytes& out, const ReadView& read) {
  out.push_back('>');
  append_bytes(out, as_bytes(read.name));
  out.push_back('\n');
  append_bytes(out, read.sequence);
  out.push_back('\n');
}

Result<void> BufferedOutput::write(ByteSpan data) {
  // A block's text goes to the file as it is, not through the buffer.
  if (file_ && buffer_.size() + data.size() >= kBufferSize) {
    ZELK_TRY(flush());
    if (data.size() >= kBufferSize) return file_->write(data);
  }
  append_bytes(buffer_, data);
  return {};
}

Result<void> BufferedOutput::flush() {
  if (!file_) return {};
  ZELK_TRY(file_->write(buffer_));
  buffer_.clear();
  return {};
}

Result<void> TextSink::write_record(Record record) {
  scratch_.clear();
  ReadView read{record.name, as_bytes(record.sequence), as_bytes(record.quality)};
  if (fasta_) append_fasta(scratch_, read); else append_fastq(scratch_, read);
  return out_.write(scratch_);
}

}  // namespace zelk::container
