#include "runtime/MainThread.hpp"

#include "runtime/Executor.hpp"
#include "runtime/detail/Queues.hpp"

#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <utility>

namespace pd::runtime {

namespace {

// Timers and sockets made on the main-thread executor belong to this context. It is not a loop
// of its own: Asio gives its reactor a private thread that waits for the timers and hands their
// completions to the main-thread executor. It lives as long as the process.
class MainThreadContext final : public boost::asio::execution_context {};

class MainThreadTarget final : public detail::ExecutionTarget {
public:
  void execute(UniqueFunction<void()> work, bool mayRunInline) override;
  bool isCurrent() const noexcept override { return MainThread::isMainThread(); }
  boost::asio::execution_context& context() const noexcept override { return context_; }
  bool isSerial() const noexcept override { return true; }
  std::shared_ptr<void> trackWork() override;

private:
  mutable MainThreadContext context_;
};

struct Globals {
  std::mutex mutex;
  std::shared_ptr<MainThread::Backend> backend;
  std::shared_ptr<detail::ExecutionTarget> target = std::make_shared<MainThreadTarget>();
};

// Never destroyed: executors and backends may be used while static objects are torn down.
Globals& globals() {
  static auto* instance = new Globals;
  return *instance;
}

std::shared_ptr<MainThread::Backend> currentBackend() {
  auto& g = globals();
  std::scoped_lock lock(g.mutex);
  return g.backend;
}

void MainThreadTarget::execute(UniqueFunction<void()> work, bool mayRunInline) {
  if (mayRunInline && MainThread::isMainThread()) {
    work();
    return;
  }
  MainThread::post(std::move(work));
}

std::shared_ptr<void> MainThreadTarget::trackWork() {
  auto backend = currentBackend();
  return backend ? backend->trackWork() : nullptr;
}

// The main thread is the thread that installed the backend (the test body, before and after it
// runs the loop) and any thread inside context.run().
class IoContextBackend final : public MainThread::Backend, public std::enable_shared_from_this<IoContextBackend> {
public:
  explicit IoContextBackend(boost::asio::io_context& context)
      : context_(&context), installer_(std::this_thread::get_id()) {}

  void post(UniqueFunction<void()> work) override {
    if (!gate_.enter()) {
      return;
    }
    boost::asio::post(*context_, std::move(work));
    gate_.leave();
  }

  bool isCurrent() const noexcept override {
    if (std::this_thread::get_id() == installer_) {
      return true;
    }
    if (!gate_.enter()) {
      return false;
    }
    const bool running = context_->get_executor().running_in_this_thread();
    gate_.leave();
    return running;
  }

  // While any token lives the io_context counts one piece of outstanding work, so run() waits
  // for timers and other contexts that will complete onto the main thread.
  std::shared_ptr<void> trackWork() override {
    if (!gate_.enter()) {
      return {};
    }
    {
      std::scoped_lock lock(workMutex_);
      if (workCount_++ == 0) {
        guard_.emplace(boost::asio::prefer(context_->get_executor(), boost::asio::execution::outstanding_work.tracked));
      }
    }
    gate_.leave();
    auto self = shared_from_this();
    return std::shared_ptr<void>(nullptr, [self](void*) { self->releaseWork(); });
  }

  // Work started under this installation, a timer cancelled as its owner went away say, hands its
  // completion over from Asio's timer thread a moment later. Waiting that moment here keeps it out
  // of a loop installed after this one: in tests, the next test's. Work still pending after the
  // grace, a timer left running, is not waited for.
  void detach() noexcept override {
    {
      std::unique_lock lock(workMutex_);
      workHandedOver_.wait_for(lock, kHandOverGrace, [this] { return workCount_ == 0; });
    }
    gate_.closeAndWait();
    std::optional<TrackedExecutor> released;
    {
      std::scoped_lock lock(workMutex_);
      released.swap(guard_);
      workCount_ = 0;
    }
  }

private:
  static constexpr std::chrono::milliseconds kHandOverGrace{50};

  using TrackedExecutor = std::decay_t<decltype(boost::asio::prefer(
      std::declval<boost::asio::io_context::executor_type>(), boost::asio::execution::outstanding_work.tracked))>;

  void releaseWork() noexcept {
    if (!gate_.enter()) {
      return; // detached: the guard is gone already
    }
    std::optional<TrackedExecutor> released;
    {
      std::scoped_lock lock(workMutex_);
      if (workCount_ > 0 && --workCount_ == 0) {
        released.swap(guard_);
      }
    }
    if (released) {
      workHandedOver_.notify_all();
    }
    released.reset();
    gate_.leave();
  }

  boost::asio::io_context* context_;
  std::thread::id installer_;
  mutable detail::Gate gate_;
  std::mutex workMutex_;
  std::condition_variable workHandedOver_;
  long workCount_ = 0;
  std::optional<TrackedExecutor> guard_;
};

class PosterBackend final : public MainThread::Backend {
public:
  PosterBackend(std::function<void(UniqueFunction<void()>)> poster, std::thread::id mainThreadId)
      : poster_(std::move(poster)), mainThreadId_(mainThreadId) {}

  void post(UniqueFunction<void()> work) override {
    if (!gate_.enter()) {
      return;
    }
    poster_(std::move(work));
    gate_.leave();
  }
  bool isCurrent() const noexcept override { return std::this_thread::get_id() == mainThreadId_; }
  void detach() noexcept override { gate_.closeAndWait(); }

private:
  std::function<void(UniqueFunction<void()>)> poster_;
  std::thread::id mainThreadId_;
  detail::Gate gate_;
};

} // namespace

MainThread::Installation::Installation(std::shared_ptr<Backend> installed, std::shared_ptr<Backend> previous) noexcept
    : installed_(std::move(installed)), previous_(std::move(previous)) {}

MainThread::Installation::Installation(Installation&& other) noexcept
    : installed_(std::move(other.installed_)), previous_(std::move(other.previous_)) {}

MainThread::Installation& MainThread::Installation::operator=(Installation&& other) noexcept {
  if (this != &other) {
    reset();
    installed_ = std::move(other.installed_);
    previous_ = std::move(other.previous_);
  }
  return *this;
}

MainThread::Installation::~Installation() { reset(); }

void MainThread::Installation::reset() noexcept {
  if (!installed_) {
    return;
  }
  {
    auto& g = globals();
    std::scoped_lock lock(g.mutex);
    if (g.backend == installed_) {
      g.backend = std::move(previous_);
    }
  }
  installed_->detach();
  installed_.reset();
  previous_.reset();
}

MainThread::Installation MainThread::install(std::shared_ptr<Backend> backend) {
  auto& g = globals();
  std::shared_ptr<Backend> previous;
  {
    std::scoped_lock lock(g.mutex);
    previous = std::exchange(g.backend, backend);
  }
  return Installation(std::move(backend), std::move(previous));
}

MainThread::Installation MainThread::installIoContext(boost::asio::io_context& context) {
  return install(std::make_shared<IoContextBackend>(context));
}

MainThread::Installation MainThread::installPoster(std::function<void(UniqueFunction<void()>)> poster,
                                                   std::thread::id mainThreadId) {
  return install(std::make_shared<PosterBackend>(std::move(poster), mainThreadId));
}

bool MainThread::isInstalled() noexcept { return currentBackend() != nullptr; }

Executor MainThread::executor() { return Executor(globals().target); }

void MainThread::post(UniqueFunction<void()> work) {
  if (auto backend = currentBackend()) {
    backend->post(std::move(work));
  }
}

bool MainThread::isMainThread() noexcept {
  auto backend = currentBackend();
  return backend && backend->isCurrent();
}

void MainThread::assertMainThread(std::source_location where) noexcept {
  auto backend = currentBackend();
  if (backend && !backend->isCurrent()) {
    std::fprintf(stderr, "%s:%u: %s must run on the main thread\n", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name());
    std::abort();
  }
}

} // namespace pd::runtime
