#pragma once

// Deadlines that all run the same length from when they are set fall due in the order they were
// set. One timer, armed for the oldest that still waits, serves them all: a newer deadline joins
// without touching it, where a timer of its own would reprogram the kernel's timer each time it
// became the earliest, once or twice for every request of a busy server.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>

namespace pd::platform::net {

template <typename Entry>
class DeadlineLine : public std::enable_shared_from_this<DeadlineLine<Entry>> {
public:
  using Clock = std::chrono::steady_clock;
  // waiting(entry): whether the entry still waits on its deadline; due(entry): runs on the
  // executor once the entry's deadline has passed while it waited (the owner looks again).
  DeadlineLine(const boost::asio::any_io_executor& executor, std::function<bool(const Entry&)> waiting,
               std::function<void(const Entry&)> due)
      : timer_(executor), waiting_(std::move(waiting)), due_(std::move(due)) {}

  // On the executor; `at` never earlier than the previous call's.
  void add(Clock::time_point at, Entry entry) {
    entries_.emplace_back(at, std::move(entry));
    if (!armed_) {
      arm();
    }
  }
  // On the executor, after an entry stopped waiting: the front sheds what no longer waits, so that
  // the line stays as short as the number of entries still waiting.
  void dropFinished() {
    while (!entries_.empty() && !waiting_(entries_.front().second)) {
      entries_.pop_front();
    }
  }

private:
  void arm() {
    dropFinished();
    armed_ = !entries_.empty();
    if (!armed_) {
      return;
    }
    timer_.expires_at(entries_.front().first);
    timer_.async_wait([weak = this->weak_from_this()](std::error_code error) {
      if (auto self = weak.lock(); self && !error) {
        self->fire();
      }
    });
  }

  void fire() {
    const auto now = Clock::now();
    while (!entries_.empty() && entries_.front().first <= now) {
      auto entry = std::move(entries_.front().second);
      entries_.pop_front();
      if (waiting_(entry)) {
        due_(entry);
      }
    }
    arm();
  }

  std::deque<std::pair<Clock::time_point, Entry>> entries_;
  boost::asio::steady_timer timer_;
  std::function<bool(const Entry&)> waiting_;
  std::function<void(const Entry&)> due_;
  bool armed_ = false;
};

} // namespace pd::platform::net
