#pragma once

// Internal: the event loops and gates behind serial queues, thread pools and the main thread.

#include "runtime/Executor.hpp"
#include "runtime/UniqueFunction.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pd::runtime::detail {

// Lets many threads use a resource until it is closed, and lets the closer wait until nobody is
// using it any more. Lock-free so that no lock is held while work is handed on.
class Gate {
public:
  // False once closed; on true the caller must leave().
  bool enter() noexcept;
  void leave() noexcept;
  // Refuses new entries and waits for the current users to leave. Never call it while inside.
  void closeAndWait() noexcept;
  bool isClosed() const noexcept { return closed_.load(std::memory_order_seq_cst); }

private:
  std::atomic<int> users_{0};
  std::atomic<bool> closed_{false};
};

// A target that can be shut down.
class QueueTarget : public ExecutionTarget {
public:
  virtual void shutdown() noexcept = 0;
  // True once shutdown() has begun: work handed in from then on is dropped.
  virtual bool isClosed() const noexcept = 0;
};

// An io_context served by threads of its own.
class EventLoop final : public QueueTarget, public std::enable_shared_from_this<EventLoop> {
public:
  struct Options {
    std::string name; // thread names derive from it
    std::size_t threads = 1;
    int niceIncrement = 0;
    bool serial = true; // one thread: work runs in order; shutdown lets queued work run first
  };

  static std::shared_ptr<EventLoop> start(Options options);
  ~EventLoop() override;

  void execute(UniqueFunction<void()> work, bool mayRunInline) override;
  bool isCurrent() const noexcept override;
  boost::asio::execution_context& context() const noexcept override;
  bool isSerial() const noexcept override { return serial_; }
  void shutdown() noexcept override;
  bool isClosed() const noexcept override;

  struct Impl;

private:
  explicit EventLoop(Options options);
  void serve(std::size_t index) noexcept;

  std::unique_ptr<Impl> impl_;
  bool serial_;
};

// Posts work through post and waits until it has run: true when it ran to its end within the
// timeout (none: no limit), false at once when post dropped it. work must own what it uses, since
// it may still run after a time-out.
bool postAndWait(const std::function<void(UniqueFunction<void()>)>& post, UniqueFunction<void()> work,
                 std::optional<std::chrono::nanoseconds> timeout);

// Joins the threads of the loops that were closed from their own work (each ends by itself once
// that work returns). As the program ends, so that none runs while static objects are destroyed.
void joinEndedQueueThreads() noexcept;

// Names the calling thread (Linux keeps 15 characters: the end of the name, which is the
// distinctive part of reverse-DNS names) and lowers its priority by niceIncrement.
void setUpThread(const std::string& name, int niceIncrement) noexcept;

} // namespace pd::runtime::detail
