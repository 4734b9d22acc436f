// The adaptive model of the reference LZ coder: binary probabilities for the
// packet kind, the literal coder, two length coders, the distance slots and
// the twelve-state machine with four repeat distances.
//
// Every walk over the model is written once, as a template over a bit
// coder, and serves three coders: the decoder (which ignores the value it
// is handed and returns what it reads), the encoder (which writes the value
// it is handed and returns it) and the encoder's pricer (which adds up what
// a value would cost and leaves the model untouched). The two sides cannot
// drift apart because there is only one side.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "zelk-range/range_coder.h"

namespace zelk::seq::lz {

inline constexpr unsigned kProbBits = 11;
inline constexpr uint16_t kProbOne = 1u << kProbBits;
inline constexpr uint16_t kProbInit = kProbOne / 2;
inline constexpr unsigned kAdaptShift = 5;

inline constexpr unsigned kStates = 12;
inline constexpr unsigned kLiteralStates = 7;  // states below this follow a literal
inline constexpr unsigned kReps = 4;
inline constexpr unsigned kMinMatch = 2;
inline constexpr unsigned kMaxMatch = kMinMatch + 8 + 8 + 255;  // the high tree tops out at 255
inline constexpr unsigned kLiteralContexts = 256;
inline constexpr unsigned kLiteralProbs = 0x300;
inline constexpr unsigned kSlotBits = 6;
inline constexpr unsigned kSlotTrees = 4;
inline constexpr unsigned kFirstTreeSlot = 4;   // slots 4..13 end in a reverse tree
inline constexpr unsigned kFirstDirectSlot = 14;  // slots 14.. end in direct bits and the align tree
inline constexpr unsigned kAlignBits = 4;

// The probability that the next bit is 0, on an 11-bit scale.
using Prob = uint16_t;

template <size_t N>
using Probs = std::array<Prob, N>;

template <size_t N>
constexpr Probs<N> fresh_probs() {
  Probs<N> probs{};
  probs.fill(kProbInit);
  return probs;
}

struct LengthModel {
  Prob choice = kProbInit;
  Prob choice2 = kProbInit;
  Probs<8> low = fresh_probs<8>();
  Probs<8> mid = fresh_probs<8>();
  Probs<256> high = fresh_probs<256>();
};

struct Model {
  Probs<kStates> is_match = fresh_probs<kStates>();
  Probs<kStates> is_rep = fresh_probs<kStates>();
  Probs<kStates> is_rep_g0 = fresh_probs<kStates>();
  Probs<kStates> is_rep_g1 = fresh_probs<kStates>();
  Probs<kStates> is_rep_g2 = fresh_probs<kStates>();
  Probs<kStates> is_rep0_long = fresh_probs<kStates>();
  LengthModel match_length;
  LengthModel rep_length;
  std::array<Probs<64>, kSlotTrees> slots{fresh_probs<64>(), fresh_probs<64>(), fresh_probs<64>(),
                                          fresh_probs<64>()};
  // Slot s (4..13) has a reverse tree of (s >> 1) - 1 bits, at most 5.
  std::array<Probs<32>, kFirstDirectSlot - kFirstTreeSlot> slot_ends = [] {
    std::array<Probs<32>, kFirstDirectSlot - kFirstTreeSlot> trees;
    trees.fill(fresh_probs<32>());
    return trees;
  }();
  Probs<1u << kAlignBits> align = fresh_probs<1u << kAlignBits>();
  // One 768-entry table per previous byte.
  std::vector<Prob> literals = std::vector<Prob>(kLiteralContexts * kLiteralProbs, kProbInit);

  Prob* literal_table(uint8_t previous_byte) { return literals.data() + size_t{previous_byte} * kLiteralProbs; }
};

// What one packet codes. Distances are stored minus one: 0 copies the byte
// just before.
enum class PacketKind : uint8_t { Literal, Match, ShortRep, Rep0, Rep1, Rep2, Rep3 };

struct Packet {
  PacketKind kind = PacketKind::Literal;
  uint32_t length = 0;
  uint32_t distance = 0;  // Match only

  unsigned rep_index() const { return static_cast<unsigned>(kind) - static_cast<unsigned>(PacketKind::Rep0); }
};

// The state machine and the four most recent distances.
struct History {
  unsigned state = 0;
  std::array<uint32_t, kReps> reps{};

  bool after_literal() const { return state < kLiteralStates; }

  // Moves the state on past `packet` and brings its distance to the front.
  void advance(const Packet& packet) {
    switch (packet.kind) {
      case PacketKind::Literal:
        state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
        return;
      case PacketKind::Match:
        reps = {packet.distance, reps[0], reps[1], reps[2]};
        state = state < kLiteralStates ? 7 : 10;
        return;
      case PacketKind::ShortRep:
        state = state < kLiteralStates ? 9 : 11;
        return;
      default: {
        unsigned index = packet.rep_index();
        uint32_t distance = reps[index];
        std::copy_backward(reps.begin(), reps.begin() + index, reps.begin() + index + 1);
        reps[0] = distance;
        state = state < kLiteralStates ? 8 : 11;
        return;
      }
    }
  }
};

inline void adapt(Prob& p, unsigned bit) {
  if (bit)
    p -= p >> kAdaptShift;
  else
    p += (kProbOne - p) >> kAdaptShift;
}

// The range coder puts a 1 in the lower part of the range; this model keeps
// the probability of a 0 there, so the bits are flipped on the way.
class BitDecoder {
 public:
  explicit BitDecoder(ByteSpan coded) : decoder_(coded) {}
  unsigned bit(Prob& p, unsigned) {
    unsigned bit = decoder_.decode_bit<kProbBits>(p) ^ 1;
    adapt(p, bit);
    return bit;
  }
  unsigned direct(unsigned) { return decoder_.decode_direct_bit(); }

 private:
  range::RangeDecoder decoder_;
};

class BitEncoder {
 public:
  explicit BitEncoder(Bytes& out) : encoder_(out) {}
  unsigned bit(Prob& p, unsigned bit) {
    encoder_.encode_bit<kProbBits>(p, bit ^ 1);
    adapt(p, bit);
    return bit;
  }
  unsigned direct(unsigned bit) {
    encoder_.encode_direct_bit(bit);
    return bit;
  }
  void finish() { encoder_.finish(); }

 private:
  range::RangeEncoder encoder_;
};

// Prices in 1/kPriceScale bits.
inline constexpr uint32_t kPriceScale = 64;

// What coding would cost, with the model as it stands.
class BitPricer {
 public:
  unsigned bit(const Prob& p, unsigned bit) {
    price_ += price_of(bit ? kProbOne - p : p);
    return bit;
  }
  unsigned direct(unsigned bit) {
    price_ += kPriceScale;
    return bit;
  }
  uint32_t price() const { return price_; }

 private:
  static uint32_t price_of(uint32_t probability);
  uint32_t price_ = 0;
};

// A tree of `bits` levels from index 1, most significant bit first.
template <class Coder>
unsigned code_tree(Coder& coder, Prob* probs, unsigned bits, uint32_t value) {
  unsigned index = 1;
  for (unsigned i = bits; i-- > 0;) index = 2 * index + coder.bit(probs[index], (value >> i) & 1);
  return index - (1u << bits);
}

// The same tree read least significant bit first.
template <class Coder>
uint32_t code_reverse_tree(Coder& coder, Prob* probs, unsigned bits, uint32_t value) {
  unsigned index = 1;
  uint32_t result = 0;
  for (unsigned i = 0; i < bits; ++i) {
    unsigned bit = coder.bit(probs[index], (value >> i) & 1);
    index = 2 * index + bit;
    result |= bit << i;
  }
  return result;
}

template <class Coder>
uint8_t code_literal(Coder& coder, Prob* table, uint8_t byte) {
  return static_cast<uint8_t>(code_tree(coder, table, 8, byte));
}

// After a match the byte at the repeat distance predicts the literal: its
// bits pick the probabilities until the first bit that differs.
template <class Coder>
uint8_t code_matched_literal(Coder& coder, Prob* table, uint8_t match_byte, uint8_t byte) {
  unsigned index = 1;
  for (unsigned i = 8; i-- > 0;) {
    unsigned match_bit = (match_byte >> i) & 1;
    unsigned bit = coder.bit(table[0x100 + (match_bit << 8) + index], (byte >> i) & 1);
    index = 2 * index + bit;
    if (bit != match_bit) {
      while (i-- > 0) index = 2 * index + coder.bit(table[index], (byte >> i) & 1);
      break;
    }
  }
  return static_cast<uint8_t>(index - 0x100);
}

// `length` counts from kMinMatch.
template <class Coder>
uint32_t code_length(Coder& coder, LengthModel& model, uint32_t length) {
  if (!coder.bit(model.choice, length >= 8)) return code_tree(coder, model.low.data(), 3, length);
  if (!coder.bit(model.choice2, length >= 16)) return 8 + code_tree(coder, model.mid.data(), 3, length - 8);
  return 16 + code_tree(coder, model.high.data(), 8, length - 16);
}

// Slots 0..3 are the distance itself; slot 2k + b above them covers the
// distances whose top two bits are 1b and that have k + 1 bits.
inline unsigned slot_of(uint32_t distance) {
  if (distance < kFirstTreeSlot) return distance;
  unsigned top = std::bit_width(distance) - 1;
  return 2 * top + ((distance >> (top - 1)) & 1);
}

template <class Coder>
uint32_t code_distance(Coder& coder, Model& model, uint32_t length, uint32_t distance) {
  auto& tree = model.slots[std::min<uint32_t>(length - kMinMatch, kSlotTrees - 1)];
  unsigned slot = code_tree(coder, tree.data(), kSlotBits, slot_of(distance));
  if (slot < kFirstTreeSlot) return slot;
  unsigned footer_bits = (slot >> 1) - 1;
  uint32_t base = (2u | (slot & 1)) << footer_bits;
  uint32_t rest = distance - base;
  if (slot < kFirstDirectSlot)
    return base + code_reverse_tree(coder, model.slot_ends[slot - kFirstTreeSlot].data(), footer_bits, rest);
  uint32_t high = 0;
  for (unsigned i = footer_bits - kAlignBits; i-- > 0;)
    high = (high << 1) | coder.direct((rest >> (i + kAlignBits)) & 1);
  return base + (high << kAlignBits) + code_reverse_tree(coder, model.align.data(), kAlignBits, rest);
}

// Everything of a packet but a literal's byte: its kind, length and
// distance. The decoder passes an empty packet and gets the decoded one.
template <class Coder>
Packet code_packet(Coder& coder, Model& model, unsigned state, const Packet& packet) {
  using enum PacketKind;
  if (!coder.bit(model.is_match[state], packet.kind != Literal)) return {Literal};
  if (!coder.bit(model.is_rep[state], packet.kind != Match)) {
    uint32_t length = kMinMatch + code_length(coder, model.match_length, packet.length - kMinMatch);
    return {Match, length, code_distance(coder, model, length, packet.distance)};
  }
  PacketKind kind;
  if (!coder.bit(model.is_rep_g0[state], packet.kind != Rep0 && packet.kind != ShortRep)) {
    if (!coder.bit(model.is_rep0_long[state], packet.kind == Rep0)) return {ShortRep, 1};
    kind = Rep0;
  } else if (!coder.bit(model.is_rep_g1[state], packet.kind != Rep1)) {
    kind = Rep1;
  } else {
    kind = coder.bit(model.is_rep_g2[state], packet.kind == Rep3) ? Rep3 : Rep2;
  }
  return {kind, kMinMatch + code_length(coder, model.rep_length, packet.length - kMinMatch)};
}

}  // namespace zelk::seq::lz
