// The reordered layout's section walk after a valid header: the first
// input byte picks the keep-order and reference flags, the rest is the
// body. Runs inspect, the full decode and the selective decodes.
#include <cstddef>
#include <cstdint>

#include "discard_sink.h"
#include "zelk-container/decode.h"
#include "zelk-container/header.h"
#include "zelk-container/inspect.h"
#include "zelk-base/io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  zelk::container::HeaderFields fields;
  fields.flags = zelk::container::kFlagGlobalReorder | (data[0] & 0x36);
  zelk::Bytes input = zelk::container::encode_header(fields);
  input.insert(input.end(), data + 1, data + size);
  zelk::MemorySource inspected(input);
  (void)zelk::container::inspect_archive(inspected);
  DiscardSink sink;
  // With no stream selected, or only names regenerated from a template, N
  // records come from no coded data: N is only bounded by the block count,
  // and a few bytes declare billions of records, streamed at constant
  // memory. The decode asks whether to stop between phases and every 65536
  // records; a budget of a few such checks keeps runs short and exercises
  // the interruption path.
  for (unsigned selection = 0; selection < 8; ++selection) {
    zelk::MemorySource source(input);
    zelk::container::StreamSelection streams{bool(selection & 1), bool(selection & 2), bool(selection & 4)};
    unsigned checks = 0;
    auto stop_after_a_few_checks = [&checks] { return ++checks > 8; };
    (void)zelk::container::decode_archive(source, {1, selection == 7, streams, stop_after_a_few_checks}, sink);
  }
  return 0;
}
