// The decode sink every archive fuzz target uses: output is dropped, only
// the decoders' behaviour on the input matters.
#pragma once

#include "zelk-container/decode.h"

class DiscardSink final : public zelk::container::RecordSink {
 public:
  zelk::Result<void> write_text(zelk::ByteSpan) override { return {}; }
  zelk::Result<void> write_record(zelk::container::Record) override { return {}; }
};
