#include "link/StreamMode.hpp"

namespace pd::link {

std::string_view toString(StreamMode mode) noexcept { return mode == StreamMode::raw ? "raw" : "mix"; }

std::optional<StreamMode> streamModeFromText(std::string_view text) noexcept {
  if (text == "mix") return StreamMode::mix;
  if (text == "raw") return StreamMode::raw;
  return std::nullopt;
}

} // namespace pd::link
