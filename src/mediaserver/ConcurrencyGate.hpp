#pragma once

// Limits on how much library work runs at once: a counting gate whose released slot passes
// straight to the oldest waiter, and one such gate per volume.

#include "runtime/Actor.hpp"
#include "runtime/Callback.hpp"
#include "runtime/Task.hpp"
#include "runtime/UniqueFunction.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace pd::mediaserver {

// What one actor turn answers its caller: kept here when the turn answers before the caller
// waits, handed on at once when the caller already waits. Any thread; no lock is held while the
// answer is handed on.
template <typename T>
class TurnAnswer {
public:
  using Resume = runtime::UniqueFunction<void(std::exception_ptr, std::optional<T>)>;

  void answer(std::exception_ptr error, std::optional<T> value) {
    std::unique_lock lock(mutex_);
    if (waiter_) {
      auto waiter = std::move(waiter_);
      lock.unlock();
      waiter(std::move(error), std::move(value));
      return;
    }
    error_ = std::move(error);
    value_ = std::move(value);
    answered_ = true;
  }
  bool answered() const {
    std::scoped_lock lock(mutex_);
    return answered_;
  }
  // Only once answered() said so, by the caller.
  T take() {
    std::scoped_lock lock(mutex_);
    if (error_) {
      std::rethrow_exception(error_);
    }
    return std::move(*value_);
  }
  void wait(Resume waiter) {
    std::unique_lock lock(mutex_);
    if (!answered_) {
      waiter_ = std::move(waiter);
      return;
    }
    lock.unlock();
    waiter(std::move(error_), std::move(value_));
  }

private:
  mutable std::mutex mutex_;
  Resume waiter_;
  std::exception_ptr error_;
  std::optional<T> value_;
  bool answered_ = false;
};

// Runs start(resume) on the strand; the caller stays suspended until resume is called, at once
// or later by whoever start handed it to. The caller's cancellation does not interrupt the wait:
// the gate and the jobs answer a cancelled waiter themselves, so that no slot or run is lost.
// When the strand is free and the caller runs on the strand's own pool, start runs at once on the
// caller's thread; when it then answers within its turn (a free slot, a kept value), the caller
// goes on without suspending at all. Otherwise resume goes back through the caller's executor.
template <typename T, typename Start>
runtime::Awaitable<T> suspendOn(boost::asio::any_io_executor strand, Start start) {
  auto answer = std::make_shared<TurnAnswer<T>>();
  auto turn = [start = std::move(start), answer]() mutable {
    start(typename TurnAnswer<T>::Resume([answer](std::exception_ptr error, std::optional<T> value) {
      answer->answer(std::move(error), std::move(value));
    }));
  };
  boost::asio::dispatch(strand, std::move(turn));
  if (!answer->answered()) {
    auto wait = [answer](auto resume) { answer->wait(std::move(resume)); };
    auto value = co_await runtime::awaitCallback<std::exception_ptr, std::optional<T>>(std::move(wait));
    co_return std::move(*value);
  }
  co_return answer->take();
}

class ConcurrencyGate final : public runtime::Actor, public std::enable_shared_from_this<ConcurrencyGate> {
public:
  // A limit below 1 means 1.
  static std::shared_ptr<ConcurrencyGate> create(std::int64_t limit);

  // Returns holding one slot. Throws runtime::CancellationError when the calling task is
  // cancelled before that, even with a slot free; no slot is kept then.
  runtime::Awaitable<void> acquire();
  // Gives back the slot of a successful acquire(): to the oldest waiter, else to the pool.
  runtime::Awaitable<void> release();

  std::int64_t limit() const noexcept { return limit_; }
  runtime::Awaitable<std::int64_t> running();
  runtime::Awaitable<std::size_t> waiting();

  explicit ConcurrencyGate(std::int64_t limit);

private:
  using Resume = runtime::UniqueFunction<void(std::exception_ptr, std::optional<std::monostate>)>;
  struct Waiter {
    std::uint64_t id;
    Resume resume;
  };

  runtime::Awaitable<void> cancel(std::uint64_t waiterID);
  void releaseOnActor();

  const std::int64_t limit_;
  std::int64_t running_ = 0;
  std::deque<Waiter> waiters_;
  std::atomic<std::uint64_t> nextWaiterID_{0};
};

// One gate per key (a volume), made on first use and kept for the owner's life.
class FolderGates final : public runtime::Actor {
public:
  explicit FolderGates(std::int64_t limit) : limit_(limit < 1 ? 1 : limit) {}
  runtime::Awaitable<std::shared_ptr<ConcurrencyGate>> gate(std::string key);
  runtime::Awaitable<std::size_t> count();

private:
  const std::int64_t limit_;
  std::map<std::string, std::shared_ptr<ConcurrencyGate>, std::less<>> gates_;
};

} // namespace pd::mediaserver
