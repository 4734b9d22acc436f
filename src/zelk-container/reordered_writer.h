// Writing archives in the globally reordered layout: reads reordered so
// overlapping ones sit together (flipped onto one strand), sequences coded
// in clusters, names and qualities in blocks beside them, and the
// permutation back to the original order when it is kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/fastq.h"
#include "zelk-base/pool.h"
#include "zelk-container/archive_writer.h"

namespace zelk::container {

struct ReorderedOptions {
  uint8_t version = 3;     // sequence block version: 2, 3 or 4 (4 needs a reference)
  bool keep_order = true;  // store the permutation back to the input order
  bool reorder = true;     // false: keep the input order (the blocks still code clusters)
  // Replace the names by a template when every name renders from one
  // (only without keep_order: the names then follow the stored order).
  bool name_template = true;
  // A shared reference section: the contigs of ArchiveOptions::reference,
  // or (auto_reference) the consensus of every contig the reorderer lays
  // out. Version 4 blocks code each read against the contig position it
  // was placed at.
  bool auto_reference = false;
  uint8_t reference_method = 0;  // 0, 1 or 4
};

// Every read of a reordered archive, held as three concatenations (names,
// bases, qualities) and two offset lists: the layout places all reads at
// once, so they are kept with as little overhead per read as possible.
class ReadStore {
 public:
  // Refuses what the layout cannot store (InvalidArgument): a quality
  // whose length differs from the sequence's, a read longer than a block
  // allows, the 2^32 - 1st read.
  Result<void> add(const FastqRecord& record);

  size_t size() const { return read_end_.size(); }
  std::string_view name(size_t i) const {
    return std::string_view(names_).substr(name_start(i), name_end_[i] - name_start(i));
  }
  ByteSpan sequence(size_t i) const { return ByteSpan(bases_).subspan(read_start(i), length(i)); }
  ByteSpan quality(size_t i) const { return ByteSpan(qualities_).subspan(read_start(i), length(i)); }
  // The qualities of reads [begin, end), which lie together.
  ByteSpan qualities(size_t begin, size_t end) const {
    return begin == end ? ByteSpan() : ByteSpan(qualities_).subspan(read_start(begin), read_end_[end - 1] - read_start(begin));
  }
  uint64_t length(size_t i) const { return read_end_[i] - read_start(i); }
  // Whether any record's '+' line carried text (dropped).
  bool plus_text() const { return plus_text_; }

 private:
  uint64_t name_start(size_t i) const { return i ? name_end_[i - 1] : 0; }
  uint64_t read_start(size_t i) const { return i ? read_end_[i - 1] : 0; }

  std::string names_;
  Bytes bases_;
  Bytes qualities_;
  std::vector<uint64_t> name_end_;
  std::vector<uint64_t> read_end_;
  bool plus_text_ = false;
};

// A whole reordered archive of `reads`. `options` supplies the block size,
// the quality options, platform and member count; the quality stream is
// always coded without the bases (mode 0), the only form this layout
// decodes. An option the layout cannot store is an InvalidArgument error.
Result<Bytes> write_reordered_archive(const ReadStore& reads, const ArchiveOptions& options,
                                      const ReorderedOptions& reordered, WorkerPool& pool);

// The reordered layout behind the record-by-record interface: every read
// is held until finish(), which writes the whole archive (on
// options.threads workers).
class ReorderedArchiveWriter final : public RecordWriter {
 public:
  ReorderedArchiveWriter(ArchiveOptions options, ReorderedOptions reordered, Output output);

  Result<void> add(FastqRecord record) override { return reads_.add(record); }
  Result<void> finish() override;

 private:
  ArchiveOptions options_;
  ReorderedOptions reordered_;
  Output output_;
  ReadStore reads_;
};

}  // namespace zelk::container
