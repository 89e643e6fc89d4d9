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

#include <boost/asio/post.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace pd::runtime {

namespace detail {

template <typename F>
struct ActorCall {
  using Returned = std::remove_cvref_t<std::invoke_result_t<F&>>;
  static constexpr bool isCoroutine = requires { typename AwaitableValue<Returned>::type; };
  using Value = typename std::conditional_t<isCoroutine, AwaitableValue<Returned>, std::type_identity<Returned>>::type;
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

// What the caller and the running call share for cancellation. Touched only on the actor's strand:
// the caller's cancellation is posted there and dropped once the call has finished, so it never
// reaches a call that is gone (a cancellation signal may only be emitted where its operation runs).
struct ActorCallLink {
  boost::asio::cancellation_signal signal;
  bool finished = false;
};

// Completes the call on the actor's strand, then hands the outcome to the caller's executor. It
// has no associated executor on purpose: co_spawn then connects the signal directly.
template <typename... Carried>
struct ActorCallCompletion {
  using cancellation_slot_type = boost::asio::cancellation_slot;
  std::shared_ptr<ActorCallLink> link;
  UniqueFunction<void(std::exception_ptr, Carried...)> deliver;

  cancellation_slot_type get_cancellation_slot() const noexcept { return link->signal.slot(); }
  void operator()(std::exception_ptr error, Carried... carried) {
    link->finished = true;
    deliver(std::move(error), std::move(carried)...);
  }
};

template <typename... Carried, typename F>
auto awaitActorCall(boost::asio::any_io_executor strand, boost::asio::any_io_executor target, F function) {
  auto initiation = [strand = std::move(strand), target = std::move(target),
                     function = std::move(function)](auto handler) mutable {
    auto link = std::make_shared<ActorCallLink>();
    auto callerSlot = boost::asio::get_associated_cancellation_slot(handler);
    if (callerSlot.is_connected()) {
      // Cleared on the caller's executor before it resumes (makeCompletion).
      callerSlot.assign([link, strand](boost::asio::cancellation_type type) {
        boost::asio::post(strand, [link, type] {
          if (!link->finished) {
            link->signal.emit(type);
          }
        });
      });
    }
    boost::asio::co_spawn(
        std::move(target), invokeOnActor(std::move(function)),
        ActorCallCompletion<Carried...>{link, makeCompletion<std::exception_ptr, Carried...>(std::move(handler))});
  };
  return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void(std::exception_ptr, Carried...)>(
      std::move(initiation), boost::asio::use_awaitable);
}

template <typename F>
Awaitable<typename ActorCall<F>::Value> runOn(boost::asio::any_io_executor executor, F function) {
  using Call = ActorCall<F>;
  auto target = adoptCurrentTask(executor);
  if constexpr (std::is_void_v<typename Call::Value>) {
    co_await awaitActorCall<>(std::move(executor), std::move(target), std::move(function));
  } else {
    auto carried =
        co_await awaitActorCall<typename Call::Carried>(std::move(executor), std::move(target), std::move(function));
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
