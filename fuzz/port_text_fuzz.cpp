// Feeds arbitrary bytes to the OSC port field's reader and checks it against a reference built
// from std::from_chars: blanks trimmed, one sign taken off by hand (from_chars knows no "+"),
// the rest read whole as a 16-bit number; refused when it is 0 or carried a "-".

#include "settings/PortText.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace {

std::optional<std::uint16_t> reference(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars would take a second sign for a signed type and skips nothing; an unsigned
  // target refuses any sign, so only digits are left to read.
  if (text.empty()) return std::nullopt;
  std::uint16_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value == 0 || negative) return std::nullopt;
  return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (pd::settings::parsePortText(text) != reference(text)) __builtin_trap();
  return 0;
}
