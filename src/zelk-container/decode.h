// The whole-archive decode driver: blocks decoded in parallel batches on a
// private pool and emitted in file order into a sink.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "zelk-base/bytes.h"
#include "zelk-container/block.h"
#include "zelk-base/error.h"
#include "zelk-base/io.h"

namespace zelk {
class Source;
}

namespace zelk::container {

// One read with owned fields (what the selective decode emits).
struct Record {
  std::string name;
  std::string sequence;
  std::string quality;
};

// The consumer of one decode. The full decode hands it FASTQ text, a block
// at a time; the selective decode hands it records one by one.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual Result<void> write_text(ByteSpan text) = 0;
  virtual Result<void> write_record(Record record) = 0;
};

// Full: every stream, emitted as FASTQ text. Selective: the chosen streams,
// emitted as records with the others empty.
struct DecodeRequest {
  uint64_t threads = 0;
  bool full = true;
  StreamSelection selection;
  // Asked before each batch of blocks; true stops the decode with an
  // Interrupted error after the blocks already emitted. Empty: never.
  std::function<bool()> interrupted;
};

// Decodes the archive front to back; returns the number of reads emitted.
// The first failing block ends the decode after every earlier block was
// emitted.
Result<uint64_t> decode_archive(Source& source, const DecodeRequest& request, RecordSink& sink);

// The reads of a decoded block as owned records (deselected fields empty).
Result<std::vector<Record>> block_records(const DecodedBlock& block);

// FASTQ text of one read ("@name\nseq\n+\nqual\n") and single-line FASTA.
void append_fastq(Bytes& out, const ReadView& read);
void append_fasta(Bytes& out, const ReadView& read);

// Where decoded text goes: a file behind an 8 KiB buffer, or (no file)
// one growing in-memory buffer.
class BufferedOutput {
 public:
  explicit BufferedOutput(OutputFile* file) : file_(file) {}
  Result<void> write(ByteSpan data);
  Result<void> flush();
  Bytes take_memory() { return std::move(buffer_); }

 private:
  static constexpr size_t kBufferSize = 8192;
  OutputFile* file_;
  Bytes buffer_;
};

class TextSink final : public RecordSink {
 public:
  // `fasta`: records arrive selectively (names and bases) and are written
  // as FASTA; otherwise FASTQ text passes through.
  TextSink(BufferedOutput& out, bool fasta) : out_(out), fasta_(fasta) {}
  Result<void> write_text(ByteSpan text) override { return out_.write(text); }
  Result<void> write_record(Record record) override;

 private:
  BufferedOutput& out_;
  bool fasta_;
  Bytes scratch_;
};

}  // namespace zelk::container
