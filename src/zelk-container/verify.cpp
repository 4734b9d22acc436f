#include "zelk-container/verify.h"

#include <optional>

#include "zelk-container/footer.h"
#include "zelk-container/decode.h"
#include "zelk-container/header.h"
#include "zelk-container/reordered_layout.h"
#include "zelk-base/crc32c.h"
#include "zelk-base/io.h"
#include "zelk-base/pool.h"

namespace zelk::container {

namespace {

class DiscardingSink final : public RecordSink {
 public:
  Result<void> write_text(ByteSpan) override { return {}; }
  Result<void> write_record(Record) override { return {}; }
};

}  // namespace

Result<void> verify_archive(Source& source, uint64_t threads) {
  BufferedReader reader(source);
  ArchiveHeader header = ZELK_TRY(read_header(reader));
  if (header.has_flag(kFlagGlobalReorder)) {
    // No footer and no whole-file CRC: a full decode with its output digest
    // is the check.
    WorkerPool pool(WorkerPool::decode_pool_size(threads));
    DiscardingSink sink;
    ZELK_TRY(decode_reordered(header, reader, pool, DecodeRequest{}, sink));
    return {};
  }
  FooterParse footer = ZELK_TRY(read_footer(reader));
  // Small archives are checksummed in one piece; only larger ones are
  // worth starting workers for.
  std::optional<WorkerPool> pool;
  if (footer.covered_length > kWholeFileCrcChunk) pool.emplace(WorkerPool::decode_pool_size(threads));
  uint32_t crc = ZELK_TRY(whole_file_crc(reader, footer.covered_length, pool ? &*pool : nullptr));
  if (crc != footer.index.whole_file_crc) return fail(ArchiveError::corrupt("archive (whole-file crc)"));
  return {};
}

}  // namespace zelk::container
