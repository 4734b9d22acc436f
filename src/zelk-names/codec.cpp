// The names codec, decoder and encoder.
//
// Stream: version 1, varint record count c, then rANS-coded sub-streams
// (coded length and block each): token counts, string lengths, string data,
// numeric values, pads, the operation columns as run counts, run operations
// and run lengths, and per column its delta byte planes.
#include <algorithm>
#include <array>

#include "zelk-base/limits.h"
#include "zelk-rans/rans.h"
#include "zelk-names/names.h"
#include "zelk-names/number_text.h"

namespace zelk::names {

namespace {

// Token position i belongs to column min(i, 63).
constexpr size_t kColumns = 64;
constexpr uint8_t kVersion = 1;

enum Op : uint8_t { kMatch = 0, kString = 1, kNumeric = 2, kDelta = 3 };

size_t column_of(size_t position) { return std::min(position, kColumns - 1); }

ArchiveError name_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::NameCodec, detail);
}

ArchiveError varint_error() { return name_error("varint too long"); }

// -- decoding ----------------------------------------------------------------

// The bound of every sub-stream but the delta planes: 64 KiB per coded byte
// (saturating), at least 1 MiB.
uint64_t sub_stream_bound(size_t stream_size) {
  uint64_t product = stream_size > UINT64_MAX / 65536 ? UINT64_MAX : uint64_t{stream_size} * 65536;
  return std::max<uint64_t>(1 << 20, product);
}

// A coded sub-stream: varint length, then one rANS block of at most `bound`
// bytes. A failing block keeps its rANS text.
Result<Bytes> read_coded(ByteCursor& in, uint64_t bound) {
  uint64_t length = ZELK_TRY(read_varint(in, varint_error));
  auto block = in.take(length);
  if (!block) return fail(name_error("truncated"));
  return rans::rans_decode(*block, bound);
}

struct Run {
  uint64_t length;
  uint8_t op;
};

// One column's operations, kept as runs and consumed in order, and its
// delta values.
struct OpColumn {
  size_t run = 0, end_run = 0;  // [run, end_run) in the shared run list
  uint64_t used_in_run = 0;
  uint64_t delta_count = 0;
  std::vector<uint64_t> deltas;
  size_t next_delta = 0;
};

struct OpColumns {
  std::vector<Run> runs;
  std::array<OpColumn, kColumns> columns;

  std::optional<uint8_t> take(size_t k) {
    OpColumn& column = columns[k];
    while (column.run < column.end_run && column.used_in_run == runs[column.run].length) {
      ++column.run;
      column.used_in_run = 0;
    }
    if (column.run == column.end_run) return std::nullopt;
    ++column.used_in_run;
    return runs[column.run].op;
  }
};

// Runs stay runs: nothing proportional to the declared operation counts is
// allocated, only one entry per run-operation byte.
Result<OpColumns> read_op_columns(const Bytes& run_counts, const Bytes& run_ops, const Bytes& run_lengths,
                                  uint64_t record_count, uint64_t bound) {
  OpColumns out;
  auto too_large = [] { return name_error("op run too large to allocate"); };
  out.runs = ZELK_TRY(allocate<std::vector<Run>>(run_ops.size(), too_large));
  ByteCursor counts(run_counts), ops(run_ops), lengths(run_lengths);
  size_t run_total = 0;
  uint64_t op_total = 0;
  for (size_t k = 0; k < kColumns; ++k) {
    OpColumn& column = out.columns[k];
    column.run = run_total;
    uint64_t run_count = ZELK_TRY(read_varint(counts, varint_error));
    uint64_t column_ops = 0;
    for (uint64_t j = 0; j < run_count; ++j) {
      auto op = ops.take_u8();
      if (!op) return fail(name_error("op sym underrun"));
      uint64_t length = ZELK_TRY(read_varint(lengths, varint_error));
      // The last column gathers every position from 63 on, so a long name
      // puts several operations there: only the stream bound limits it.
      if (k + 1 < kColumns && length > record_count - column_ops) return fail(name_error("op run too long"));
      if (length > bound - op_total) return fail(name_error("op columns exceed the stream bound"));
      column_ops += length;
      op_total += length;
      if (*op == kDelta) column.delta_count += length;
      out.runs[run_total++] = {length, *op};
    }
    column.end_run = run_total;
  }
  return out;
}

// Plane p holds byte p mod 8 of each of the column's delta values.
Result<void> read_delta_planes(ByteCursor& in, OpColumns& ops) {
  for (OpColumn& column : ops.columns) {
    uint64_t planes = ZELK_TRY(read_varint(in, varint_error));
    for (uint64_t p = 0; p < planes; ++p) {
      Bytes plane = ZELK_TRY(read_coded(in, column.delta_count));
      if (plane.size() != column.delta_count) return fail(name_error("delta plane length mismatch"));
      if (p == 0)
        column.deltas = ZELK_TRY(allocate<std::vector<uint64_t>>(
            column.delta_count, [] { return name_error("delta plane too large to allocate"); }));
      for (size_t j = 0; j < plane.size(); ++j) column.deltas[j] |= uint64_t{plane[j]} << (8 * (p % 8));
    }
  }
  return {};
}

// A token of the previous or current name: its text is bytes[start, start +
// length) of the output buffer.
struct Token {
  size_t start, length;
  int64_t value;
  bool numeric;
};

// The sub-streams the tokens draw on, in decode order.
struct TokenSources {
  ByteCursor string_lengths, string_data, numerics, pads;

  Result<uint8_t> pad() {
    auto pad = pads.take_u8();
    if (!pad) return fail(name_error("pad underrun"));
    return *pad;
  }
};

Result<void> append_number(std::string& out, TokenSources& sources, int64_t value,
                           std::vector<Token>& tokens) {
  uint8_t pad = ZELK_TRY(sources.pad());
  size_t start = out.size();
  detail::append_zero_filled(out, value, detail::decimal_digits(value) + pad);
  tokens.push_back({start, out.size() - start, value, true});
  return {};
}

// Appends the token at position `i` to `out` and `tokens`.
Result<void> decode_token(size_t i, OpColumns& ops, TokenSources& sources, const std::vector<Token>& previous,
                          std::string& out, std::vector<Token>& tokens) {
  OpColumn& column = ops.columns[column_of(i)];
  auto op = ops.take(column_of(i));
  if (!op) return fail(name_error("truncated"));
  switch (*op) {
    case kMatch: {
      if (previous.size() <= i) return fail(name_error("MATCH without prior token"));
      const Token& prior = previous[i];
      tokens.push_back({out.size(), prior.length, prior.value, prior.numeric});
      out.append(out, prior.start, prior.length);  // self-append is safe, even when it reallocates
      return {};
    }
    case kString: {
      uint64_t length = ZELK_TRY(read_varint(sources.string_lengths, varint_error));
      auto text = sources.string_data.take(length);
      if (!text) return fail(name_error("string data underrun"));
      tokens.push_back({out.size(), text->size(), 0, false});
      out.append(text->begin(), text->end());
      return {};
    }
    case kNumeric: {
      uint64_t value = ZELK_TRY(read_varint(sources.numerics, varint_error));  // two's complement
      return append_number(out, sources, static_cast<int64_t>(value), tokens);
    }
    case kDelta: {
      if (column.next_delta == column.deltas.size()) return fail(name_error("delta underrun"));
      uint64_t delta = column.deltas[column.next_delta++];
      if (previous.size() <= i || !previous[i].numeric)
        return fail(name_error("DELTA without numeric prior"));
      uint64_t value = static_cast<uint64_t>(previous[i].value) + static_cast<uint64_t>(zigzag_decode(delta));
      return append_number(out, sources, static_cast<int64_t>(value), tokens);
    }
    default:
      return fail(name_error("unknown op"));
  }
}

// -- encoding ----------------------------------------------------------------

// Digit runs of at most 18 characters are numbers (they fit in 63 bits).
constexpr size_t kMaxNumericDigits = 18;

struct EncodedToken {
  std::string_view text;
  int64_t value;
  bool numeric;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alphanumeric(char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

// The stream only fixes that a name's tokens concatenate to the name; how
// the encoder cuts them decides which tokens line up with the previous
// name's, and so which ones cost nothing (MATCH) or a small difference.
struct TokenRules {
  // Cut at separators first, and keep a field (a run of letters and digits)
  // whole unless every name cuts it into the same number of digit runs: a
  // hexadecimal id then stays one token instead of shifting every later
  // token out of line.
  bool fields;
  // Digit runs become numbers, coded as differences to the previous name's;
  // as text they avoid the numeric and pad streams, which pays on a few
  // hundred names.
  bool numbers;
};

// Maximal runs of bytes for which `same_class` holds pairwise with the run's
// first byte.
template <class SameClass>
void for_each_run(std::string_view text, SameClass&& same_class, auto&& visit) {
  for (size_t start = 0; start < text.size();) {
    size_t end = start + 1;
    while (end < text.size() && same_class(text[start], text[end])) ++end;
    visit(text.substr(start, end - start));
    start = end;
  }
}

bool same_digitness(char a, char b) { return is_digit(a) == is_digit(b); }
bool same_field_class(char a, char b) { return is_alphanumeric(a) == is_alphanumeric(b); }

size_t digit_run_count(std::string_view field) {
  size_t runs = 0;
  for_each_run(field, same_digitness, [&](std::string_view) { ++runs; });
  return runs;
}

// Per field position: whether every name holding that field cuts it into
// the same number of digit runs.
std::vector<bool> fields_cut_alike(std::span<const std::string> names) {
  constexpr size_t kUnseen = SIZE_MAX;
  std::vector<size_t> runs;
  std::vector<bool> alike;
  for (const std::string& name : names) {
    size_t position = 0;
    for_each_run(name, same_field_class, [&](std::string_view field) {
      if (position == runs.size()) {
        runs.push_back(kUnseen);
        alike.push_back(true);
      }
      size_t count = digit_run_count(field);
      if (runs[position] == kUnseen) runs[position] = count;
      alike[position] = alike[position] && runs[position] == count;
      ++position;
    });
  }
  return alike;
}

EncodedToken make_token(std::string_view text, bool numbers) {
  bool numeric = numbers && is_digit(text[0]) && text.size() <= kMaxNumericDigits;
  int64_t value = 0;
  if (numeric)
    for (char c : text) value = value * 10 + (c - '0');
  return {text, value, numeric};
}

void tokenize(std::string_view name, const TokenRules& rules, const std::vector<bool>& cut_alike,
              std::vector<EncodedToken>& tokens) {
  tokens.clear();
  auto add_digit_runs = [&](std::string_view text) {
    for_each_run(text, same_digitness, [&](std::string_view run) { tokens.push_back(make_token(run, rules.numbers)); });
  };
  if (!rules.fields) return add_digit_runs(name);
  size_t position = 0;
  for_each_run(name, same_field_class, [&](std::string_view field) {
    if (cut_alike[position++])
      add_digit_runs(field);
    else
      tokens.push_back({field, 0, false});
  });
}

struct EncoderStreams {
  Bytes token_counts, string_lengths, string_data, numerics, pads;
  std::array<Bytes, kColumns> ops;
  std::array<std::vector<uint64_t>, kColumns> deltas;

  void add_token(size_t i, const EncodedToken& token, const std::vector<EncodedToken>& previous) {
    size_t k = column_of(i);
    const EncodedToken* prior = i < previous.size() ? &previous[i] : nullptr;
    if (prior && prior->text == token.text) {
      ops[k].push_back(kMatch);
    } else if (!token.numeric) {
      ops[k].push_back(kString);
      append_varint(string_lengths, token.text.size());
      append_bytes(string_data, as_bytes(token.text));
    } else {
      if (prior && prior->numeric) {
        ops[k].push_back(kDelta);
        deltas[k].push_back(zigzag_encode(static_cast<int64_t>(static_cast<uint64_t>(token.value) -
                                                               static_cast<uint64_t>(prior->value))));
      } else {
        ops[k].push_back(kNumeric);
        append_varint(numerics, static_cast<uint64_t>(token.value));
      }
      pads.push_back(static_cast<uint8_t>(token.text.size() - detail::decimal_digits(token.value)));
    }
  }
};

void append_coded(Bytes& out, ByteSpan data) {
  Bytes block = rans::rans_encode_best(data);
  append_varint(out, block.size());
  append_bytes(out, block);
}

void append_op_columns(Bytes& out, const std::array<Bytes, kColumns>& ops) {
  Bytes run_counts, run_ops, run_lengths;
  for (const Bytes& column : ops) {
    uint64_t runs = 0;
    for (size_t start = 0; start < column.size();) {
      size_t end = start + 1;
      while (end < column.size() && column[end] == column[start]) ++end;
      run_ops.push_back(column[start]);
      append_varint(run_lengths, end - start);
      ++runs;
      start = end;
    }
    append_varint(run_counts, runs);
  }
  append_coded(out, run_counts);
  append_coded(out, run_ops);
  append_coded(out, run_lengths);
}

void append_delta_planes(Bytes& out, const std::vector<uint64_t>& deltas) {
  uint64_t largest = deltas.empty() ? 0 : *std::max_element(deltas.begin(), deltas.end());
  size_t planes = deltas.empty() ? 0 : 1;
  while (planes && planes < 8 && largest >> (8 * planes)) ++planes;
  append_varint(out, planes);
  Bytes plane(deltas.size());
  for (size_t p = 0; p < planes; ++p) {
    for (size_t j = 0; j < deltas.size(); ++j) plane[j] = static_cast<uint8_t>(deltas[j] >> (8 * p));
    append_coded(out, plane);
  }
}

}  // namespace

Result<NameList> decode_names(ByteSpan stream) {
  ByteCursor in(stream);
  auto version = in.take_u8();
  if (!version) return fail(name_error("truncated"));
  if (*version != kVersion) return fail(name_error("unsupported version"));
  uint64_t record_count = ZELK_TRY(read_varint(in, varint_error));
  uint64_t bound = sub_stream_bound(stream.size());
  Bytes token_counts = ZELK_TRY(read_coded(in, bound));
  if (token_counts.size() < record_count) return fail(name_error("record count exceeds token stream"));
  Bytes string_lengths = ZELK_TRY(read_coded(in, bound));
  Bytes string_data = ZELK_TRY(read_coded(in, bound));
  Bytes numerics = ZELK_TRY(read_coded(in, bound));
  Bytes pads = ZELK_TRY(read_coded(in, bound));
  Bytes run_counts = ZELK_TRY(read_coded(in, bound));
  Bytes run_ops = ZELK_TRY(read_coded(in, bound));
  Bytes run_lengths = ZELK_TRY(read_coded(in, bound));
  OpColumns ops = ZELK_TRY(read_op_columns(run_counts, run_ops, run_lengths, record_count, bound));
  ZELK_TRY(read_delta_planes(in, ops));

  ByteCursor counts(token_counts);
  TokenSources sources{ByteCursor(string_lengths), ByteCursor(string_data), ByteCursor(numerics),
                       ByteCursor(pads)};
  NameList names;
  names.ends.reserve(std::min<uint64_t>(record_count, 1 << 20));
  std::vector<Token> previous, tokens;
  const uint64_t limit = decode_limit();
  for (uint64_t r = 0; r < record_count; ++r) {
    uint64_t token_count = ZELK_TRY(read_varint(counts, varint_error));
    tokens.clear();
    // Every token takes an operation, so a huge declared count ends at the
    // first column that runs out; repeated MATCH tokens can still double
    // the text, so it is held to the ceiling as it grows.
    for (uint64_t i = 0; i < token_count; ++i) {
      ZELK_TRY(decode_token(i, ops, sources, previous, names.bytes, tokens));
      if (names.bytes.size() > limit)
        ZELK_TRY(check_decode_limit(ErrorKind::NameCodec, "decoded names length", names.bytes.size()));
    }
    names.ends.push_back(names.bytes.size());
    std::swap(previous, tokens);
  }
  return names;
}

namespace {

Bytes encode_with(std::span<const std::string> names, const TokenRules& rules) {
  std::vector<bool> cut_alike = rules.fields ? fields_cut_alike(names) : std::vector<bool>{};
  EncoderStreams streams;
  std::vector<EncodedToken> previous, tokens;
  for (const std::string& name : names) {
    tokenize(name, rules, cut_alike, tokens);
    append_varint(streams.token_counts, tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) streams.add_token(i, tokens[i], previous);
    std::swap(previous, tokens);
  }
  Bytes out{kVersion};
  append_varint(out, names.size());
  for (const Bytes* sub_stream : {&streams.token_counts, &streams.string_lengths, &streams.string_data,
                                  &streams.numerics, &streams.pads})
    append_coded(out, *sub_stream);
  append_op_columns(out, streams.ops);
  for (const auto& deltas : streams.deltas) append_delta_planes(out, deltas);
  return out;
}

}  // namespace

// Which cut suits a block's names is measured, not guessed: each is coded
// and the smallest stream kept.
Bytes encode_names(std::span<const std::string> names) {
  Bytes best;
  for (bool fields : {false, true}) {
    for (bool numbers : {true, false}) {
      Bytes candidate = encode_with(names, {fields, numbers});
      if (best.empty() || candidate.size() < best.size()) best = std::move(candidate);
    }
  }
  return best;
}

}  // namespace zelk::names
