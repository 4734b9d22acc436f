// printf-style formatting into a std::string (the standard library here has
// no <format>).
#pragma once

#include <string>

namespace zelk {

[[gnu::format(printf, 1, 2)]] std::string strprintf(const char* format, ...);

}  // namespace zelk
