// GCC 12 reports a false null dereference inside Asio when a strand is type-erased into an
// any_io_executor (any_executor_base::equal_ex); the strands are made here so that callers do not meet it.
#pragma GCC diagnostic ignored "-Wnull-dereference"

#include "runtime/Task.hpp"

#include "runtime/Clock.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <thread>

namespace pd::runtime {

namespace detail {

namespace {

thread_local TaskStateBase* tCurrentTask = nullptr;
thread_local const TaskStateBase* tSpawning = nullptr;

class CurrentTaskScope {
public:
  explicit CurrentTaskScope(TaskStateBase* task) noexcept : previous_(std::exchange(tCurrentTask, task)) {}
  ~CurrentTaskScope() { tCurrentTask = previous_; }
  CurrentTaskScope(const CurrentTaskScope&) = delete;
  CurrentTaskScope& operator=(const CurrentTaskScope&) = delete;

private:
  TaskStateBase* previous_;
};

// Runs a task's work on its serial executor with the task marked as current, so that
// isCancelled() and CancellationHandler find it wherever the body resumes.
class TaskTarget final : public ExecutionTarget {
public:
  TaskTarget(boost::asio::any_io_executor serial, std::shared_ptr<TaskStateBase> state)
      : serial_(std::move(serial)), state_(std::move(state)) {}

  void execute(UniqueFunction<void()> work, bool mayRunInline) override {
    auto marked = [state = state_, work = std::move(work)]() mutable {
      CurrentTaskScope scope(state.get());
      work();
    };
    if (mayRunInline) {
      boost::asio::prefer(serial_, boost::asio::execution::blocking.possibly).execute(std::move(marked));
    } else {
      boost::asio::require(serial_, boost::asio::execution::blocking.never).execute(std::move(marked));
    }
  }
  bool isCurrent() const noexcept override { return currentTask() == state_.get(); }
  boost::asio::execution_context& context() const noexcept override {
    return boost::asio::query(serial_, boost::asio::execution::context);
  }
  bool isSerial() const noexcept override { return true; }
  std::shared_ptr<void> trackWork() override {
    return std::make_shared<boost::asio::any_io_executor>(
        boost::asio::prefer(serial_, boost::asio::execution::outstanding_work.tracked));
  }

  const boost::asio::any_io_executor& serial() const noexcept { return serial_; }

private:
  boost::asio::any_io_executor serial_;
  std::shared_ptr<TaskStateBase> state_;
};

} // namespace

struct TaskStateBase::HandlerRecord {
  enum Stage : int { pending, running, done, removed };

  explicit HandlerRecord(UniqueFunction<void()> h) : handler(std::move(h)) {}
  UniqueFunction<void()> handler;
  std::atomic<int> stage{pending};
  // Set before the stage becomes running, so that a removal from inside the handler (on the
  // thread that runs it) can tell that waiting for it would wait for itself.
  std::atomic<std::thread::id> runner{};

  void run() noexcept {
    runner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    int expected = pending;
    if (!stage.compare_exchange_strong(expected, running, std::memory_order_acq_rel)) {
      return; // removed after cancel() took it, before its turn came
    }
    handler();
    stage.store(done, std::memory_order_release);
    stage.notify_all();
  }
};

TaskStateBase::TaskStateBase(boost::asio::any_io_executor serial) : serial_(std::move(serial)) {}

TaskStateBase::~TaskStateBase() = default;

void TaskStateBase::cancel() noexcept {
  if (cancelled_.exchange(true, std::memory_order_acq_rel)) {
    return;
  }
  std::vector<std::shared_ptr<HandlerRecord>> handlers;
  {
    std::scoped_lock lock(mutex_);
    handlers.swap(handlers_);
  }
  for (auto& handler : handlers) {
    handler->run();
  }
  if (!isFinished()) {
    // The signal is not thread-safe: emit it where the body runs, between its steps. By then the
    // body may have seen the flag and moved on to clean-up, which must not be cancelled.
    boost::asio::post(serial_, [self = shared_from_this()] {
      if (!self->observed_.load(std::memory_order_acquire)) {
        self->signal_.emit(boost::asio::cancellation_type::terminal);
      }
    });
  }
}

void TaskStateBase::onFinish(UniqueFunction<void()> callback) {
  {
    std::scoped_lock lock(mutex_);
    if (!isFinished()) {
      finishCallbacks_.push_back(std::move(callback));
      return;
    }
  }
  callback();
}

void TaskStateBase::markFinished() noexcept {
  std::vector<UniqueFunction<void()>> callbacks;
  {
    std::scoped_lock lock(mutex_);
    finished_.store(true, std::memory_order_release);
    callbacks.swap(finishCallbacks_);
  }
  for (auto& callback : callbacks) {
    callback();
  }
}

std::shared_ptr<TaskStateBase::HandlerRecord> TaskStateBase::addCancellationHandler(UniqueFunction<void()> handler) {
  auto record = std::make_shared<HandlerRecord>(std::move(handler));
  {
    std::scoped_lock lock(mutex_);
    if (!isCancelled()) {
      handlers_.push_back(record);
      return record;
    }
  }
  record->run();
  return record;
}

void TaskStateBase::removeCancellationHandler(const std::shared_ptr<HandlerRecord>& record) noexcept {
  {
    std::scoped_lock lock(mutex_);
    auto found = std::find(handlers_.begin(), handlers_.end(), record);
    if (found != handlers_.end()) {
      handlers_.erase(found);
      return;
    }
  }
  // Taken by cancel(). Not started yet: it never will. Running on this very thread (a handler
  // that removes itself, directly or through what it calls): waiting would never end. Running
  // elsewhere: wait until it returns.
  int seen = HandlerRecord::pending;
  if (record->stage.compare_exchange_strong(seen, HandlerRecord::removed, std::memory_order_acq_rel)) {
    return;
  }
  if (seen == HandlerRecord::running && record->runner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    return;
  }
  while (seen == HandlerRecord::running) {
    record->stage.wait(seen, std::memory_order_acquire);
    seen = record->stage.load(std::memory_order_acquire);
  }
}

// Kept out of line: a coroutine may resume on another thread, and an inlined thread-local
// address must never outlive a suspension point.
[[gnu::noinline]] TaskStateBase* currentTask() noexcept { return tCurrentTask; }

SpawningScope::SpawningScope(const TaskStateBase* task) noexcept : previous_(std::exchange(tSpawning, task)) {}
SpawningScope::~SpawningScope() { tSpawning = previous_; }
[[gnu::noinline]] bool SpawningScope::isSpawning(const TaskStateBase* task) noexcept { return tSpawning == task; }

boost::asio::any_io_executor serialize(const boost::asio::any_io_executor& executor) {
  // A task must not keep its executor's loop busy for as long as its handle lives.
  auto untracked = boost::asio::prefer(executor, boost::asio::execution::outstanding_work.untracked);
  if (const auto* ours = untracked.target<Executor>()) {
    if (const auto* task = dynamic_cast<const TaskTarget*>(ours->target().get())) {
      return task->serial();
    }
    if (ours->isSerial()) {
      return untracked;
    }
  }
  if (untracked.target<boost::asio::strand<boost::asio::any_io_executor>>() != nullptr ||
      untracked.target<boost::asio::strand<Executor>>() != nullptr) {
    return untracked;
  }
  return boost::asio::make_strand(untracked);
}

Executor taskExecutor(boost::asio::any_io_executor serial, std::shared_ptr<TaskStateBase> state) {
  return Executor(std::make_shared<TaskTarget>(std::move(serial), std::move(state)));
}

boost::asio::any_io_executor adoptCurrentTask(const boost::asio::any_io_executor& executor) {
  auto* task = currentTask();
  if (task == nullptr) {
    return executor;
  }
  return taskExecutor(serialize(executor), task->shared_from_this());
}

} // namespace detail

[[gnu::noinline]] bool isCancelled() noexcept {
  auto* task = detail::currentTask();
  if (task == nullptr || !task->isCancelled()) {
    return false;
  }
  task->markCancellationObserved();
  return true;
}

void checkCancellation() {
  if (isCancelled()) {
    throw CancellationError();
  }
}

Awaitable<void> sleep(std::chrono::nanoseconds duration) {
  checkCancellation();
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
  timer.expires_after(std::max(duration, std::chrono::nanoseconds::zero()));
  boost::system::error_code error;
  co_await timer.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, error));
  if (error == boost::asio::error::operation_aborted) {
    throw CancellationError();
  }
  if (error) {
    throw boost::system::system_error(error, "sleep");
  }
  checkCancellation();
}

Awaitable<void> sleepSeconds(double seconds) { return sleep(durationFromSeconds(seconds)); }

CancellationHandler::CancellationHandler(UniqueFunction<void()> handler) {
  if (auto* task = detail::currentTask()) {
    task_ = task->shared_from_this();
    record_ = task_->addCancellationHandler(std::move(handler));
  }
}

CancellationHandler::~CancellationHandler() {
  if (task_) {
    task_->removeCancellationHandler(record_);
  }
}

} // namespace pd::runtime
