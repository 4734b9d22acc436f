// Decimal text of signed values, shared by the names codec and the template.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace zelk::names::detail {

// Decimal digits of `value` when positive; 1 otherwise.
inline size_t decimal_digits(int64_t value) {
  size_t digits = 1;
  for (; value >= 10; value /= 10) ++digits;
  return digits;
}

// The signed decimal form of `value`, left-filled with '0' (in front of any
// minus sign) up to `width` characters; never cut.
inline void append_zero_filled(std::string& out, int64_t value, size_t width) {
  char text[24];
  size_t length = static_cast<size_t>(std::to_chars(text, text + sizeof text, value).ptr - text);
  if (width > length) out.append(width - length, '0');
  out.append(text, length);
}

}  // namespace zelk::names::detail
