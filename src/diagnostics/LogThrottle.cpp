#include "diagnostics/LogThrottle.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

namespace pd::diagnostics {

LogThrottle& LogThrottle::shared() {
  static LogThrottle* const instance = new LogThrottle();
  return *instance;
}

std::optional<std::int64_t> LogThrottle::shouldEmit(std::string_view key, std::int64_t every, double minInterval) {
  every = std::max<std::int64_t>(every, 1); // a modulus of 0 would be undefined
  auto elapsedSince = [](runtime::Clock::MonotonicTime now, runtime::Clock::MonotonicTime then) {
    return std::max(0.0,
                    std::chrono::duration<double>(now - then).count()); // another thread may have stored a later time
  };

  State* state = nullptr;
  std::int64_t n = 0;
  std::optional<runtime::Clock::MonotonicTime> lastEmit;
  {
    std::scoped_lock lock(mutex_);
    auto found = keys_.find(key);
    if (found == keys_.end()) found = keys_.emplace(std::string(key), State{}).first;
    state = &found->second; // entries are never erased, and rehashing keeps references valid
    if (state->count < std::numeric_limits<std::int64_t>::max()) ++state->count;
    n = state->count;
    if (n != 1 && n % every != 0) return std::nullopt;
    lastEmit = state->lastEmit;
  }

  // The clock is read outside the lock (a test clock has a lock of its own), and only for the
  // few calls that pass the count. The last-emit time only ever moves forward, so a call that
  // the time noted above already suppresses stays suppressed.
  const runtime::Clock::MonotonicTime now = runtime::Clock::current().monotonic();
  if (lastEmit && elapsedSince(now, *lastEmit) < minInterval) return std::nullopt; // false for NaN: no limit

  std::scoped_lock lock(mutex_);
  if (state->lastEmit) {
    if (elapsedSince(now, *state->lastEmit) < minInterval) return std::nullopt;
    state->lastEmit = std::max(*state->lastEmit, now);
  } else {
    state->lastEmit = now;
  }
  return n;
}

std::optional<std::int64_t> LogThrottle::reset(std::string_view key) {
  std::scoped_lock lock(mutex_);
  const auto found = keys_.find(key);
  if (found == keys_.end() || found->second.count == 0) return std::nullopt;
  const std::int64_t removed = found->second.count;
  found->second.count = 0;
  return removed;
}

void LogThrottle::resetAll() {
  std::scoped_lock lock(mutex_);
  // Entries stay: a call in flight may still hold a reference to its state.
  for (auto& [key, state] : keys_) state = State{};
}

} // namespace pd::diagnostics
