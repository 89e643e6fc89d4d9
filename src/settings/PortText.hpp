#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pd::settings {

// Reads what the user typed into the OSC port field: spaces and tabs around it are dropped
// (line breaks are not), then one optional "+" or "-" and one or more ASCII digits, nothing
// else. Leading zeros do not count ("08000" is 8000). None unless the value lies in 1...65535,
// so "-0", "0" and every negative number are refused.
std::optional<std::uint16_t> parsePortText(std::string_view text) noexcept;

} // namespace pd::settings
