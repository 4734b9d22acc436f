// The globally reordered layout: after the header, one run of framed
// sections (read count, flip bitmap, permutation, name template, optional
// shared reference, sequence blocks, name/quality block pairs, output
// digest). Every decoded stream is held in memory before the first record
// is emitted, in output order.
#pragma once

#include <cstdint>
#include <string>

#include "zelk-base/error.h"
#include "zelk-container/block.h"

namespace zelk {
class BufferedReader;
class WorkerPool;
}

namespace zelk::container {

struct ArchiveHeader;
struct DecodeRequest;
class RecordSink;

// Section labels: the subjects of their CRC errors.
inline constexpr const char* kFlipLabel = "reorder flip bitmap";
inline constexpr const char* kPermutationLabel = "reorder permutation";
inline constexpr const char* kTemplateLabel = "reorder name template";
inline constexpr const char* kReferenceLabel = "reorder global reference";
inline constexpr const char* kDigestLabel = "reorder output digest";
std::string sequence_block_label(uint64_t i);
std::string name_block_label(uint64_t i);
std::string quality_block_label(uint64_t i);

// Decodes the body after `header` (reader positioned right after it).
// Full: every stream, each record's FASTQ text written to the sink, the
// output digest checked at the end. Selective: only the streams in the
// request's selection are read and decoded, records are written one by one
// with the other fields empty, and no digest is computed. The request's
// interruption check runs between the phases and every 65536 records.
// Returns the number of records emitted.
Result<uint64_t> decode_reordered(const ArchiveHeader& header, BufferedReader& reader, WorkerPool& pool,
                                  const DecodeRequest& request, RecordSink& sink);

}  // namespace zelk::container
