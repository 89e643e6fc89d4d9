#pragma once

// File helpers shared by the log ring, its export and the payload store.

#include "runtime/Clock.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace pd::diagnostics {

// When the file or folder was created (its birth time), without following a link. Where the
// file system keeps no birth time, the last modification stands in: the ring's files are
// written once and never changed. None when neither can be read.
std::optional<runtime::Clock::WallTime> fileCreationTime(const std::filesystem::path& path) noexcept;

// The whole of a regular file, read without following a link; none when it cannot be read,
// is not a regular file or is longer than maxBytes.
std::optional<std::string> readFileBounded(const std::filesystem::path& path, std::size_t maxBytes);

} // namespace pd::diagnostics
