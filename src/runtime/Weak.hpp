#pragma once

// Work that an object posts must not keep the object alive, and must do nothing once the object
// is gone: capture a weak_ptr and go through these.

#include "runtime/Error.hpp"

#include <memory>
#include <utility>

namespace pd::runtime {

// A callable that calls function(owner, args...) while the owner lives and does nothing after.
// The owner is kept alive for the duration of each call.
//
//   queue.post(runtime::weakCallback(weak_from_this(), [](Model& model) { model.refresh(); }));
template <typename Owner, typename F>
auto weakCallback(std::weak_ptr<Owner> owner, F function) {
  return [owner = std::move(owner), function = std::move(function)](auto&&... args) mutable {
    if (auto strong = owner.lock()) {
      function(*strong, std::forward<decltype(args)>(args)...);
    }
  };
}

// Inside a task: the owner, or the task ends quietly (CancellationError) once the owner is gone.
// Call it again after every suspension instead of holding the result across a co_await, so the
// task does not keep its owner alive while it waits.
template <typename Owner>
std::shared_ptr<Owner> requireOwner(const std::weak_ptr<Owner>& owner) {
  if (auto strong = owner.lock()) {
    return strong;
  }
  throw CancellationError();
}

} // namespace pd::runtime
