// The cluster model shared by the reordered sequence block decoder and its
// encoder: a cluster is a run of columns, each counting the A, C, G and T
// seen at one position of similar reads, whose consensus bytes are the base
// string the next read is coded against.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::reorder {

struct Column {
  std::array<uint32_t, 4> counts{};
  uint8_t consensus = 'A';

  // Counts an A, C, G or T (either case); any other byte changes nothing.
  // The consensus becomes the counted base when it now leads, or ties and
  // comes first in A, C, G, T order; otherwise the upper-case form of the
  // old consensus (a non-ACGT consensus reads as A).
  void update(uint8_t byte) {
    int counted = count_index(byte);
    if (counted < 0) return;
    ++counts[counted];
    int current = consensus_index(consensus);
    bool leads = counts[counted] > counts[current] || (counts[counted] == counts[current] && counted < current);
    consensus = "ACGT"[leads ? counted : current];
  }

  // A column first seen with `byte`: a non-ACGT byte stays the consensus,
  // with no counts, until a base is counted there.
  static Column fresh(uint8_t byte) {
    Column column;
    column.consensus = byte;
    column.update(byte);
    return column;
  }

 private:
  static int count_index(uint8_t byte) {
    switch (byte) {
      case 'A': case 'a': return 0;
      case 'C': case 'c': return 1;
      case 'G': case 'g': return 2;
      case 'T': case 't': return 3;
      default: return -1;
    }
  }
  // The consensus side reads only upper case; anything else counts as A.
  static int consensus_index(uint8_t byte) {
    switch (byte) {
      case 'C': return 1;
      case 'G': return 2;
      case 'T': return 3;
      default: return 0;
    }
  }
};

// One growable array of columns.
class Cluster {
 public:
  size_t size() const { return columns_.size(); }
  uint8_t consensus(size_t position) const { return columns_[position].consensus; }

  // Copies consensus bytes [offset, offset + out.size()) into `out`; the
  // caller keeps the range inside the cluster.
  void copy_consensus(size_t offset, std::span<uint8_t> out) const {
    for (size_t j = 0; j < out.size(); ++j) out[j] = columns_[offset + j].consensus;
  }

  // Learns a read placed at `offset` (at most size()): the columns it
  // covers count its bytes, and every byte past the end adds a fresh column.
  template <class MakeError>
  Result<void> learn(size_t offset, ByteSpan read, MakeError&& too_large) {
    size_t covered = std::min(read.size(), columns_.size() - offset);
    for (size_t j = 0; j < covered; ++j) columns_[offset + j].update(read[j]);
    size_t old_size = columns_.size();
    ZELK_TRY(resize_checked(columns_, old_size + (read.size() - covered), too_large));
    for (size_t j = covered; j < read.size(); ++j) columns_[old_size + j - covered] = Column::fresh(read[j]);
    return {};
  }

  // Gives back the columns' memory once no later read can use them (an
  // encoder's choice: the decoder keeps every cluster).
  void release() {
    std::vector<Column>().swap(columns_);
    released_ = true;
  }
  bool released() const { return released_; }

 private:
  std::vector<Column> columns_;
  bool released_ = false;
};

}  // namespace zelk::reorder
