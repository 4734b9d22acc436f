#include "zelk-container/decode.h"

#include <optional>

#include "zelk-container/block_reader.h"
#include "zelk-container/header.h"
#include "zelk-container/reordered_layout.h"
#include "zelk-base/io.h"
#include "zelk-base/pool.h"

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
// is set. A decode that needs no bases skips it unchecked; decoding its
// contigs is not supported by this build.
Result<void> pass_global_reference(BufferedReader& reader, const ArchiveHeader& header,
                                   const DecodeRequest& request) {
  if (!header.has_flag(kFlagGlobalReference)) return {};
  bool needs_bases = request.full || request.selection.sequence || request.selection.quality;
  if (needs_bases) return fail(ArchiveError::unsupported_flags(kFlagGlobalReference));
  uint8_t length[4];
  ZELK_TRY(reader.read_exact(length));
  return reader.skip(uint64_t{load_le<uint32_t>(length)} + 4);
}

Result<void> emit(BlockOutput& output, bool full, RecordSink& sink) {
  if (full) return sink.write_text(output.text);
  for (Record& record : output.records) ZELK_TRY(sink.write_record(std::move(record)));
  return {};
}

}  // namespace

Result<uint64_t> decode_archive(Source& source, const DecodeRequest& request, RecordSink& sink) {
  WorkerPool pool(WorkerPool::decode_pool_size(request.threads));
  BufferedReader reader(source);
  ArchiveHeader header = ZELK_TRY(read_header(reader));
  if (header.has_flag(kFlagGlobalReorder))
    return decode_reordered(header, reader, pool, request, sink);
  ZELK_TRY(pass_global_reference(reader, header, request));

  uint64_t reads = 0;
  uint64_t block_index = 0;
  std::vector<Bytes> batch;
  for (bool more_blocks = true; more_blocks;) {
    if (request.interrupted && request.interrupted()) return fail(ArchiveError::interrupted());
    batch.clear();
    // An I/O failure ends the decode before its batch is decoded. A frame
    // that is corrupt or cut short fails like a block that does not decode:
    // every complete block before it is still emitted.
    std::optional<ArchiveError> corrupt_frame;
    while (batch.size() < pool.size()) {
      auto payload = read_block_frame(reader, block_index);
      if (!payload && payload.error().kind() == ErrorKind::Io) return fail(std::move(payload).error());
      if (!payload) corrupt_frame = std::move(payload).error();
      if (!payload || !*payload) {
        more_blocks = false;
        break;
      }
      batch.push_back(std::move(**payload));
      ++block_index;
    }
    std::vector<std::optional<Result<BlockOutput>>> outputs(batch.size());
    pool.parallel_for(batch.size(), [&](size_t i) {
      outputs[i] = decode_block_output(batch[i], request, nullptr, pool);
    });
    for (auto& output : outputs) {
      if (!*output) return fail(std::move(*output).error());
      ZELK_TRY(emit(**output, request.full, sink));
      reads += (*output)->reads;
    }
    if (corrupt_frame) return fail(std::move(*corrupt_frame));
  }
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
  append_bytes(buffer_, data);
  if (file_ && buffer_.size() >= kBufferSize) return flush();
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
