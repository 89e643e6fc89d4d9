#pragma once

#include <filesystem>
#include <optional>

namespace pd::platform::media {

// The container's duration in seconds; none when it cannot be opened or states none.
std::optional<double> mediaDuration(const std::filesystem::path& file);

} // namespace pd::platform::media
