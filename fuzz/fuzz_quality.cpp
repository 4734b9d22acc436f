// Quality stream decode on arbitrary bytes, handed bases whenever the
// stream declares a total it can be given.
#include <cstddef>
#include <cstdint>

#include "zelk-base/limits.h"
#include "zelk-quality/quality.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelk::ByteSpan stream(data, size);
  auto header = zelk::quality::parse_quality_header(stream);
  // The models' tables grow with the alphabet (the mixing model's to
  // 336 MiB, copied for each chunk of a chunked stream); larger alphabets
  // run the same loops, so keep runs fast and within the fuzzer's memory
  // limit.
  constexpr size_t kMaxFuzzFreqAlphabet = 16, kMaxFuzzMixAlphabet = 8;
  if (header && header->symbols.size() > (header->mode >= 3 ? kMaxFuzzMixAlphabet : kMaxFuzzFreqAlphabet))
    return 0;
  zelk::Bytes bases;
  // A total over the decode ceiling is refused before the bases are used.
  if (header && header->total <= zelk::decode_limit()) {
    static constexpr char kBases[] = "ACGTNacgtA";
    for (uint64_t i = 0; i < header->total; ++i) bases.push_back(kBases[(i * 7 + size) % 10]);
  }
  static zelk::WorkerPool pool(1);
  (void)zelk::quality::decode_quality_stream(stream, bases, &pool);
  return 0;
}
