// The name template: literal and counter columns rendering synthetic names.
#include <cctype>
#include <charconv>

#include "zelk-names/names.h"
#include "zelk-names/number_text.h"

namespace zelk::names {

namespace {

ArchiveError template_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::NameCodec, detail);
}

// A name split into runs of digits and runs of anything else.
std::vector<std::string_view> digit_runs(std::string_view name) {
  std::vector<std::string_view> runs;
  size_t start = 0;
  for (size_t i = 1; i <= name.size(); ++i) {
    if (i == name.size() || std::isdigit(static_cast<unsigned char>(name[i])) !=
                                std::isdigit(static_cast<unsigned char>(name[start]))) {
      runs.push_back(name.substr(start, i - start));
      start = i;
    }
  }
  return runs;
}

std::optional<int64_t> decimal_value(std::string_view digits) {
  int64_t value;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

void append_literal(NameTemplate& out, std::string_view text) {
  if (!out.columns.empty())
    if (auto* literal = std::get_if<std::string>(&out.columns.back())) {
      *literal += text;
      return;
    }
  out.columns.emplace_back(std::string(text));
}

// Drops a '-' that ends the last literal column, if there is one.
bool take_minus_sign(NameTemplate& out) {
  if (out.columns.empty()) return false;
  auto* literal = std::get_if<std::string>(&out.columns.back());
  if (!literal || literal->empty() || literal->back() != '-') return false;
  literal->pop_back();
  if (literal->empty()) out.columns.pop_back();
  return true;
}

// The template the first two names suggest: runs that agree are literal,
// digit runs that step by one are counters.
std::optional<NameTemplate> template_of_first_names(std::string_view first, std::string_view second) {
  auto runs = digit_runs(first);
  auto next_runs = digit_runs(second);
  if (runs.size() != next_runs.size()) return std::nullopt;
  NameTemplate out;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i] == next_runs[i]) {
      append_literal(out, runs[i]);
      continue;
    }
    auto value = decimal_value(runs[i]);
    auto next_value = decimal_value(next_runs[i]);
    if (!value || !next_value) return std::nullopt;
    bool zero_filled = runs[i].size() > 1 && runs[i][0] == '0';
    // Digits after a '-' that count down are a negative number counting up.
    if (*next_value == *value - 1 && !zero_filled && take_minus_sign(out)) {
      out.columns.emplace_back(TemplateCounter{-*value, 0});
      continue;
    }
    if (*next_value != *value + 1) return std::nullopt;
    if (zero_filled && runs[i].size() > kMaxCounterWidth) return std::nullopt;
    out.columns.emplace_back(TemplateCounter{*value, zero_filled ? static_cast<uint32_t>(runs[i].size()) : 0});
  }
  if (out.columns.size() > kMaxTemplateColumns) return std::nullopt;
  return out;
}

}  // namespace

std::optional<NameTemplate> find_name_template(std::span<const std::string> names) {
  if (names.empty()) return std::nullopt;
  auto found = names.size() == 1 ? template_of_first_names(names[0], names[0])
                                 : template_of_first_names(names[0], names[1]);
  if (!found) return std::nullopt;
  for (size_t i = 0; i < names.size(); ++i)
    if (render_name_template(*found, i) != names[i]) return std::nullopt;
  return found;
}

Result<NameTemplate> parse_name_template(ByteSpan data) {
  ByteCursor in(data);
  auto varint_error = [] { return template_error("varint too long"); };
  uint64_t count = ZELK_TRY(read_varint(in, varint_error));
  if (count > kMaxTemplateColumns) return fail(template_error("name template too large"));
  NameTemplate parsed;
  for (uint64_t i = 0; i < count; ++i) {
    auto tag = in.take_u8();
    if (!tag) return fail(template_error("truncated"));
    if (*tag == 0) {
      uint64_t length = ZELK_TRY(read_varint(in, varint_error));
      auto literal = in.take(length);
      if (!literal) return fail(template_error("truncated"));
      parsed.columns.emplace_back(std::string(literal->begin(), literal->end()));
    } else if (*tag == 1) {
      int64_t offset = zigzag_decode(ZELK_TRY(read_varint(in, varint_error)));
      uint64_t width = ZELK_TRY(read_varint(in, varint_error));
      if (width > kMaxCounterWidth) return fail(template_error("name-template counter pad too large"));
      parsed.columns.emplace_back(TemplateCounter{offset, static_cast<uint32_t>(width)});
    } else {
      return fail(template_error("bad name-template column tag"));
    }
  }
  return parsed;
}

std::string render_name_template(const NameTemplate& name_template, uint64_t n) {
  std::string out;
  for (const TemplateColumn& column : name_template.columns) {
    if (const auto* literal = std::get_if<std::string>(&column)) {
      out += *literal;
    } else {
      const auto& counter = std::get<TemplateCounter>(column);
      auto value = static_cast<int64_t>(static_cast<uint64_t>(counter.offset) + n);  // wraps
      detail::append_zero_filled(out, value, counter.width);
    }
  }
  return out;
}

Bytes encode_name_template(const NameTemplate& name_template) {
  Bytes out;
  append_varint(out, name_template.columns.size());
  for (const TemplateColumn& column : name_template.columns) {
    if (const auto* literal = std::get_if<std::string>(&column)) {
      out.push_back(0);
      append_varint(out, literal->size());
      append_bytes(out, as_bytes(*literal));
    } else {
      const auto& counter = std::get<TemplateCounter>(column);
      out.push_back(1);
      append_varint(out, zigzag_encode(counter.offset));
      append_varint(out, counter.width);
    }
  }
  return out;
}

}  // namespace zelk::names
