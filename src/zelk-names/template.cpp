// The name template: literal and counter columns rendering synthetic names.
#include "zelk-names/names.h"
#include "zelk-names/number_text.h"

namespace zelk::names {

namespace {

ArchiveError template_error(std::string_view detail) {
  return ArchiveError::malformed_stream(ErrorKind::NameCodec, detail);
}

}  // namespace

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
