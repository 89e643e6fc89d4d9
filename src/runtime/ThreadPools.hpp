#pragma once

// The process's two thread pools: the shared pool for short concurrent work (the counterpart of
// a global concurrent queue) and the background pool, whose threads run at a lowered priority,
// for long jobs that must not compete with the user interface (analysis, thumbnails, sweeping).
// Both live until endThreads() as the program ends. Work on a pool runs concurrently: anything
// that needs order uses a SerialQueue or a strand.

#include "runtime/UniqueFunction.hpp"

#include <cstddef>
#include <memory>
#include <string>

namespace pd::runtime {

class Executor; // runtime/Executor.hpp, for callers of executor()
namespace detail {
class ExecutionTarget;
} // namespace detail

class ThreadPool {
public:
  // niceIncrement > 0 lowers the priority of every pool thread (see setpriority(2)).
  ThreadPool(std::string name, std::size_t threadCount, int niceIncrement = 0);
  // Stops: queued work is dropped; running work finishes; the threads are joined.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  const std::string& name() const noexcept { return name_; }
  std::size_t threadCount() const noexcept { return threadCount_; }

  Executor executor() const;
  void post(UniqueFunction<void()> work) const;
  // True on one of the pool's threads.
  bool isCurrent() const noexcept;

  void shutdown() noexcept;

private:
  std::string name_;
  std::size_t threadCount_;
  std::shared_ptr<detail::ExecutionTarget> target_;
};

ThreadPool& sharedPool();
ThreadPool& backgroundPool();
// Ends both pools (queued work dropped, running work finished, threads joined) and joins the
// threads of serial queues closed from their own work, so that none of the runtime's threads
// still runs while static objects are destroyed. Called once, as main() ends, after everything
// that uses them has gone; work posted to a pool afterwards is dropped.
void endThreads() noexcept;

// Pool sizes for a machine with the given number of hardware threads (0 when unknown). The
// shared pool keeps a few threads even on two cores, since some of its work blocks on I/O.
std::size_t sharedPoolSize(unsigned hardwareThreads) noexcept;
std::size_t backgroundPoolSize(unsigned hardwareThreads) noexcept;

// Niceness added to background pool threads.
inline constexpr int kBackgroundNiceIncrement = 10;

} // namespace pd::runtime
