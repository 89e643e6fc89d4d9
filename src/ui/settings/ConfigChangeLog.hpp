#pragma once

#include "diagnostics/Log.hpp"
#include "settings/AppSettings.hpp"

#include <cstdint>
#include <type_traits>

namespace pd::ui {

// Writes one "config_change" line of the settings window with the next snapshot revision as its
// last argument. A line the log does not write takes no revision. Main thread only.
template <typename... Args>
void logConfigChange(platform::log::FormatString<std::type_identity_t<Args>..., std::int64_t> format,
                     const Args&... args) {
  const auto& log = diagnostics::Log::app();
  if (!log.isEnabled(platform::log::Level::notice)) return;
  log.notice(format, args..., settings::nextConfigSnapshotRevision());
}

} // namespace pd::ui
