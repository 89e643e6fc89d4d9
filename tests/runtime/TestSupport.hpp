#pragma once

#include "runtime/MainThread.hpp"
#include "runtime/Task.hpp"

#include <boost/asio/io_context.hpp>

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace pd::runtime::test {

using namespace std::chrono_literals;

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether this process's thread `tid` is gone, given a moment: the kernel lets go of an ended
// thread's entry a little after its join returns.
inline bool threadHasEnded(pid_t tid, std::chrono::milliseconds grace = 100ms) {
  const auto entry = std::filesystem::path("/proc/self/task") / std::to_string(tid);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::filesystem::exists(entry) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  return !std::filesystem::exists(entry);
}

// Polls done() from the test thread until it holds. False when the limit passed first.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The test thread as the main thread: an io_context installed as the main-thread backend.
class MainLoop {
public:
  MainLoop() : installation_(MainThread::installIoContext(context_)) {}

  boost::asio::io_context& context() { return context_; }

  // Spawns body on the main thread and runs the loop until the task has finished; gives the
  // task's value or rethrows its error. Fails the test (throws) when it takes longer than limit.
  template <typename F>
  auto run(F body, std::chrono::milliseconds limit = 5s) {
    auto task = spawn(MainThread::executor(), std::move(body));
    runUntil([&] { return task.isFinished(); }, limit);
    return task.state()->result();
  }

  // Runs the loop until done() holds (checked between handlers).
  void runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    context_.restart();
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("main loop did not finish in time");
      }
      context_.run_one_for(10ms);
      if (context_.stopped()) {
        context_.restart();
      }
    }
  }

private:
  boost::asio::io_context context_;
  MainThread::Installation installation_;
};

// Blocks the calling thread until the task finishes (it must run elsewhere). True when it did.
template <typename T>
bool waitUntilFinished(const Task<T>& task, std::chrono::milliseconds limit = 5s) {
  struct Flag {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
  };
  auto flag = std::make_shared<Flag>();
  task.state()->onFinish([flag] {
    {
      std::scoped_lock lock(flag->mutex);
      flag->done = true;
    }
    flag->condition.notify_all();
  });
  std::unique_lock lock(flag->mutex);
  return flag->condition.wait_for(lock, limit, [&] { return flag->done; });
}

// A one-shot latch for handing a fact from one thread to another in tests.
class Latch {
public:
  void open() {
    // Notified under the lock: the waiter may destroy the latch as soon as it sees it open.
    std::scoped_lock lock(mutex_);
    open_ = true;
    condition_.notify_all();
  }
  bool wait(std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(mutex_);
    return condition_.wait_for(lock, limit, [&] { return open_; });
  }
  bool isOpen() {
    std::scoped_lock lock(mutex_);
    return open_;
  }

private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool open_ = false;
};

} // namespace pd::runtime::test
