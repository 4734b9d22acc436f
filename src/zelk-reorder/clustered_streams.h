// The streams of a reordered sequence block in payload order, shared by its
// decoder and encoder. Each is stored as a varint length and its bytes.
#pragma once

#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-reorder/clustered.h"

namespace zelk::reorder {

template <class T>
struct StreamSet {
  T ops;
  T anchors;  // version 3: cluster back-references; version 4: contig-id deltas; version 2: absent
  T offsets;
  T lengths;
  T substitution_counts;
  T substitution_positions;
  T substitution_bases;
  T novel;
  T literals;  // versions 2 and 3

  // The members present in `version`, in payload order.
  static std::vector<T StreamSet::*> order(BlockVersion version) {
    std::vector<T StreamSet::*> members{&StreamSet::ops};
    if (version != BlockVersion::CurrentCluster) members.push_back(&StreamSet::anchors);
    for (auto member : {&StreamSet::offsets, &StreamSet::lengths, &StreamSet::substitution_counts,
                        &StreamSet::substitution_positions, &StreamSet::substitution_bases, &StreamSet::novel})
      members.push_back(member);
    if (version != BlockVersion::Reference) members.push_back(&StreamSet::literals);
    return members;
  }
};

using RawStreams = StreamSet<ByteSpan>;

inline Result<RawStreams> split_streams(ByteCursor& in, BlockVersion version) {
  RawStreams raw;
  for (auto member : RawStreams::order(version)) {
    auto length = in.take_varint();
    if (!length) return fail(ArchiveError::malformed_stream(ErrorKind::ReorderCodec, "varint too long"));
    auto data = in.take(*length);
    if (!data) return fail(ArchiveError::malformed_stream(ErrorKind::ReorderCodec, "truncated"));
    raw.*member = *data;
  }
  return raw;
}

inline void append_streams(Bytes& out, const StreamSet<Bytes>& coded, BlockVersion version) {
  for (auto member : StreamSet<Bytes>::order(version)) {
    append_varint(out, (coded.*member).size());
    append_bytes(out, coded.*member);
  }
}

}  // namespace zelk::reorder
