#pragma once

// Single-flight work that any number of callers await and any single caller may stop awaiting.
//
//   auto work = SharedWork<Bytes>::make(runtime::spawn(pool, fetch));
//   Bytes bytes = co_await work->value();   // CancellationError at once when this task is cancelled
//
// A caller whose task is cancelled leaves at once and leaves the others waiting. When the last
// caller leaves because of cancellation, nobody wants the result any more: the work turns
// abandoned for good and its task is cancelled, so that its registry starts a fresh work for the
// next caller instead of joining a dying one. A registry therefore joins only a live work and
// clears its slot only when the slot still holds that very work.

#include "runtime/Callback.hpp"
#include "runtime/Error.hpp"
#include "runtime/Task.hpp"
#include "runtime/UniqueFunction.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace pd::relay {

inline bool isCancellation(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const runtime::CancellationError&) {
    return true;
  } catch (...) {
    return false;
  }
}

// A value or an error; exactly one is set.
template <typename T>
struct WorkOutcome {
  std::optional<runtime::detail::Stored<T>> value;
  std::exception_ptr error;
};

// Hands one outcome to one suspended caller: the first outcome offered wins, later ones are
// dropped, and the caller is always resumed outside the lock.
template <typename T>
class ResultGate {
public:
  using Continuation = runtime::UniqueFunction<void(WorkOutcome<T>)>;

  // False when an outcome was already there: the caller has been resumed with it at once.
  bool install(Continuation continuation) {
    std::unique_lock lock(mutex_);
    if (!pending_) {
      continuation_ = std::move(continuation);
      return true;
    }
    WorkOutcome<T> copy = *pending_;
    lock.unlock();
    continuation(std::move(copy));
    return false;
  }

  void resolve(WorkOutcome<T> outcome) {
    std::unique_lock lock(mutex_);
    if (pending_ || delivered_) return;
    if (!continuation_) {
      pending_ = std::move(outcome);
      return;
    }
    auto continuation = std::move(continuation_);
    continuation_ = nullptr;
    delivered_ = true;
    lock.unlock();
    continuation(std::move(outcome));
  }

private:
  std::mutex mutex_;
  Continuation continuation_;
  std::optional<WorkOutcome<T>> pending_;
  // The installed caller was resumed; the outcome itself is not kept (it may be a whole chunk).
  bool delivered_ = false;
};

template <typename T>
class SharedWork : public std::enable_shared_from_this<SharedWork<T>> {
public:
  // The task is already running: it runs whether or not anybody awaits it.
  static std::shared_ptr<SharedWork> make(runtime::Task<T> task) {
    return std::shared_ptr<SharedWork>(new SharedWork(std::move(task)));
  }

  bool isAbandoned() const {
    std::scoped_lock lock(mutex_);
    return abandoned_;
  }

  std::int64_t waiters() const {
    std::scoped_lock lock(mutex_);
    return waiters_;
  }

  const runtime::Task<T>& task() const noexcept { return task_; }

  runtime::Awaitable<T> value() {
    {
      std::scoped_lock lock(mutex_);
      ++waiters_;
    }
    auto gate = std::make_shared<ResultGate<T>>();
    WorkOutcome<T> outcome;
    {
      // Runs at once when the calling task is already cancelled.
      runtime::CancellationHandler onCancel([gate] {
        gate->resolve({std::nullopt, std::make_exception_ptr(runtime::CancellationError())});
      });
      auto start = [gate, state = task_.state()](runtime::UniqueFunction<void(WorkOutcome<T>)> done) {
        if (!gate->install(std::move(done))) return;
        // Forwards the work's outcome to this caller's gate; a gate that already delivered a
        // cancellation drops it.
        state->onFinish([gate, weak = std::weak_ptr<runtime::detail::TaskState<T>>(state)] {
          auto finished = weak.lock();
          if (!finished) return;
          gate->resolve({finished->storedValue(), finished->error()});
        });
      };
      outcome = co_await runtime::awaitCallback<WorkOutcome<T>>(std::move(start));
    }
    const bool leftByCancellation = isCancellation(outcome.error);
    bool cancelTask = false;
    {
      std::scoped_lock lock(mutex_);
      --waiters_;
      if (waiters_ == 0 && leftByCancellation) {
        abandoned_ = true;
        cancelTask = true;
      }
    }
    if (cancelTask) task_.cancel();
    if (outcome.error) std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>) {
      co_return std::move(*outcome.value);
    }
  }

private:
  explicit SharedWork(runtime::Task<T> task) : task_(std::move(task)) {}

  runtime::Task<T> task_;
  mutable std::mutex mutex_;
  std::int64_t waiters_ = 0;
  bool abandoned_ = false;
};

} // namespace pd::relay
