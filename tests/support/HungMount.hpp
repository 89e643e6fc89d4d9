#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pd::testing {

// Stands in for a mount that stops answering: every file call that enters waits until released.
struct HungMount {
  std::mutex lock;
  std::condition_variable changed;
  bool released = false;
  int entered = 0;

  void enter() {
    std::unique_lock held(lock);
    ++entered;
    changed.notify_all();
    changed.wait(held, [&] { return released; });
  }
  bool waitForEntered(int count) {
    std::unique_lock held(lock);
    return changed.wait_for(held, std::chrono::seconds(10), [&] { return entered >= count; });
  }
  void release() {
    std::scoped_lock held(lock);
    released = true;
    changed.notify_all();
  }
};

} // namespace pd::testing
