// The method-0 payload: a small header naming the context model, the read
// lengths, the list of bytes the model cannot express, and the range-coded
// bases.
#pragma once

#include "zelk-sequence/sequence.h"

namespace zelk::seq {

// Publishes the bases to `bases_fill` (when given) as they are decoded.
Result<SequenceBlock> decode_method0(ByteSpan payload, BufferFill* bases_fill);
Result<void> append_method0(Bytes& out, const SequenceBlock& block, const seq::ContextParams& params);

}  // namespace zelk::seq
