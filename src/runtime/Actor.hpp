#pragma once

// The actor pattern: an object whose state is touched only on its own strand. Each public method
// is a coroutine that hops onto the strand with onActor() and returns its result to the caller's
// executor:
//
//   class Retention : public runtime::Actor {
//   public:
//     runtime::Awaitable<std::size_t> count() {
//       return onActor([this] { return items_.size(); });
//     }
//     runtime::Awaitable<void> refresh() {
//       return onActor([this]() -> runtime::Awaitable<void> {
//         const auto generation = generation_;
//         auto fresh = co_await load();          // suspension point: other calls run here
//         if (generation != generation_) {       // so state is re-read after it
//           co_return;
//         }
//         items_ = std::move(fresh);
//       });
//     }
//   };
//
// Re-entrancy: like an actor, the strand is free while a method is suspended at a co_await, and
// other calls to the same object run in between. Nothing read before a co_await may be trusted
// after it: re-read the state (or compare a generation) after every suspension.
//
// Cancellation: when the calling task is cancelled, the operation the method awaits is cancelled
// and isCancelled() inside the method answers for the calling task. The object itself must outlive
// the calls (hold actors in shared_ptrs and capture what the method needs).

#include "runtime/Task.hpp"

#include <optional>
#include <type_traits>
#include <utility>

namespace pd::runtime {

namespace detail {

template <typename F>
struct ActorCall {
  using Returned = std::remove_cvref_t<std::invoke_result_t<F&>>;
  static constexpr bool isCoroutine = requires { typename AwaitableValue<Returned>::type; };
  using Value = typename std::conditional_t<isCoroutine, AwaitableValue<Returned>,
                                            std::type_identity<Returned>>::type;
  // co_spawn wants a default-constructible result.
  using Carried = std::conditional_t<std::is_void_v<Value>, void, std::optional<Value>>;
};

template <typename F>
Awaitable<typename ActorCall<F>::Carried> invokeOnActor(F function) {
  using Call = ActorCall<F>;
  co_await boost::asio::this_coro::throw_if_cancelled(false);
  if constexpr (std::is_void_v<typename Call::Value>) {
    if constexpr (Call::isCoroutine) {
      co_await function();
    } else {
      function();
    }
  } else {
    if constexpr (Call::isCoroutine) {
      auto value = co_await function();
      co_return std::optional<typename Call::Value>(std::move(value));
    } else {
      co_return std::optional<typename Call::Value>(function());
    }
  }
}

template <typename F>
Awaitable<typename ActorCall<F>::Value> runOn(boost::asio::any_io_executor executor, F function) {
  using Call = ActorCall<F>;
  auto target = adoptCurrentTask(executor);
  if constexpr (std::is_void_v<typename Call::Value>) {
    co_await boost::asio::co_spawn(target, invokeOnActor(std::move(function)), boost::asio::use_awaitable);
  } else {
    auto carried =
        co_await boost::asio::co_spawn(target, invokeOnActor(std::move(function)), boost::asio::use_awaitable);
    co_return std::move(*carried);
  }
}

} // namespace detail

class Actor {
public:
  // A strand on the shared pool.
  Actor();
  // A strand on the given executor.
  explicit Actor(const boost::asio::any_io_executor& base);

  // The actor's strand.
  const boost::asio::any_io_executor& executor() const noexcept { return strand_; }
  // True while the calling thread runs on this actor.
  bool isCurrent() const noexcept;

protected:
  ~Actor() = default;
  Actor(const Actor&) = delete;
  Actor& operator=(const Actor&) = delete;

  // Runs function on the actor and gives its result to the caller. function returns a value or
  // void, or an Awaitable of one (for methods that suspend); exceptions reach the caller.
  template <typename F>
  Awaitable<typename detail::ActorCall<F>::Value> onActor(F function) const {
    return detail::runOn(strand_, std::move(function));
  }

private:
  // Type-erased here, made in Actor.cpp: callers never instantiate Asio's strand comparison.
  boost::asio::any_io_executor strand_;
};

} // namespace pd::runtime
