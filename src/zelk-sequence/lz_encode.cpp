// The reference LZ encoder: hash chains find earlier copies of the bases
// ahead, the four repeat distances are tried first, and each choice is
// priced with the live model against coding the same bases as literals.
// One position of lookahead (lazy parsing) lets a better match starting a
// base later win over the current one.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numeric>
#include <optional>

#include "zelk-sequence/lz.h"
#include "zelk-sequence/lz_model.h"
#include "zelk-sequence/sequence.h"

namespace zelk::seq {

namespace lz {

uint32_t BitPricer::price_of(uint32_t probability) {
  static const std::array<uint16_t, kProbOne + 1> prices = [] {
    std::array<uint16_t, kProbOne + 1> table{};
    table[0] = 32 * kPriceScale;  // never reached: probabilities stay inside (0, 1)
    for (uint32_t p = 1; p <= kProbOne; ++p)
      table[p] = static_cast<uint16_t>(std::lround(-std::log2(double(p) / kProbOne) * kPriceScale));
    return table;
  }();
  return prices[probability];
}

}  // namespace lz

namespace {

using lz::Packet;
using lz::PacketKind;

// Bases hashed to find a match: shorter copies at a far distance cost more
// than the literals they replace.
constexpr size_t kHashBytes = 12;
constexpr unsigned kMaxHashBits = 22;  // 16 MiB of chain heads
// Farthest copy looked for; the chain table holds one entry per position
// of the window, so this bounds the encoder's memory.
constexpr uint32_t kWindow = 1u << 23;
constexpr unsigned kChainDepth = 48;
// A match this long is taken without looking further.
constexpr uint32_t kNiceLength = 96;
// Each this many literals in a row halve how often the chains are searched.
constexpr size_t kLiteralRunStep = 256;

size_t common_length(ByteSpan data, size_t earlier, size_t pos, size_t limit) {
  size_t length = 0;
  while (length + 8 <= limit) {
    uint64_t diff = load_le<uint64_t>(data.data() + earlier + length) ^ load_le<uint64_t>(data.data() + pos + length);
    if (diff) return length + (std::countr_zero(diff) >> 3);
    length += 8;
  }
  while (length < limit && data[earlier + length] == data[pos + length]) ++length;
  return length;
}

// Hash chains over the window behind the current position.
class MatchFinder {
 public:
  explicit MatchFinder(ByteSpan data) : data_(data) {
    size_t size = std::max<size_t>(data.size(), 2);
    unsigned bits = std::clamp<unsigned>(std::bit_width(size - 1), 10, kMaxHashBits);
    shift_ = 64 - bits;
    heads_.assign(size_t{1} << bits, 0);
    chain_.assign(std::min<size_t>(std::bit_ceil(size), kWindow), 0);
  }

  // Calls visit(distance, length) for earlier copies of the bases at `pos`,
  // each longer than the previous, starting above `length`; `limit` caps
  // the length.
  template <class Visit>
  void for_each_longer(size_t pos, size_t limit, size_t length, Visit&& visit) {
    pass(pos);
    if (pos + kHashBytes > data_.size()) return;
    uint32_t candidate = heads_[hash(pos)];
    for (unsigned depth = 0; depth < kChainDepth && candidate != 0; ++depth) {
      size_t earlier = candidate - 1;
      if (pos - earlier > chain_.size()) return;
      if (length < limit && data_[earlier + length] == data_[pos + length]) {
        size_t found = common_length(data_, earlier, pos, limit);
        if (found > length) {
          length = found;
          visit(static_cast<uint32_t>(pos - earlier - 1), static_cast<uint32_t>(length));
          if (length == limit) return;
        }
      }
      candidate = chain_[earlier & (chain_.size() - 1)];
    }
  }

  // Enters the positions before `pos` without searching.
  void pass(size_t pos) {
    insert_until(pos);
    // The heads are far larger than the caches and the parse usually comes
    // to the next position next.
    if (pos + 1 + kHashBytes <= data_.size()) __builtin_prefetch(&heads_[hash(pos + 1)]);
  }

 private:
  // Every position is entered once, in order, before anything searches
  // past it.
  void insert_until(size_t pos) {
    size_t end = std::min(pos, data_.size() >= kHashBytes ? data_.size() - kHashBytes + 1 : 0);
    for (; inserted_ < end; ++inserted_) {
      uint32_t& head = heads_[hash(inserted_)];
      chain_[inserted_ & (chain_.size() - 1)] = head;
      head = static_cast<uint32_t>(inserted_ + 1);
    }
    inserted_ = std::max(inserted_, pos);
  }

  size_t hash(size_t pos) const {
    uint64_t a = load_le<uint64_t>(data_.data() + pos);
    uint64_t b = load_le<uint32_t>(data_.data() + pos + 8);
    return ((a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full)) >> shift_;
  }

  ByteSpan data_;
  std::vector<uint32_t> heads_;  // position + 1 of the latest entry, 0 for none
  std::vector<uint32_t> chain_;  // per position: the previous one with its hash
  size_t inserted_ = 0;
  unsigned shift_;
};

class Encoder {
 public:
  Encoder(ByteSpan data, Bytes& out) : data_(data), coder_(out), finder_(data) {}

  void run() {
    std::optional<Choice> pending;
    for (size_t pos = 0; pos < data_.size();) {
      Choice choice = pending ? *pending : best_at(pos);
      pending.reset();
      if (choice.packet.kind != PacketKind::Literal && choice.packet.length < kNiceLength &&
          pos + 1 < data_.size()) {
        Choice later = best_at(pos + 1);
        if (later.gain > choice.gain) {
          emit(pos, {PacketKind::Literal});
          pos += 1;
          pending = later;
          continue;
        }
      }
      emit(pos, choice.packet);
      pos += std::max<uint32_t>(choice.packet.length, 1);
    }
    coder_.finish();
  }

 private:
  // A packet and what it saves over literals, in price units.
  struct Choice {
    Packet packet;
    int64_t gain = 0;
  };

  uint8_t previous_byte(size_t pos) const { return pos ? data_[pos - 1] : 0; }

  uint8_t match_byte(size_t pos) const {
    uint64_t back = uint64_t{history_.reps[0]} + 1;
    return back <= pos ? data_[pos - back] : 0;
  }

  template <class Coder>
  void code_literal(Coder& coder, size_t pos) {
    lz::Prob* table = model_.literal_table(previous_byte(pos));
    if (history_.after_literal())
      lz::code_literal(coder, table, data_[pos]);
    else
      lz::code_matched_literal(coder, table, match_byte(pos), data_[pos]);
  }

  uint32_t literal_price(size_t pos) {
    lz::BitPricer pricer;
    lz::code_packet(pricer, model_, history_.state, {PacketKind::Literal});
    code_literal(pricer, pos);
    return pricer.price();
  }

  uint32_t packet_price(const Packet& packet) {
    lz::BitPricer pricer;
    lz::code_packet(pricer, model_, history_.state, packet);
    return pricer.price();
  }

  Choice best_at(size_t pos) {
    const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(lz::kMaxMatch, data_.size() - pos));
    const int64_t first_literal = literal_price(pos);
    Choice best;
    auto consider = [&](const Packet& packet) {
      int64_t literals = first_literal + int64_t{packet.length - 1} * literal_average_;
      int64_t gain = literals - packet_price(packet);
      if (gain > best.gain) best = {packet, gain};
    };
    uint32_t longest = 1;
    for (unsigned i = 0; i < lz::kReps; ++i) {
      uint64_t back = uint64_t{history_.reps[i]} + 1;
      if (back > pos) continue;
      uint32_t length = static_cast<uint32_t>(common_length(data_, pos - back, pos, limit));
      if (i == 0 && length >= 1) consider({PacketKind::ShortRep, 1});
      if (length < lz::kMinMatch) continue;
      consider({static_cast<PacketKind>(static_cast<unsigned>(PacketKind::Rep0) + i), length});
      longest = std::max(longest, length);
    }
    if (longest >= kNiceLength || !worth_searching(pos)) {
      finder_.pass(pos);
      return best;
    }
    finder_.for_each_longer(pos, limit, longest, [&](uint32_t distance, uint32_t length) {
      consider({PacketKind::Match, length, distance});
    });
    return best;
  }

  // Data that has gone long without a copy (long reads are close to
  // random) is searched at every second, fourth, then eighth position: a
  // copy that starts in between is still found a few bases in.
  bool worth_searching(size_t pos) const {
    unsigned stride_bits = static_cast<unsigned>(std::min<size_t>(literal_run_ / kLiteralRunStep, 3));
    return (pos & ((size_t{1} << stride_bits) - 1)) == 0;
  }

  void emit(size_t pos, const Packet& packet) {
    literal_run_ = packet.kind == PacketKind::Literal ? literal_run_ + 1 : 0;
    if (packet.kind == PacketKind::Literal) {
      // A running average of literal prices stands for the literals a
      // match would replace.
      literal_average_ = (literal_average_ * 15 + literal_price(pos)) / 16;
      lz::code_packet(coder_, model_, history_.state, packet);
      code_literal(coder_, pos);
    } else {
      lz::code_packet(coder_, model_, history_.state, packet);
    }
    history_.advance(packet);
  }

  ByteSpan data_;
  lz::Model model_;
  lz::History history_;
  lz::BitEncoder coder_;
  MatchFinder finder_;
  int64_t literal_average_ = 2 * lz::kPriceScale;
  size_t literal_run_ = 0;  // literals since the last copy
};

}  // namespace

Bytes reflzma_encode(ByteSpan data) {
  Bytes out;
  if (!data.empty()) Encoder(data, out).run();
  return out;
}

Result<void> append_reflzma_block(Bytes& out, const dna::SequenceBlock& block) {
  uint64_t total = std::accumulate(block.read_lengths.begin(), block.read_lengths.end(), uint64_t{0});
  if (total != block.bases.size())
    return fail(ArchiveError::length_mismatch(ErrorKind::SequenceCodec, "sequence", total, block.bases.size()));
  append_varint(out, block.read_lengths.size());
  for (uint32_t length : block.read_lengths) append_varint(out, length);
  append_varint(out, total);
  // No padding for the decoder's bases-per-byte rule is needed: a packet
  // copies at most 273 bases and costs a fraction of a bit even when fully
  // predicted, thousands of bases per byte at best.
  append_bytes(out, reflzma_encode(block.bases));
  return {};
}

Result<Bytes> encode_reference_lz_stream(const dna::SequenceBlock& block) {
  Bytes out{static_cast<uint8_t>(SequenceMethod::ReferenceLz)};
  ZELK_TRY(append_reflzma_block(out, block));
  return out;
}

}  // namespace zelk::seq
