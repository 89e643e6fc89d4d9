#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pd::remotesource {

// One optional "+" or "-", then ASCII digits only, read exactly within int64; else none. No
// blanks, fractions, exponents or other bases.
inline std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  const std::string_view digits = plus || (!text.empty() && text.front() == '-') ? text.substr(1) : text;
  if (digits.empty()) return std::nullopt;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // from_chars takes the minus sign itself, so the limit of the negative range stays exact.
  const std::string_view number = plus ? digits : text;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

} // namespace pd::remotesource
