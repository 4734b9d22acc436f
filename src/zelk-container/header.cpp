#include "zelk-container/header.h"

#include <cstring>

#include "zelk-base/crc32c.h"
#include "zelk-base/io.h"

namespace zelk::container {

namespace {

bool is_valid_utf8(ByteSpan text) {
  size_t i = 0;
  while (i < text.size()) {
    uint8_t lead = text[i];
    size_t extra;
    uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (text[i + k] & 0x3F);
    }
    static constexpr uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

// A member-labels payload that fails any rule yields no labels, not an error.
std::vector<std::string> parse_member_labels(ByteSpan payload, uint8_t member_count) {
  ByteCursor cursor(payload);
  auto count = cursor.take_u8();
  if (!count || *count != member_count) return {};
  std::vector<std::string> labels;
  for (unsigned i = 0; i < *count; ++i) {
    auto length = cursor.take_u8();
    if (!length || *length < 1 || *length > 15) return {};
    auto text = cursor.take(*length);
    if (!text || !is_valid_utf8(*text)) return {};
    labels.emplace_back(text->begin(), text->end());
  }
  return labels;
}

Result<std::vector<std::string>> parse_extensions(ByteSpan region, uint8_t member_count) {
  std::vector<std::string> labels;
  ByteCursor cursor(region);
  while (!cursor.at_end()) {
    if (cursor.remaining() < 3)
      return fail(ArchiveError::malformed("truncated header extension record"));
    uint8_t tag = *cursor.take_u8();
    uint16_t length = *cursor.take_le<uint16_t>();
    auto payload = cursor.take(length);
    if (!payload) return fail(ArchiveError::malformed("header extension record overruns region"));
    if (tag == kExtensionMemberLabels) {
      labels = parse_member_labels(*payload, member_count);
    } else if (tag >= kExtensionFirstCritical) {
      return fail(ArchiveError::unsupported_critical_extension(tag));
    }
  }
  return labels;
}

}  // namespace

Result<ArchiveHeader> read_header(BufferedReader& reader) {
  uint8_t fixed[kFixedHeaderSize];
  size_t got = ZELK_TRY(reader.read_some_exact(fixed));
  if (got < kFixedHeaderSize) return fail(ArchiveError::truncated());
  if (std::memcmp(fixed, kHeaderMagic, 4) != 0) return fail(ArchiveError::bad_magic());

  ArchiveHeader header;
  header.major = fixed[4];
  header.minor = fixed[5];
  if (header.major != 1) return fail(ArchiveError::unsupported_version(header.major, header.minor));
  header.required_features = load_le<uint64_t>(fixed + 6);
  if (header.required_features & ~uint64_t{1})
    return fail(ArchiveError::unsupported_features(header.required_features & ~uint64_t{1}));
  header.seq_order = fixed[14];
  header.quality_binning = fixed[15];
  header.flags = fixed[16];
  header.member_count = fixed[17] == 0 ? 1 : fixed[17];
  header.platform = fixed[18];
  uint16_t extension_length = load_le<uint16_t>(fixed + 19);

  Bytes region(extension_length);
  ZELK_TRY(reader.read_exact(region));
  uint8_t stored_crc[4];
  ZELK_TRY(reader.read_exact(stored_crc));
  uint32_t crc = crc32c_extend(crc32c(fixed), region);
  if (crc != load_le<uint32_t>(stored_crc)) return fail(ArchiveError::corrupt("header"));
  if (header.flags & kFlagsUnknown) return fail(ArchiveError::unsupported_flags(header.flags & kFlagsUnknown));

  header.member_labels = ZELK_TRY(parse_extensions(region, header.member_count));
  header.length = kMinHeaderSize + extension_length;
  return header;
}

const char* platform_display_name(uint8_t code) {
  static constexpr const char* kNames[] = {"unknown", "Illumina", "Oxford Nanopore", "PacBio",
                                           "MGI/BGI"};
  return code < 5 ? kNames[code] : kNames[0];
}

Bytes encode_header(const HeaderFields& fields) {
  Bytes out(fields.magic, fields.magic + 4);
  out.push_back(fields.major);
  out.push_back(fields.minor);
  append_le(out, fields.required_features);
  out.push_back(fields.seq_order);
  out.push_back(fields.quality_binning);
  out.push_back(fields.flags);
  out.push_back(fields.member_count);
  out.push_back(fields.platform);
  append_le(out, static_cast<uint16_t>(fields.extensions.size()));
  append_bytes(out, fields.extensions);
  append_le(out, fields.crc.value_or(crc32c(out)));
  return out;
}

void append_extension_record(Bytes& region, uint8_t tag, ByteSpan payload) {
  region.push_back(tag);
  append_le(region, static_cast<uint16_t>(payload.size()));
  append_bytes(region, payload);
}

Bytes member_labels_payload(const std::vector<std::string>& labels) {
  Bytes payload{static_cast<uint8_t>(labels.size())};
  for (const auto& label : labels) {
    payload.push_back(static_cast<uint8_t>(label.size()));
    append_bytes(payload, as_bytes(label));
  }
  return payload;
}

}  // namespace zelk::container
