#pragma once

// One-shot timers whose callbacks run on the main thread, measured on the monotonic clock. Users
// take them through this interface so that tests can fire their time limits and back-offs by
// hand instead of waiting for them.

#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <memory>

namespace pd::runtime {

class MainThreadTimers {
public:
  class Timer {
  public:
    virtual ~Timer() = default;
    // After this returns the callback never runs. Destroying the timer does the same; both
    // are allowed from inside the timer's own callback.
    virtual void invalidate() = 0;
  };

  virtual ~MainThreadTimers() = default;

  // Calls `fire` once on the main thread after `delay` (NaN and negative values count as 0),
  // unless the returned timer was invalidated or destroyed first. Fractional seconds pass
  // unrounded, so a computed back-off is kept exactly as it was worked out.
  virtual std::unique_ptr<Timer> schedule(std::chrono::duration<double> delay, UniqueFunction<void()> fire) = 0;

  // Steady timers on runtime::MainThread's executor.
  static std::shared_ptr<MainThreadTimers> system();
};

} // namespace pd::runtime
