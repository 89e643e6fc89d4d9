#pragma once

// Single-flight work per key: callers of one key share one run and its result, a bounded set of
// results is kept (least recently used out first), and a run nobody waits for any more is
// abandoned while it has not begun its real work. Also the two-gate run every job passes.

#include "mediaserver/ConcurrencyGate.hpp"
#include "runtime/Actor.hpp"
#include "runtime/Task.hpp"
#include "runtime/ThreadPools.hpp"
#include "runtime/UniqueFunction.hpp"

#include <algorithm>
#include <atomic>
#include <variant>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <iterator>
#include <utility>
#include <vector>

namespace pd::mediaserver {

// userInitiated work runs at normal priority, utility work at a lowered one.
enum class JobPriority { userInitiated, utility };

// The library's jobs run on pools of their own, one thread for each slot the library's global
// gates admit at that priority: every admitted job finds a thread, and a hung mount holds only
// library threads, never the shared pool that runs the actors or the background pool.
runtime::ThreadPool& libraryPool(JobPriority priority);

inline boost::asio::any_io_executor executorFor(JobPriority priority) { return libraryPool(priority).executor(); }

using MarkStarted = std::function<runtime::Awaitable<void>()>;

// Where a job's runs execute. A run whose work blocks in the run itself (a scan) runs on the
// library's pool of its priority. A run that only passes its gates and awaits a separate task of
// that priority for the blocking part holds no thread while it waits: it runs on the shared pool,
// where the gates' and the jobs' actors live, so that a free slot or a mark costs no hand-off
// between pools.
enum class RunThreads { library, shared };

template <typename V>
class SharedJobs final : public runtime::Actor, public std::enable_shared_from_this<SharedJobs<V>> {
public:
  using Work = std::function<runtime::Awaitable<V>(MarkStarted)>;
  static constexpr std::size_t kKeptLimit = 2000;

  SharedJobs(JobPriority priority, std::function<bool(const V&)> keep, std::size_t keptLimit = kKeptLimit,
             RunThreads runThreads = RunThreads::library)
      : priority_(priority), keep_(std::move(keep)), keptLimit_(keptLimit), runThreads_(runThreads) {}

  // The kept value of the key, else the result of the key's run (joined, or started here).
  runtime::Awaitable<V> value(std::string key, Work work) {
    auto self = this->shared_from_this();
    const auto waiterID = ++nextID_;
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<SharedJobs> weak = self;
    // Fires at once when already cancelled; the flag answers a hook that comes before the turn.
    runtime::CancellationHandler hook([weak, key, waiterID, cancelled] {
      cancelled->store(true);
      if (auto jobs = weak.lock()) {
        runtime::spawnDetached(runtime::sharedPool().executor(), [jobs, key, waiterID]() -> runtime::Awaitable<void> {
          co_await jobs->cancelWaiter(key, waiterID);
        });
      }
    });
    auto enter = [this, self, key, waiterID, cancelled, work = std::move(work)](Resume resume) mutable {
      if (auto found = kept_.find(key); found != kept_.end()) {
        touch(key);
        resume(nullptr, found->second);
        return;
      }
      if (cancelled->load()) {
        resume(std::make_exception_ptr(runtime::CancellationError()), std::nullopt);
        return;
      }
      // The run and its first waiter in one turn: the run cannot finish before it has a waiter.
      if (!running_.contains(key)) {
        startRun(key, std::move(work));
      }
      waiters_[key].emplace(waiterID, std::move(resume));
    };
    co_return co_await suspendOn<V>(this->executor(), std::move(enter));
  }

  // The kept values of the keys, in one turn, each a hit as value() would count it; none where
  // nothing is kept (no run is started for those).
  runtime::Awaitable<std::vector<std::optional<V>>> keptValues(std::vector<std::string> keys) {
    auto self = this->shared_from_this();
    auto look = [this, self, keys = std::move(keys)](auto resume) {
      std::vector<std::optional<V>> found(keys.size());
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (auto kept = kept_.find(keys[i]); kept != kept_.end()) {
          found[i] = kept->second;
          touch(keys[i]);
        }
      }
      resume(nullptr, std::move(found));
    };
    co_return co_await suspendOn<std::vector<std::optional<V>>>(this->executor(), std::move(look));
  }

  runtime::Awaitable<void> forget(std::string key) {
    auto self = this->shared_from_this();
    auto drop = [this, self, key = std::move(key)](auto resume) {
      kept_.erase(key);
      keptOrder_.erase(std::remove(keptOrder_.begin(), keptOrder_.end(), key), keptOrder_.end());
      resume(nullptr, std::monostate{});
    };
    co_await suspendOn<std::monostate>(this->executor(), std::move(drop));
  }

  runtime::Awaitable<std::size_t> keptCount() {
    auto self = this->shared_from_this();
    return suspendOn<std::size_t>(this->executor(), [this, self](auto resume) { resume(nullptr, kept_.size()); });
  }

private:
  struct Run {
    std::uint64_t id;
    runtime::Task<void> task;
    bool started;
  };
  using Resume = runtime::UniqueFunction<void(std::exception_ptr, std::optional<V>)>;

  void startRun(const std::string& key, Work work) {
    const auto id = ++nextID_;
    auto self = this->shared_from_this();
    auto where = runThreads_ == RunThreads::shared ? boost::asio::any_io_executor(runtime::sharedPool().executor())
                                                   : executorFor(priority_);
    auto task = runtime::spawn(where, [self, key, id, work = std::move(work)]() -> runtime::Awaitable<void> {
      MarkStarted markStarted = [self, key, id]() -> runtime::Awaitable<void> { co_await self->markStarted(key, id); };
      std::exception_ptr failure;
      std::optional<V> value;
      try {
        value.emplace(co_await work(markStarted));
      } catch (...) {
        failure = std::current_exception();
      }
      co_await self->finish(key, id, failure, std::move(value));
    });
    running_.insert_or_assign(key, Run{id, std::move(task), false});
  }

  runtime::Awaitable<void> markStarted(std::string key, std::uint64_t id) {
    auto self = this->shared_from_this();
    auto mark = [this, self, key = std::move(key), id](auto resume) {
      if (auto found = running_.find(key); found != running_.end() && found->second.id == id) {
        found->second.started = true;
      }
      resume(nullptr, std::monostate{});
    };
    co_await suspendOn<std::monostate>(this->executor(), std::move(mark));
  }

  runtime::Awaitable<void> finish(std::string key, std::uint64_t id, std::exception_ptr failure,
                                  std::optional<V> value) {
    auto self = this->shared_from_this();
    auto complete = [this, self, key = std::move(key), id, failure, value = std::move(value)](auto resume) mutable {
      resume(nullptr, std::monostate{});
      auto found = running_.find(key);
      if (found == running_.end() || found->second.id != id) {
        return; // an abandoned run's late result never touches a newer run
      }
      running_.erase(found);
      if (!failure && keep_(*value)) {
        kept_.insert_or_assign(key, *value);
        touch(key);
      }
      auto node = waiters_.extract(key);
      if (node.empty()) {
        return;
      }
      auto& waiting = node.mapped();
      for (auto at = waiting.begin(); at != waiting.end(); ++at) {
        // The last waiter takes the value itself: a scan's entries are not copied for nobody.
        const bool last = std::next(at) == waiting.end();
        at->second(failure, failure ? std::nullopt : (last ? std::move(value) : value));
      }
    };
    co_await suspendOn<std::monostate>(this->executor(), std::move(complete));
  }

  runtime::Awaitable<void> cancelWaiter(std::string key, std::uint64_t waiterID) {
    auto self = this->shared_from_this();
    auto leave = [this, self, key = std::move(key), waiterID](auto resume) {
      resume(nullptr, std::monostate{});
      auto inner = waiters_.find(key);
      if (inner != waiters_.end()) {
        if (auto node = inner->second.extract(waiterID); !node.empty()) {
          node.mapped()(std::make_exception_ptr(runtime::CancellationError()), std::nullopt);
        }
        if (!inner->second.empty()) {
          return;
        }
      }
      auto run = running_.find(key);
      if (run == running_.end() || run->second.started) {
        return;
      }
      auto task = run->second.task;
      running_.erase(run);
      waiters_.erase(key);
      task.cancel();
    };
    co_await suspendOn<std::monostate>(this->executor(), std::move(leave));
  }

  void touch(const std::string& key) {
    keptOrder_.erase(std::remove(keptOrder_.begin(), keptOrder_.end(), key), keptOrder_.end());
    keptOrder_.push_back(key);
    while (keptOrder_.size() > keptLimit_) {
      kept_.erase(keptOrder_.front());
      keptOrder_.pop_front();
    }
  }

  const JobPriority priority_;
  const std::function<bool(const V&)> keep_;
  const std::size_t keptLimit_;
  const RunThreads runThreads_;
  std::map<std::string, std::map<std::uint64_t, Resume>> waiters_;
  std::map<std::string, Run> running_;
  std::map<std::string, V> kept_;
  std::deque<std::string> keptOrder_;
  std::atomic<std::uint64_t> nextID_{0};
};

// The per-volume gate, then the global one; markStarted (when given) once both are held; the
// work; both given back in reverse order on every path.
template <typename V, typename Work>
runtime::Awaitable<V> runGated(std::shared_ptr<ConcurrencyGate> perKey, std::shared_ptr<ConcurrencyGate> global,
                               const MarkStarted* markStarted, Work work) {
  co_await perKey->acquire();
  std::exception_ptr failure;
  try {
    co_await global->acquire();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    co_await perKey->release();
    std::rethrow_exception(failure);
  }
  std::optional<V> value;
  try {
    if (markStarted != nullptr) {
      co_await (*markStarted)();
    }
    runtime::checkCancellation();
    value.emplace(co_await work());
  } catch (...) {
    failure = std::current_exception();
  }
  co_await global->release();
  co_await perKey->release();
  if (failure) {
    std::rethrow_exception(failure);
  }
  co_return std::move(*value);
}

// Blocking work in a task of its own at the priority, awaited to its end: a cancellation of
// the awaiting run does not stop it.
template <typename F>
auto inSeparateTask(JobPriority priority, F work) -> runtime::Awaitable<decltype(work())> {
  using V = decltype(work());
  auto body = [work = std::move(work)]() mutable -> runtime::Awaitable<V> { co_return work(); };
  auto task = runtime::spawn(executorFor(priority), std::move(body));
  co_return co_await task.value();
}

// The gated run of thumbnails and durations.
template <typename F>
auto gatedRun(std::shared_ptr<FolderGates> folderGates, std::string folder, std::shared_ptr<ConcurrencyGate> global,
              MarkStarted markStarted, F work) -> runtime::Awaitable<decltype(work())> {
  using V = decltype(work());
  auto perKey = co_await folderGates->gate(std::move(folder));
  auto inner = [work = std::move(work)]() mutable { return inSeparateTask(JobPriority::utility, std::move(work)); };
  co_return co_await runGated<V>(std::move(perKey), std::move(global), &markStarted, std::move(inner));
}

} // namespace pd::mediaserver
