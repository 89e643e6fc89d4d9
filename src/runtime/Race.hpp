#pragma once

// Time-limited waits that never wait for the loser.
//
// race(work, limit): the work's value when it finishes first; nothing when the limit passes
// first or the awaiting task is cancelled first. Whichever side loses is cancelled, and the answer
// does not wait for it to end: a time-out answers at the limit even when the work ignores
// cancellation, and the work's late value is dropped. The caller resumes on its own executor.
//
// Errors: the design's raced work cannot fail (it carries its outcome in its value). A work task
// that does fail first makes race() rethrow its exception, except CancellationError (the work was
// cancelled by someone else), which answers nothing like a time-out. A caller that must tell a
// time-out from its own cancellation checks isCancelled() after the race.
//
// (Asio's awaitable operator|| and parallel_group wait for the cancelled branch to finish, which
// is why these exist.)

#include "runtime/Clock.hpp"
#include "runtime/Task.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace pd::runtime {

namespace detail {

// One race: the first finisher decides the answer, exactly once, and cancels the others.
template <typename T>
class RaceSlot {
public:
  using Outcome = std::variant<std::monostate, T, std::exception_ptr>; // nothing, value, error
  using Continuation = UniqueFunction<void(std::exception_ptr, std::optional<T>)>;
  static constexpr int kCaller = -1;

  // Stores the waiting caller's continuation, or resumes it at once when the race is already over.
  void install(Continuation continuation) {
    std::unique_lock lock(mutex_);
    if (finished_) {
      Outcome outcome = std::move(outcome_);
      lock.unlock();
      deliver(continuation, std::move(outcome));
      return;
    }
    continuation_ = std::move(continuation);
  }

  // A contender that is cancelled when another one wins; at once when that already happened.
  void addContender(int id, UniqueFunction<void()> cancel) {
    std::unique_lock lock(mutex_);
    if (!finished_) {
      contenders_.emplace_back(id, std::move(cancel));
      return;
    }
    const bool lost = winner_ != id;
    lock.unlock();
    if (lost) {
      cancel();
    }
  }

  // True when this call decided the race.
  bool finish(int id, Outcome outcome) {
    std::unique_lock lock(mutex_);
    if (finished_) {
      return false;
    }
    finished_ = true;
    winner_ = id;
    Continuation continuation = std::move(continuation_);
    auto contenders = std::move(contenders_);
    if (!continuation) {
      outcome_ = std::move(outcome);
    }
    lock.unlock();
    for (auto& [contender, cancel] : contenders) {
      if (contender != id) {
        cancel();
      }
    }
    if (continuation) {
      deliver(continuation, std::move(outcome));
    }
    return true;
  }

private:
  static void deliver(Continuation& continuation, Outcome outcome) {
    if (auto* value = std::get_if<T>(&outcome)) {
      continuation(nullptr, std::optional<T>(std::move(*value)));
    } else if (auto* error = std::get_if<std::exception_ptr>(&outcome)) {
      continuation(*error, std::nullopt);
    } else {
      continuation(nullptr, std::nullopt);
    }
  }

  std::mutex mutex_;
  Continuation continuation_;
  Outcome outcome_;
  bool finished_ = false;
  int winner_ = 0;
  std::vector<std::pair<int, UniqueFunction<void()>>> contenders_;
};

// The limit of one race: a timer whose expiry ends the race with nothing. Setting up its wait and
// cancelling it are the only calls made on the timer object, both under the lock, so that
// whichever thread ends the race may cancel it. A pending wait keeps the timer alive.
class RaceTimer : public std::enable_shared_from_this<RaceTimer> {
public:
  explicit RaceTimer(const boost::asio::any_io_executor& executor) : timer_(executor) {}

  template <typename Expired>
  void start(std::chrono::nanoseconds limit, Expired expired) {
    std::scoped_lock lock(mutex_);
    timer_.expires_after(std::max(limit, std::chrono::nanoseconds::zero()));
    timer_.async_wait(
        [self = shared_from_this(), expired = std::move(expired)](const boost::system::error_code& error) mutable {
          if (!error) {
            expired();
          }
        });
  }
  void cancel() {
    std::scoped_lock lock(mutex_);
    timer_.cancel();
  }

private:
  std::mutex mutex_;
  boost::asio::steady_timer timer_;
};

// What a finished task contributes to a race.
template <typename R, typename T>
typename RaceSlot<R>::Outcome raceOutcome(const TaskState<T>& state) {
  if (auto error = state.error()) {
    try {
      std::rethrow_exception(error);
    } catch (const CancellationError&) {
      return std::monostate{};
    } catch (...) {
      return error;
    }
  }
  if constexpr (std::is_void_v<T>) {
    return R{};
  } else {
    return *state.storedValue();
  }
}

// Enters a task into a race under the given id.
template <typename R, typename T>
void enter(const std::shared_ptr<RaceSlot<R>>& slot, int id, const Task<T>& task) {
  slot->addContender(id, [task] { task.cancel(); });
  auto state = task.state();
  state->onFinish([slot, id, weakState = std::weak_ptr<TaskState<T>>(state)] {
    if (auto finished = weakState.lock()) {
      slot->finish(id, raceOutcome<R>(*finished));
    }
  });
}

// Waits for the slot's answer; the awaiting task's cancellation ends the race with nothing.
template <typename R, typename Start>
Awaitable<std::optional<R>> awaitRace(std::shared_ptr<RaceSlot<R>> slot, Start start) {
  auto initiation = [slot, start = std::move(start)](auto handler) mutable {
    auto cancellation = boost::asio::get_associated_cancellation_slot(handler);
    slot->install(makeCompletion<std::exception_ptr, std::optional<R>>(std::move(handler)));
    if (cancellation.is_connected()) {
      cancellation.assign(
          [slot](boost::asio::cancellation_type_t) { slot->finish(RaceSlot<R>::kCaller, std::monostate{}); });
    }
    start();
  };
  // Named: GCC 12 destroys a capturing lambda twice when it is a temporary inside co_await.
  auto answer = co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&,
                                                     void(std::exception_ptr, std::optional<R>)>(
      std::move(initiation), boost::asio::use_awaitable);
  co_return answer;
}

} // namespace detail

template <typename T>
  requires(!std::is_void_v<T>)
Awaitable<std::optional<T>> race(Task<T> work, std::chrono::nanoseconds limit) {
  if (!work) {
    throw std::logic_error("race() of an empty Task");
  }
  if (isCancelled()) {
    work.cancel();
    co_return std::nullopt;
  }
  if (work.isFinished()) {
    // Already won: the same answer the race would give, without arming a timer or a hand-off.
    auto outcome = detail::raceOutcome<T>(*work.state());
    if (auto* error = std::get_if<std::exception_ptr>(&outcome)) {
      std::rethrow_exception(*error);
    }
    if (auto* value = std::get_if<T>(&outcome)) {
      co_return std::optional<T>(std::move(*value));
    }
    co_return std::nullopt;
  }
  auto slot = std::make_shared<detail::RaceSlot<T>>();
  auto start = [slot, work, limit] {
    detail::enter<T>(slot, 0, work);
    // A plain timer, not a task: neither the work nor the caller ever waits for it, and a race
    // that the work wins costs no task, no hand-off and no exception for the limit.
    auto timer = std::make_shared<detail::RaceTimer>(sharedPool().executor());
    timer->start(limit, [slot] { slot->finish(1, std::monostate{}); });
    slot->addContender(1, [timer] { timer->cancel(); });
  };
  auto waiting = detail::awaitRace<T>(slot, std::move(start));
  auto answer = co_await std::move(waiting);
  co_return answer;
}

template <typename T>
  requires(!std::is_void_v<T>)
Awaitable<std::optional<T>> race(Task<T> work, double seconds) {
  return race(std::move(work), durationFromSeconds(seconds));
}

// The value of whichever task finishes first; the other is cancelled and not waited for. Nothing
// when the awaiting task is cancelled first (both are then cancelled). Errors as for race().
template <typename T>
  requires(!std::is_void_v<T>)
Awaitable<std::optional<T>> firstOf(Task<T> first, Task<T> second) {
  if (!first || !second) {
    throw std::logic_error("firstOf() of an empty Task");
  }
  if (isCancelled()) {
    first.cancel();
    second.cancel();
    co_return std::nullopt;
  }
  auto slot = std::make_shared<detail::RaceSlot<T>>();
  auto start = [slot, first, second] {
    detail::enter<T>(slot, 0, first);
    detail::enter<T>(slot, 1, second);
  };
  auto waiting = detail::awaitRace<T>(slot, std::move(start));
  auto answer = co_await std::move(waiting);
  co_return answer;
}

} // namespace pd::runtime
