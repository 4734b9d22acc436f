// The archive's shared reference: contigs that sequence codecs copy from,
// decoded once per archive into one buffer with an offset table.
//
// Two payload forms carry it. The reordered layout's reference section
// starts with a method tag: 0 one sequence stream of every contig, 1 the
// contigs in blocks of their own streams (decoded in parallel), 4 refpack
// (two-bit packed bases with exceptions, both LZ coded). The plain layout's
// frame is "LRR", a version byte, and rANS-coded lengths and bases.
#pragma once

#include <cstdint>
#include <span>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/reference_set.h"

namespace zelk {
class WorkerPool;
}

namespace zelk::reorder {

enum class ReferenceMethod : uint8_t {
  Single = 0,   // one sequence stream
  Blocked = 1,  // one sequence stream per block of contigs
  Refpack = 4,  // two-bit packed bases, exceptions, LZ-coded
};

// The plain frame's leading bytes: magic and version.
inline constexpr uint8_t kPlainReferenceHeader[4] = {'L', 'R', 'R', 1};

// The reordered layout's reference section payload. Method 1 decodes its
// blocks on `pool`.
Result<dna::ReferenceSet> decode_reorder_reference(ByteSpan payload, WorkerPool& pool);

// The plain layout's reference frame payload (inside its framed slice).
Result<dna::ReferenceSet> decode_plain_reference(ByteSpan payload);

// Payloads the decoders above read back as `contigs`. Fails only for a
// contig longer than 2^32 - 1 bytes.
Result<Bytes> encode_reorder_reference(std::span<const ByteSpan> contigs, ReferenceMethod method);
Result<Bytes> encode_plain_reference(std::span<const ByteSpan> contigs);

}  // namespace zelk::reorder
