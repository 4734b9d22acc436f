// Writing archives in the globally reordered layout: reads reordered so
// overlapping ones sit together (flipped onto one strand), sequences coded
// in clusters, names and qualities in blocks beside them, and the
// permutation back to the original order when it is kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/fastq.h"
#include "zelk-container/archive_writer.h"

namespace zelk {
class WorkerPool;
}

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
  // out. Version 4 blocks code their reads against the automatic contigs;
  // against a given list they can only store every read as novel bases.
  bool auto_reference = false;
  uint8_t reference_method = 0;  // 0, 1 or 4
};

// A whole reordered archive of `records`. `options` supplies the block
// size, the quality binning tag, platform and member count; the quality
// stream is always coded without the bases (mode 0), the only form this
// layout decodes. A record or option the layout cannot store is an
// InvalidArgument error.
Result<Bytes> write_reordered_archive(const std::vector<FastqRecord>& records, const ArchiveOptions& options,
                                      const ReorderedOptions& reordered, WorkerPool& pool);

}  // namespace zelk::container
