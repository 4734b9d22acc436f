// The names codec: each name split into text and number tokens, each token
// coded against the token at the same position of the previous name (copy,
// new text, new number, or a difference), with every kind of payload in its
// own rANS-coded sub-stream. Also the name template that renders synthetic
// names from a counter.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::names {

// Decoded names in one buffer: name i is bytes[ends[i - 1], ends[i]).
struct NameList {
  std::string bytes;
  std::vector<size_t> ends;

  size_t size() const { return ends.size(); }
  std::string_view operator[](size_t i) const {
    size_t start = i ? ends[i - 1] : 0;
    return std::string_view(bytes).substr(start, ends[i] - start);
  }
};

// Decodes a whole names stream to one byte string per record. The codec's
// own failures read "malformed name stream: ..."; a failing inner rANS block
// keeps its own "malformed rANS stream: ..." text.
Result<NameList> decode_names(ByteSpan stream);

// The names stream of `names`, in record order.
Bytes encode_names(std::span<const std::string> names);

// A counter column renders offset + n in decimal, zero-filled to `width`.
struct TemplateCounter {
  int64_t offset;
  uint32_t width;  // at most kMaxCounterWidth
};
using TemplateColumn = std::variant<std::string, TemplateCounter>;  // literal or counter

struct NameTemplate {
  std::vector<TemplateColumn> columns;  // at most kMaxTemplateColumns
};

inline constexpr size_t kMaxTemplateColumns = 64;
inline constexpr uint32_t kMaxCounterWidth = 1024;

// Bytes after the last column are not examined.
Result<NameTemplate> parse_name_template(ByteSpan data);
std::string render_name_template(const NameTemplate& name_template, uint64_t n);
// The caller keeps within the column and width limits.
Bytes encode_name_template(const NameTemplate& name_template);

// A template that renders names[i] for every i from 0, when the names are
// one fixed text with counters that each step by one from name to name
// (zero-filled to a fixed width, or not at all); nullopt otherwise.
std::optional<NameTemplate> find_name_template(std::span<const std::string> names);

}  // namespace zelk::names
