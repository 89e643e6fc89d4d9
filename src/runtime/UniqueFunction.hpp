#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace pd::runtime {

template <typename Signature>
class UniqueFunction;

// A move-only std::function. Queued work often owns move-only state (coroutine handlers,
// promises, unique_ptrs) that std::function cannot hold because it insists on copying.
template <typename R, typename... Args>
class UniqueFunction<R(Args...)> {
public:
  UniqueFunction() noexcept = default;
  UniqueFunction(std::nullptr_t) noexcept {} // NOLINT(google-explicit-constructor)

  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, UniqueFunction> &&
             std::is_invocable_r_v<R, std::decay_t<F>&, Args...>)
  UniqueFunction(F&& function) // NOLINT(google-explicit-constructor)
      : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::forward<F>(function))) {}

  UniqueFunction(UniqueFunction&&) noexcept = default;
  UniqueFunction& operator=(UniqueFunction&&) noexcept = default;
  UniqueFunction(const UniqueFunction&) = delete;
  UniqueFunction& operator=(const UniqueFunction&) = delete;
  ~UniqueFunction() = default;

  explicit operator bool() const noexcept { return impl_ != nullptr; }

  R operator()(Args... args) {
    if (!impl_) {
      throw std::bad_function_call();
    }
    return impl_->call(std::forward<Args>(args)...);
  }

private:
  struct Base {
    virtual ~Base() = default;
    virtual R call(Args&&... args) = 0;
  };
  template <typename F>
  struct Impl final : Base {
    template <typename G>
    explicit Impl(G&& g) : function(std::forward<G>(g)) {}
    R call(Args&&... args) override { return std::invoke(function, std::forward<Args>(args)...); }
    F function;
  };

  std::unique_ptr<Base> impl_;
};

} // namespace pd::runtime
