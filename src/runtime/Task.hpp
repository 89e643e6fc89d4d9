#pragma once

// Tasks: coroutines spawned on an executor, with cooperative, sticky cancellation.
//
//   auto task = runtime::spawn(queue.executor(), [weak]() -> runtime::Awaitable<int> {
//     co_await runtime::sleep(std::chrono::milliseconds(100));   // throws CancellationError when cancelled
//     auto self = runtime::requireOwner(weak);                   // ends quietly when the owner is gone
//     co_return self->compute();
//   });
//   task.cancel();                       // from any thread, any number of times
//   int v = co_await task.value();       // the value, or the body's exception rethrown
//
// Cancellation never stops a task by force. cancel() sets a flag that stays set, runs the
// cancellation handlers the task registered (on the cancelling thread), and cancels the Asio
// operation the task is awaiting (which then fails with operation_aborted; our own sleep() turns
// that into CancellationError). Once the task has noticed its cancellation itself (isCancelled()
// answered true, checkCancellation() or sleep() threw), what it awaits afterwards is deliberate
// clean-up and is left alone; code checks isCancelled()/checkCancellation() before starting
// anything long. A task's body runs one step at a time: on a pool executor it is given a strand of
// its own.
//
// A task whose executor drops its work (the queue shut down) ends with CancellationError.
//
// GCC 12 destroys a lambda with captures twice when the lambda expression is a temporary inside a
// co_await expression (co_await f([p] {...})). Bind such a lambda to a named local first.

#include "runtime/Error.hpp"
#include "runtime/Executor.hpp"
#include "runtime/UniqueFunction.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <variant>
#include <vector>

namespace pd::runtime {

template <typename T = void>
using Awaitable = boost::asio::awaitable<T>;

// Inside a task: whether it was cancelled. Outside any task: false.
bool isCancelled() noexcept;
// Inside a task: throws CancellationError when it was cancelled.
void checkCancellation();

// Suspends the calling coroutine for the duration on the monotonic clock. Inside a task it throws
// CancellationError at once when the task is already cancelled, and promptly when it is
// cancelled during the wait.
Awaitable<void> sleep(std::chrono::nanoseconds duration);
// Seconds as the design states them; NaN and negative values sleep for zero.
Awaitable<void> sleepSeconds(double seconds);

namespace detail {

class TaskStateBase : public std::enable_shared_from_this<TaskStateBase> {
public:
  struct HandlerRecord;

  explicit TaskStateBase(boost::asio::any_io_executor serial);
  TaskStateBase(const TaskStateBase&) = delete;
  TaskStateBase& operator=(const TaskStateBase&) = delete;
  virtual ~TaskStateBase();

  // Sets the sticky flag, runs the registered handlers on this thread (the first time only) and
  // cancels the operation the task awaits. Handlers must not throw.
  void cancel() noexcept;
  bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
  // The body itself saw the flag: the operation it awaits is no longer cancelled on its behalf.
  void markCancellationObserved() noexcept { observed_.store(true, std::memory_order_release); }
  bool isFinished() const noexcept { return finished_.load(std::memory_order_acquire); }

  // Runs callback once the task has finished: at once on this thread when it already has, else on
  // the thread that finishes it. Never under a lock.
  void onFinish(UniqueFunction<void()> callback);

  // Runs the handler at once (on this thread) when already cancelled, else on cancellation.
  std::shared_ptr<HandlerRecord> addCancellationHandler(UniqueFunction<void()> handler);
  // After this returns the handler never runs again and, unless this thread is the one running
  // it (a handler that removes itself), is not running.
  void removeCancellationHandler(const std::shared_ptr<HandlerRecord>& record) noexcept;

  boost::asio::cancellation_slot cancellationSlot() noexcept { return signal_.slot(); }
  // The serial executor the task's body runs on.
  const boost::asio::any_io_executor& serialExecutor() const noexcept { return serial_; }

protected:
  // Called exactly once, after the result was stored.
  void markFinished() noexcept;

private:
  mutable std::mutex mutex_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> observed_{false};
  std::vector<UniqueFunction<void()>> finishCallbacks_;
  std::vector<std::shared_ptr<HandlerRecord>> handlers_;
  boost::asio::any_io_executor serial_;
  // Touched only on serial_: emitting is not thread-safe.
  boost::asio::cancellation_signal signal_;
};

template <typename T>
using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <typename T>
class TaskState final : public TaskStateBase {
public:
  using TaskStateBase::TaskStateBase;

  void succeed(Stored<T> value) {
    value_.emplace(std::move(value));
    markFinished();
  }
  void fail(std::exception_ptr error) {
    error_ = std::move(error);
    markFinished();
  }

  // Only once finished.
  T result() const {
    if (error_) {
      std::rethrow_exception(error_);
    }
    if constexpr (!std::is_void_v<T>) {
      return *value_;
    }
  }
  std::exception_ptr error() const noexcept { return error_; }
  const std::optional<Stored<T>>& storedValue() const noexcept { return value_; }

private:
  std::optional<Stored<T>> value_;
  std::exception_ptr error_;
};

// The task whose body the calling thread runs right now, or null.
TaskStateBase* currentTask() noexcept;
// A serial executor for a task body: executor itself when it is serial, else a new strand on it.
boost::asio::any_io_executor serialize(const boost::asio::any_io_executor& executor);
// Runs work on serial with state as the current task.
Executor taskExecutor(boost::asio::any_io_executor serial, std::shared_ptr<TaskStateBase> state);
// executor, carrying the calling task (if any) along: work run there counts as part of that task
// (isCancelled(), handlers). For running a piece of a task elsewhere, such as on an actor.
boost::asio::any_io_executor adoptCurrentTask(const boost::asio::any_io_executor& executor);

// Turns an Asio completion handler into a function that may be called from any thread: it
// resumes the handler on the handler's own executor, keeping that executor's loop busy meanwhile.
template <typename... Args, typename Handler>
UniqueFunction<void(Args...)> makeCompletion(Handler handler) {
  auto work = boost::asio::prefer(boost::asio::get_associated_executor(handler),
                                  boost::asio::execution::outstanding_work.tracked);
  return [handler = std::move(handler), work = std::move(work)](Args... args) mutable {
    boost::asio::post(work, [handler = std::move(handler), ... args = std::move(args)]() mutable {
      auto slot = boost::asio::get_associated_cancellation_slot(handler);
      if (slot.is_connected()) {
        slot.clear();
      }
      std::move(handler)(std::move(args)...);
    });
  };
}

// Marks the calling thread as inside spawn() of the task, so that a body that Asio starts at once
// on the spawner's thread can tell and step out of it first.
class SpawningScope {
public:
  explicit SpawningScope(const TaskStateBase* task) noexcept;
  ~SpawningScope();
  SpawningScope(const SpawningScope&) = delete;
  SpawningScope& operator=(const SpawningScope&) = delete;
  static bool isSpawning(const TaskStateBase* task) noexcept;

private:
  const TaskStateBase* previous_;
};

// Finishes the task exactly once. A body destroyed before it finished (its executor dropped it,
// possibly before it ever started) ends the task as cancelled.
template <typename T>
class TaskOutcome {
public:
  explicit TaskOutcome(std::shared_ptr<TaskState<T>> state) : state_(std::move(state)) {}
  TaskOutcome(TaskOutcome&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
  TaskOutcome& operator=(TaskOutcome&&) = delete;
  TaskOutcome(const TaskOutcome&) = delete;
  TaskOutcome& operator=(const TaskOutcome&) = delete;
  ~TaskOutcome() {
    if (state_) {
      state_->fail(std::make_exception_ptr(CancellationError()));
    }
  }
  void succeed(Stored<T> value) { std::exchange(state_, nullptr)->succeed(std::move(value)); }
  void fail(std::exception_ptr error) { std::exchange(state_, nullptr)->fail(std::move(error)); }
  const TaskStateBase* task() const noexcept { return state_.get(); }

private:
  std::shared_ptr<TaskState<T>> state_;
};

template <typename A>
struct AwaitableValue;
template <typename T, typename E>
struct AwaitableValue<boost::asio::awaitable<T, E>> {
  using type = T;
};

template <typename F>
using BodyValue = typename AwaitableValue<std::remove_cvref_t<std::invoke_result_t<F&>>>::type;

// The outcome is a parameter, not a local: a frame destroyed before its first resumption destroys
// its parameters but never constructed its locals.
template <typename T, typename F>
Awaitable<void> runTask(TaskOutcome<T> outcome, F body) {
  // Cancellation is cooperative: a cancelled task may still await its clean-up.
  co_await boost::asio::this_coro::throw_if_cancelled(false);
  // The body starts later, never inside spawn(): the spawner may hold a lock or be mid-update.
  // Asio starts it at once only on the spawner's own thread; started from a queue, it already
  // runs later and elsewhere, and one more trip through the queue would wake a second thread.
  if (SpawningScope::isSpawning(outcome.task())) {
    auto executor = co_await boost::asio::this_coro::executor;
    co_await boost::asio::post(executor, boost::asio::use_awaitable);
  }
  try {
    if constexpr (std::is_void_v<T>) {
      co_await body();
      outcome.succeed(std::monostate{});
    } else {
      T value = co_await body();
      outcome.succeed(std::move(value));
    }
  } catch (...) {
    outcome.fail(std::current_exception());
  }
}

// The body records its own outcome; this only links the task's signal to the coroutine. It has
// no associated executor on purpose: co_spawn then connects the signal directly instead of
// storing the task's executor in it, which would make the task own itself.
struct TaskCompletion {
  using cancellation_slot_type = boost::asio::cancellation_slot;
  cancellation_slot_type slot;
  cancellation_slot_type get_cancellation_slot() const noexcept { return slot; }
  void operator()(std::exception_ptr) const noexcept {}
};

template <typename T>
Awaitable<T> awaitValue(std::shared_ptr<TaskState<T>> state) {
  if (!state->isFinished()) {
    auto initiation = [state](auto handler) { state->onFinish(makeCompletion<>(std::move(handler))); };
    // Named: GCC 12 destroys a capturing lambda twice when it is a temporary inside co_await.
    co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void()>(std::move(initiation),
                                                                                        boost::asio::use_awaitable);
  }
  co_return state->result();
}

} // namespace detail

// Handle of a spawned task. Copies refer to the same task. Dropping every handle neither cancels
// nor stops the task.
template <typename T = void>
class Task {
public:
  using ValueType = T;

  Task() noexcept = default;
  explicit Task(std::shared_ptr<detail::TaskState<T>> state) noexcept : state_(std::move(state)) {}

  explicit operator bool() const noexcept { return state_ != nullptr; }

  void cancel() const noexcept {
    if (state_) {
      state_->cancel();
    }
  }
  bool isCancelled() const noexcept { return state_ && state_->isCancelled(); }
  bool isFinished() const noexcept { return state_ && state_->isFinished(); }
  // True while the calling thread runs this task's body.
  bool isCurrent() const noexcept { return state_ && detail::currentTask() == state_.get(); }

  // The body's value, or its exception rethrown. Awaiting does not react to the awaiting task's
  // own cancellation (a value is awaited to the end); use race() for a bounded wait. T must be
  // copyable: every awaiter gets the value.
  Awaitable<T> value() const {
    if (!state_) {
      throw std::logic_error("value() of an empty Task");
    }
    return detail::awaitValue<T>(state_);
  }

  const std::shared_ptr<detail::TaskState<T>>& state() const noexcept { return state_; }

private:
  std::shared_ptr<detail::TaskState<T>> state_;
};

// Spawns body() — a callable returning Awaitable<T>, kept alive until the body ends — on executor.
// A body that throws ends the task with that exception.
template <typename F>
  requires std::is_invocable_v<F&>
Task<detail::BodyValue<F>> spawn(const boost::asio::any_io_executor& executor, F body) {
  using T = detail::BodyValue<F>;
  auto serial = detail::serialize(executor);
  auto state = std::make_shared<detail::TaskState<T>>(serial);
  const detail::SpawningScope spawning(state.get());
  boost::asio::co_spawn(detail::taskExecutor(serial, state),
                        detail::runTask<T>(detail::TaskOutcome<T>(state), std::move(body)),
                        detail::TaskCompletion{state->cancellationSlot()});
  return Task<T>(std::move(state));
}

// Spawns an awaitable. A coroutine lambda's captures die with the lambda: pass the lambda itself
// (the overload above) rather than the awaitable it returned.
template <typename T>
Task<T> spawn(const boost::asio::any_io_executor& executor, Awaitable<T> body) {
  return spawn(executor, [body = std::move(body)]() mutable { return std::move(body); });
}

// Fire and forget: the outcome, error or not, is dropped.
template <typename Body>
void spawnDetached(const boost::asio::any_io_executor& executor, Body body) {
  (void)spawn(executor, std::move(body));
}

// Registers a handler with the current task for the lifetime of this object: it runs at once
// when the task is already cancelled, else on the thread that cancels the task. Outside a task it
// does nothing. After the destructor the handler never runs again: it waits for a run under way
// on another thread, but not for one on its own thread (a handler that leads to its destruction).
class CancellationHandler {
public:
  explicit CancellationHandler(UniqueFunction<void()> handler);
  ~CancellationHandler();
  CancellationHandler(const CancellationHandler&) = delete;
  CancellationHandler& operator=(const CancellationHandler&) = delete;

private:
  std::shared_ptr<detail::TaskStateBase> task_;
  std::shared_ptr<detail::TaskStateBase::HandlerRecord> record_;
};

} // namespace pd::runtime
