#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>

namespace pd::runtime {

// The two clocks of the process. Every interval, deadline and silence judgement reads
// monotonic(); wall() is only for times that are shown, stored or sent to the peer, so a
// clock step can neither fire nor stall a timer.
class Clock {
public:
  using MonotonicTime = std::chrono::steady_clock::time_point;
  using WallTime = std::chrono::system_clock::time_point;

  virtual ~Clock() = default;
  virtual MonotonicTime monotonic() const noexcept = 0;
  virtual WallTime wall() const noexcept = 0;

  // The process-wide clock: the system clock unless a test installed another one. The
  // installed clock must outlive every reader; tests restore the previous one with ScopedClock.
  static const Clock& current() noexcept { return *current_.load(std::memory_order_acquire); }
  static const Clock& system() noexcept;
  static const Clock* install(const Clock* clock) noexcept;

private:
  static std::atomic<const Clock*> current_;
};

// Seconds on the monotonic clock, for interval arithmetic in doubles as the design states it.
inline double monotonicSeconds() noexcept {
  return std::chrono::duration<double>(Clock::current().monotonic().time_since_epoch()).count();
}

// A duration given in seconds as a double (the design's unit), range-checked: NaN and negative
// values give zero, values beyond the representable range give the largest duration.
inline std::chrono::nanoseconds durationFromSeconds(double seconds) noexcept {
  if (!(seconds > 0.0)) {
    return std::chrono::nanoseconds::zero();
  }
  constexpr double kMaxNanoseconds = 9.0e18; // below INT64_MAX, exactly representable
  const double nanoseconds = std::floor(seconds * 1e9);
  if (!(nanoseconds < kMaxNanoseconds)) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(kMaxNanoseconds));
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(nanoseconds));
}

// Seconds since 1970-01-01 UTC on the wall clock.
inline double wallSeconds() noexcept {
  return std::chrono::duration<double>(Clock::current().wall().time_since_epoch()).count();
}

// The peer's wire format counts seconds since 2001-01-01 UTC.
inline constexpr double kReferenceDateOffsetSeconds = 978'307'200.0;
inline double wallSecondsSinceReferenceDate() noexcept { return wallSeconds() - kReferenceDateOffsetSeconds; }

// A clock that moves only when told to, for tests. Thread-safe.
class ManualClock final : public Clock {
public:
  ManualClock();
  MonotonicTime monotonic() const noexcept override;
  WallTime wall() const noexcept override;
  void advance(std::chrono::nanoseconds by);
  // Steps only the wall clock, as an administrator or NTP would.
  void stepWall(std::chrono::nanoseconds by);
  void setWall(WallTime to);

private:
  mutable std::mutex mutex_;
  MonotonicTime mono_;
  WallTime wall_;
};

// Installs a clock for the life of the scope.
class ScopedClock {
public:
  explicit ScopedClock(const Clock& clock) : previous_(Clock::install(&clock)) {}
  ~ScopedClock() { Clock::install(previous_); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

private:
  const Clock* previous_;
};

} // namespace pd::runtime
