#include "settings/PortText.hpp"

namespace pd::settings {

std::optional<std::uint16_t> parsePortText(std::string_view text) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);

  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;

  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    // Stops before the sum can wrap; every longer text with a non-zero digit is out of range.
    if (value > 65535) return std::nullopt;
  }
  if (value == 0 || negative) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

} // namespace pd::settings
