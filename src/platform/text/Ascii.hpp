#pragma once

// Case folding of ASCII letters only, for text whose case rules are ASCII by definition: header
// names, schemes, hosts, file extensions, hex digits. The C library's folding follows the locale
// the environment sets, where a Turkish one lowers "I" to a dotless i and a single-byte one folds
// bytes above 0x7F; these never do. Unicode folding of what a user typed is lowercased() in
// Trim.hpp.

#include <algorithm>
#include <string>
#include <string_view>

namespace pd::platform::text {

constexpr char asciiLower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr char asciiUpper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string asciiLowerCopy(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), asciiLower);
  return out;
}

constexpr bool asciiEqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  return std::ranges::equal(a, b, [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

constexpr bool asciiStartsWithIgnoreCase(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && asciiEqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

} // namespace pd::platform::text
