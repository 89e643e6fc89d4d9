#pragma once

// A named serial queue: work runs one piece at a time, in the order it was posted.
//
// Kind::ownThread gives the queue a thread and event loop of its own, for work that may block
// (network, video out, log ring, watchdog); timers and sockets made on its executor are served by
// that thread. Kind::sharedPool makes it a strand on the shared pool, for short work.
//
// Destruction (or shutdown()) closes the queue: work already queued still runs, in order; work
// posted after the close (from inside the queue as well) is dropped; pending timers and socket
// operations are destroyed without running. Then the destructor waits for the queue to go idle
// (for ownThread: joins its thread). Executor copies may outlive the queue; what they are given
// afterwards is dropped. A Kind::sharedPool queue made after the shared pool ended (endThreads())
// is closed from the start.

#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace pd::runtime {

class Executor; // runtime/Executor.hpp, for callers of executor()
namespace detail {
class ExecutionTarget;
} // namespace detail

class SerialQueue {
public:
  enum class Kind { ownThread, sharedPool };

  explicit SerialQueue(std::string name, Kind kind = Kind::ownThread);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& name() const noexcept { return name_; }
  Kind kind() const noexcept { return kind_; }

  Executor executor() const;
  void post(UniqueFunction<void()> work) const;
  // True while the calling thread runs work of this queue.
  bool isCurrent() const noexcept;

  // Runs work on the queue and waits at most timeout for it to finish. True when it finished in
  // time. Called from the queue itself it runs the work at once. After a time-out the work may
  // still run or be running, so it must own everything it uses (capture by value or shared_ptr).
  // False at once when the queue is closed.
  bool syncWithTimeout(UniqueFunction<void()> work, std::chrono::nanoseconds timeout) const;

  // What the destructor does; idempotent. Called from the queue's own work it closes the queue
  // and returns without waiting (the queue finishes on its own).
  void shutdown() noexcept;

private:
  std::string name_;
  Kind kind_;
  std::shared_ptr<detail::ExecutionTarget> target_;
};

} // namespace pd::runtime
