#pragma once

#include "runtime/Clock.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pd::diagnostics {

// Decides whether a repeated log event is written: its first occurrence and every `every`-th
// after it, never twice for one key within `minInterval` seconds. Callers write the returned
// count as the line's last field, "occurrences=%ld". Intervals are measured on the monotonic
// clock, so a wall clock step can neither release nor hold back lines.
class LogThrottle {
public:
  static LogThrottle& shared();

  LogThrottle() = default;
  LogThrottle(const LogThrottle&) = delete;
  LogThrottle& operator=(const LogThrottle&) = delete;

  // The key's occurrence count when the event is to be written, nullopt when suppressed. The
  // count grows on every call. `every` below 1 counts as 1; a negative or NaN interval as 0.
  std::optional<std::int64_t> shouldEmit(std::string_view key, std::int64_t every, double minInterval);

  // Removes the key's count and returns it (nullopt when there was none). The key's last-emit
  // time stays, so the interval still holds after a reset.
  std::optional<std::int64_t> reset(std::string_view key);

  // Every key back to its first occurrence, as in a new process: counts and last-emit times
  // gone. For test programs, whose cases share the process-wide throttle.
  void resetAll();

private:
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const noexcept { return std::hash<std::string_view>{}(key); }
  };
  struct State {
    std::int64_t count = 0; // 0: no count (never seen, or reset)
    std::optional<runtime::Clock::MonotonicTime> lastEmit;
  };

  std::mutex mutex_;
  std::unordered_map<std::string, State, KeyHash, std::equal_to<>> keys_;
};

} // namespace pd::diagnostics
