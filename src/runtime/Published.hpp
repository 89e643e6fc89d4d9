#pragma once

// Observable state of main-thread models. A model holds Published<T> members; views subscribe
// to changed() (or to the model's objectChanged()) and recompute from the model's state.

#include "runtime/MainThread.hpp"

#include <boost/signals2/signal.hpp>

#include <concepts>
#include <utility>

namespace pd::runtime {

// A model's "something changed" signal, emitted after any of its Published members changed.
class ObservableObject {
public:
  boost::signals2::signal<void()>& objectChanged() noexcept { return objectChanged_; }

protected:
  ObservableObject() = default;
  ~ObservableObject() = default;
  ObservableObject(const ObservableObject&) = delete;
  ObservableObject& operator=(const ObservableObject&) = delete;

private:
  boost::signals2::signal<void()> objectChanged_;
};

template <typename T>
class Published {
public:
  explicit Published(T initial = T{}) : value_(std::move(initial)) {}
  // Also emits owner.objectChanged() after each change.
  explicit Published(ObservableObject& owner, T initial = T{}) : value_(std::move(initial)), owner_(&owner) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  // Main thread only.
  const T& get() const noexcept {
    MainThread::assertMainThread();
    return value_;
  }

  // Main thread only. Emits changed() and then the owner's objectChanged() when the new value
  // differs; a type without == always counts as changed.
  void set(T value) {
    MainThread::assertMainThread();
    if constexpr (std::equality_comparable<T>) {
      if (value_ == value) {
        return;
      }
    }
    value_ = std::move(value);
    changed_(value_);
    if (owner_ != nullptr) {
      owner_->objectChanged()();
    }
  }

  boost::signals2::signal<void(const T&)>& changed() noexcept { return changed_; }

private:
  T value_;
  ObservableObject* owner_ = nullptr;
  boost::signals2::signal<void(const T&)> changed_;
};

} // namespace pd::runtime
