#include "mediaserver/ConcurrencyGate.hpp"

#include "runtime/ThreadPools.hpp"

#include <algorithm>

namespace pd::mediaserver {

ConcurrencyGate::ConcurrencyGate(std::int64_t limit) : limit_(limit < 1 ? 1 : limit) {}

std::shared_ptr<ConcurrencyGate> ConcurrencyGate::create(std::int64_t limit) {
  return std::make_shared<ConcurrencyGate>(limit);
}

runtime::Awaitable<void> ConcurrencyGate::acquire() {
  auto self = shared_from_this();
  const auto id = ++nextWaiterID_;
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  {
    // The hook may fire on any thread, at once when already cancelled: it only queues a task
    // that enters the gate later, and the flag covers a hook that comes before the waiter.
    std::weak_ptr<ConcurrencyGate> weak = self;
    runtime::CancellationHandler hook([weak, id, cancelled] {
      cancelled->store(true);
      if (auto gate = weak.lock()) {
        runtime::spawnDetached(runtime::sharedPool().executor(),
                               [gate, id]() -> runtime::Awaitable<void> { co_await gate->cancel(id); });
      }
    });
    auto enter = [this, self, id, cancelled](Resume resume) {
      if (cancelled->load()) {
        resume(std::make_exception_ptr(runtime::CancellationError()), std::nullopt);
      } else if (running_ < limit_) {
        ++running_;
        resume(nullptr, std::monostate{});
      } else {
        waiters_.push_back({id, std::move(resume)});
      }
    };
    co_await suspendOn<std::monostate>(executor(), std::move(enter));
  }
  if (runtime::isCancelled()) {
    // The slot was handed over as the caller was cancelled: pass it on rather than lose it.
    co_await release();
    throw runtime::CancellationError();
  }
}

runtime::Awaitable<void> ConcurrencyGate::release() {
  auto self = shared_from_this();
  auto give = [this, self](Resume resume) {
    releaseOnActor();
    resume(nullptr, std::monostate{});
  };
  co_await suspendOn<std::monostate>(executor(), std::move(give));
}

void ConcurrencyGate::releaseOnActor() {
  if (waiters_.empty()) {
    --running_;
    return;
  }
  auto next = std::move(waiters_.front());
  waiters_.pop_front();
  next.resume(nullptr, std::monostate{});
}

runtime::Awaitable<void> ConcurrencyGate::cancel(std::uint64_t waiterID) {
  auto self = shared_from_this();
  auto remove = [this, self, waiterID](Resume resume) {
    auto found = std::find_if(waiters_.begin(), waiters_.end(), [&](const Waiter& w) { return w.id == waiterID; });
    if (found != waiters_.end()) {
      auto waiter = std::move(*found);
      waiters_.erase(found);
      waiter.resume(std::make_exception_ptr(runtime::CancellationError()), std::nullopt);
    }
    resume(nullptr, std::monostate{});
  };
  co_await suspendOn<std::monostate>(executor(), std::move(remove));
}

runtime::Awaitable<std::int64_t> ConcurrencyGate::running() {
  auto self = shared_from_this();
  return suspendOn<std::int64_t>(executor(), [this, self](auto resume) { resume(nullptr, running_); });
}

runtime::Awaitable<std::size_t> ConcurrencyGate::waiting() {
  auto self = shared_from_this();
  return suspendOn<std::size_t>(executor(), [this, self](auto resume) { resume(nullptr, waiters_.size()); });
}

runtime::Awaitable<std::shared_ptr<ConcurrencyGate>> FolderGates::gate(std::string key) {
  return suspendOn<std::shared_ptr<ConcurrencyGate>>(executor(), [this, key = std::move(key)](auto resume) {
    auto found = gates_.find(key);
    if (found == gates_.end()) {
      found = gates_.emplace(key, ConcurrencyGate::create(limit_)).first;
    }
    resume(nullptr, found->second);
  });
}

runtime::Awaitable<std::size_t> FolderGates::count() {
  return suspendOn<std::size_t>(executor(), [this](auto resume) { resume(nullptr, gates_.size()); });
}

} // namespace pd::mediaserver
