// Framed sub-streams: a varint raw length, then (when non-empty) a varint
// coded length and one rANS block.
#include "zelk-rans/kernels.h"

namespace zelk::rans {

using detail::kTruncated;
using detail::rans_error;

Result<Bytes> decode_framed(ByteCursor& cursor, uint64_t max_len) {
  auto varint_error = [] { return rans_error("varint too long"); };
  uint64_t raw_len = ZELK_TRY(read_varint(cursor, varint_error));
  if (raw_len == 0) return Bytes{};
  if (raw_len > max_len) return fail(rans_error("rANS output length exceeds caller bound"));
  uint64_t coded_len = ZELK_TRY(read_varint(cursor, varint_error));
  auto block = cursor.take(coded_len);
  if (!block) return fail(rans_error(kTruncated));
  Bytes out = ZELK_TRY(rans_decode(*block, raw_len));
  if (out.size() != raw_len) return fail(rans_error("framed length mismatch"));
  return out;
}

void append_framed(Bytes& out, ByteSpan data) {
  append_varint(out, data.size());
  if (data.empty()) return;
  Bytes block = rans_encode_best(data);
  append_varint(out, block.size());
  append_bytes(out, block);
}

}  // namespace zelk::rans
