#pragma once

// The tablet's output mode: one mixed stream, or the two decks' raw streams.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pd::link {

enum class StreamMode : std::uint8_t { mix, raw };

inline constexpr std::array<StreamMode, 2> kAllStreamModes = {StreamMode::mix, StreamMode::raw};

// "mix" or "raw": the mode's form in messages and logs.
constexpr std::string_view toString(StreamMode mode) noexcept { return mode == StreamMode::raw ? "raw" : "mix"; }
// Exact and case-sensitive: "Mix" and "RAW" are not modes.
constexpr std::optional<StreamMode> streamModeFromText(std::string_view text) noexcept {
  if (text == "mix") return StreamMode::mix;
  if (text == "raw") return StreamMode::raw;
  return std::nullopt;
}

} // namespace pd::link
