#pragma once

// The one way a repeated event's line is written: the shared throttle counts every occurrence
// and lets the line through on the first and then every `every`-th, never twice within
// `minInterval`; the line ends in "occurrences=%ld" with that count.

#include "diagnostics/LogThrottle.hpp"
#include "platform/log/Logger.hpp"

#include <chrono>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace pd::diagnostics {

struct ThrottleRule {
  std::int64_t every = 1;
  std::chrono::duration<double> minInterval{0};
};

// For lines whose wording depends on what happened: `write` gets the count and writes the line.
// Returns the count when the line was let through.
template <typename Write>
  requires std::invocable<Write&, std::int64_t>
std::optional<std::int64_t> logThrottled(std::string_view key, ThrottleRule rule, Write&& write) {
  const auto count = LogThrottle::shared().shouldEmit(key, rule.every, rule.minInterval.count());
  if (count) write(*count);
  return count;
}

// The common case: one line at one level, the count appended to `args`.
template <typename... Args>
std::optional<std::int64_t>
logThrottled(const platform::log::Logger& logger, platform::log::Level level, std::string_view key, ThrottleRule rule,
             platform::log::FormatString<std::type_identity_t<Args>..., std::int64_t> format, const Args&... args) {
  return logThrottled(key, rule, [&](std::int64_t count) {
    using platform::log::Level;
    switch (level) {
    case Level::debug: logger.debug<Args..., std::int64_t>(format, args..., count); break;
    case Level::notice: logger.notice<Args..., std::int64_t>(format, args..., count); break;
    case Level::error: logger.error<Args..., std::int64_t>(format, args..., count); break;
    case Level::fault: logger.fault<Args..., std::int64_t>(format, args..., count); break;
    }
  });
}

} // namespace pd::diagnostics
