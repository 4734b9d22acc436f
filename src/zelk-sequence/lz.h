// The reference LZ codec (sequence method 3): a block's bases as one
// Lempel-Ziv coded byte string, with the read lengths beside it. The shared
// reference sections code their own byte strings with the same coder.
#pragma once

#include <cstdint>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-dna/sequence_block.h"

namespace zelk::seq {

// Decodes exactly `length` bytes from `coded` (there is no end marker: the
// caller knows the length). Bytes past the end of `coded` read as zero.
Result<Bytes> reflzma_decode(ByteSpan coded, uint64_t length);

// Codes `data` so that reflzma_decode(result, data.size()) gives it back.
Bytes reflzma_encode(ByteSpan data);

// The method-3 payload (the stream after its method byte).
Result<dna::SequenceBlock> decode_reflzma_block(ByteSpan payload);
Result<void> append_reflzma_block(Bytes& out, const dna::SequenceBlock& block);

// A whole method-3 stream for `block`.
Result<Bytes> encode_reference_lz_stream(const dna::SequenceBlock& block);

}  // namespace zelk::seq
