#include "runtime/detail/Queues.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace pd::runtime::detail {

bool Gate::enter() noexcept {
  users_.fetch_add(1, std::memory_order_seq_cst);
  if (closed_.load(std::memory_order_seq_cst)) {
    leave();
    return false;
  }
  return true;
}

void Gate::leave() noexcept { users_.fetch_sub(1, std::memory_order_seq_cst); }

void Gate::closeAndWait() noexcept {
  closed_.store(true, std::memory_order_seq_cst);
  // Users only hand work on inside the gate, so this is a short wait.
  while (users_.load(std::memory_order_seq_cst) != 0) {
    std::this_thread::yield();
  }
}

void setUpThread(const std::string& name, int niceIncrement) noexcept {
  constexpr std::size_t kMaxName = 15;
  const std::string shortName = name.size() > kMaxName ? name.substr(name.size() - kMaxName) : name;
  ::pthread_setname_np(::pthread_self(), shortName.c_str());
  if (niceIncrement > 0) {
    // On Linux the "process" priority of a thread id is that thread's own.
    const auto tid = static_cast<id_t>(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0) {
      ::setpriority(PRIO_PROCESS, tid, std::min(current + niceIncrement, 19));
    }
  }
}

namespace {
// io_context keeps shutdown() protected; a closed loop uses it to destroy what is still queued
// or pending without destroying the context, which executors may still refer to.
class ShutdownableContext : public boost::asio::io_context {
public:
  explicit ShutdownableContext(int concurrencyHint) : boost::asio::io_context(concurrencyHint) {}
  using boost::asio::execution_context::shutdown;
};
} // namespace

namespace {

// The threads of loops closed from their own work: they end by themselves, and are joined here,
// either once they have ended (at the next hand-over) or as the program ends.
class EndingThreads {
public:
  static EndingThreads& shared() {
    static auto* const instance = new EndingThreads(); // never destroyed: used until exit
    return *instance;
  }

  void adopt(std::thread thread, std::shared_ptr<const std::atomic<bool>> ended) {
    std::vector<std::thread> done;
    {
      std::scoped_lock lock(mutex_);
      for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->second->load()) {
          done.push_back(std::move(it->first));
          it = threads_.erase(it);
        } else {
          ++it;
        }
      }
      threads_.emplace_back(std::move(thread), std::move(ended));
    }
    for (auto& finished : done) finished.join(); // at their very end: no wait to speak of
  }

  void joinAll() noexcept {
    std::vector<std::pair<std::thread, std::shared_ptr<const std::atomic<bool>>>> threads;
    {
      std::scoped_lock lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& [thread, ended] : threads) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
  }

private:
  std::mutex mutex_;
  std::vector<std::pair<std::thread, std::shared_ptr<const std::atomic<bool>>>> threads_;
};

} // namespace

void joinEndedQueueThreads() noexcept { EndingThreads::shared().joinAll(); }

struct EventLoop::Impl {
  explicit Impl(Options o)
      : options(std::move(o)),
        context(options.threads == 1 ? 1 : static_cast<int>(options.threads)),
        guard(boost::asio::make_work_guard(context)) {}

  Options options;
  ShutdownableContext context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard;
  Gate gate;
  std::vector<std::thread> threads;
  // One per thread: set once the thread has let go of the loop and is about to end.
  std::vector<std::shared_ptr<std::atomic<bool>>> ended;
  // Kept apart from threads, whose entries move away when a thread ends by itself.
  std::vector<std::thread::id> threadIds;
  std::atomic<std::size_t> serving{0};
  std::atomic<bool> shutdownStarted{false};
};

EventLoop::EventLoop(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))), serial_(impl_->options.serial) {
  impl_->options.threads = std::max<std::size_t>(impl_->options.threads, 1);
}

EventLoop::~EventLoop() = default;

std::shared_ptr<EventLoop> EventLoop::start(Options options) {
  std::shared_ptr<EventLoop> loop(new EventLoop(std::move(options)));
  const std::size_t count = loop->impl_->options.threads;
  loop->impl_->serving.store(count);
  loop->impl_->threads.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    loop->impl_->ended.push_back(ended);
    // Each thread keeps the loop alive until it has finished serving it.
    loop->impl_->threads.emplace_back([loop, index, ended]() mutable {
      loop->serve(index);
      loop.reset();
      ended->store(true);
      ended->notify_all();
    });
    loop->impl_->threadIds.push_back(loop->impl_->threads.back().get_id());
  }
  return loop;
}

void EventLoop::serve(std::size_t index) noexcept {
  const auto& options = impl_->options;
  setUpThread(options.threads == 1 ? options.name : options.name + "-" + std::to_string(index), options.niceIncrement);
  for (;;) {
    try {
      impl_->context.run();
      break;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s: queued work threw: %s\n", options.name.c_str(), error.what());
    } catch (...) {
      std::fprintf(stderr, "%s: queued work threw\n", options.name.c_str());
    }
  }
  if (impl_->serving.fetch_sub(1) == 1) {
    // The last thread out destroys queued handlers and pending operations; their coroutine
    // frames may hold executors of this loop, and would otherwise keep it alive in a cycle.
    impl_->context.shutdown();
  }
}

void EventLoop::execute(UniqueFunction<void()> work, bool mayRunInline) {
  if (mayRunInline && isCurrent()) {
    if (!impl_->gate.isClosed()) {
      work();
    }
    return;
  }
  if (!impl_->gate.enter()) {
    return; // closed: dropped
  }
  boost::asio::post(impl_->context, std::move(work));
  impl_->gate.leave();
}

bool EventLoop::isCurrent() const noexcept { return impl_->context.get_executor().running_in_this_thread(); }

boost::asio::execution_context& EventLoop::context() const noexcept { return impl_->context; }

bool EventLoop::isClosed() const noexcept { return impl_->gate.isClosed(); }

void EventLoop::shutdown() noexcept {
  if (impl_->shutdownStarted.exchange(true)) {
    // An earlier close may have come from the loop's own work, which did not wait: a caller from
    // outside still must not go on while work queued before it runs. One of the loop's own
    // threads never waits: it may be running that work, or destroying what was left queued once
    // it stopped serving (and with it the loop's owner), and would wait for itself.
    const auto self = std::this_thread::get_id();
    if (std::find(impl_->threadIds.begin(), impl_->threadIds.end(), self) == impl_->threadIds.end()) {
      for (const auto& ended : impl_->ended) {
        ended->wait(false);
      }
    }
    return;
  }
  impl_->gate.closeAndWait();
  if (serial_) {
    // Work queued before the close runs first; the stop is queued behind it.
    boost::asio::post(impl_->context, [context = &impl_->context] { context->stop(); });
    impl_->guard.reset();
  } else {
    impl_->guard.reset();
    impl_->context.stop();
  }
  const auto self = std::this_thread::get_id();
  for (std::size_t index = 0; index < impl_->threads.size(); ++index) {
    auto& thread = impl_->threads[index];
    if (thread.get_id() == self) {
      // Closing from its own work: the thread ends by itself, and is joined later.
      EndingThreads::shared().adopt(std::move(thread), impl_->ended[index]);
    } else if (thread.joinable()) {
      thread.join();
    }
  }
}

namespace {
struct SyncState {
  std::mutex mutex;
  std::condition_variable settledCondition;
  bool settled = false;
  bool finished = false;

  void settle(bool didFinish) {
    {
      std::scoped_lock lock(mutex);
      if (settled) {
        return;
      }
      settled = true;
      finished = didFinish;
    }
    settledCondition.notify_all();
  }
};

// Reports to the waiter whether it ran; destroyed without running (dropped), it says so too.
class SyncJob {
public:
  SyncJob(std::shared_ptr<SyncState> state, UniqueFunction<void()> work)
      : state_(std::move(state)), work_(std::move(work)) {}
  SyncJob(SyncJob&&) noexcept = default;
  SyncJob& operator=(SyncJob&&) noexcept = delete;
  SyncJob(const SyncJob&) = delete;
  SyncJob& operator=(const SyncJob&) = delete;
  ~SyncJob() {
    if (state_) {
      state_->settle(false);
    }
  }

  void operator()() {
    auto state = std::move(state_);
    struct Report {
      SyncState& state;
      bool finished = false;
      ~Report() { state.settle(finished); }
    } report{*state};
    work_();
    report.finished = true;
  }

private:
  std::shared_ptr<SyncState> state_;
  UniqueFunction<void()> work_;
};
} // namespace

bool postAndWait(const std::function<void(UniqueFunction<void()>)>& post, UniqueFunction<void()> work,
                 std::optional<std::chrono::nanoseconds> timeout) {
  auto state = std::make_shared<SyncState>();
  post(SyncJob(state, std::move(work)));
  std::unique_lock lock(state->mutex);
  const auto settled = [&] { return state->settled; };
  if (timeout) {
    // wait_for measures on the steady clock; keep the deadline representable.
    constexpr auto kLongest = std::chrono::hours(24 * 365 * 10);
    const auto limit = std::clamp<std::chrono::nanoseconds>(*timeout, std::chrono::nanoseconds::zero(), kLongest);
    state->settledCondition.wait_for(lock, limit, settled);
  } else {
    state->settledCondition.wait(lock, settled);
  }
  return state->settled && state->finished;
}

} // namespace pd::runtime::detail
