#pragma once

#include <optional>
#include <string_view>

namespace vexodl::common {

// ParseWholeNumber reads `text` as a whole number from `low` to `high`: decimal digits only, no
// sign, no blanks, no suffix. nullopt for anything else, and for a number past `high` however
// many digits it has. Both back-ends read their numeric settings through it, so that every
// variable refuses the same texts.
// REQUIRES: 0 <= low <= high.
inline std::optional<long long> ParseWholeNumber(std::string_view text, long long low,
                                                 long long high) {
  if (text.empty()) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value > (high - digit) / 10) return std::nullopt;  // past `high`, before it overflows
    value = value * 10 + digit;
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace vexodl::common
