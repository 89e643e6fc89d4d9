#pragma once

// Repeating ticks on an executor (a heartbeat on a serial queue, a refresh on the main thread),
// on the monotonic clock: a wall-clock step neither fires nor stalls it. Ticks keep a fixed rate;
// a tick that is late by more than a period is not made up for (no bursts after a stall).

#include <boost/asio/any_io_executor.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace pd::runtime {

class RepeatingTimer {
public:
  RepeatingTimer(boost::asio::any_io_executor executor, std::chrono::nanoseconds period, std::function<void()> tick);
  // cancel()
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // The first tick comes after firstDelay, the next ones every period. Restarting a started timer
  // moves its schedule.
  void start(std::chrono::nanoseconds firstDelay);
  void start() { start(period_); }

  // No tick starts after this returns. A tick running on another thread is waited for, so the
  // tick may safely use what the caller is about to destroy; from inside a tick it returns at once.
  void cancel() noexcept;
  bool isRunning() const noexcept;

private:
  struct Core;
  std::chrono::nanoseconds period_;
  std::shared_ptr<Core> core_;
};

} // namespace pd::runtime
