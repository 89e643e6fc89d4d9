#include "runtime/ThreadPools.hpp"

#include "runtime/detail/Queues.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

namespace pd::runtime {

ThreadPool::ThreadPool(std::string name, std::size_t threadCount, int niceIncrement)
    : name_(std::move(name)), threadCount_(std::max<std::size_t>(threadCount, 1)) {
  target_ = detail::EventLoop::start(
      {.name = name_, .threads = threadCount_, .niceIncrement = niceIncrement, .serial = false});
}

ThreadPool::~ThreadPool() { shutdown(); }

Executor ThreadPool::executor() const { return Executor(target_); }

void ThreadPool::post(UniqueFunction<void()> work) const { target_->execute(std::move(work), false); }

bool ThreadPool::isCurrent() const noexcept { return target_->isCurrent(); }

void ThreadPool::shutdown() noexcept { static_cast<detail::QueueTarget&>(*target_).shutdown(); }

std::size_t sharedPoolSize(unsigned hardwareThreads) noexcept {
  if (hardwareThreads == 0) {
    return 4;
  }
  return std::clamp<std::size_t>(hardwareThreads, 4, 8);
}

std::size_t backgroundPoolSize(unsigned hardwareThreads) noexcept {
  return std::clamp<std::size_t>(hardwareThreads / 2, 2, 4);
}

namespace {

// Set once a pool exists, so that ending the pools does not start them.
std::atomic<bool> sharedMade{false};
std::atomic<bool> backgroundMade{false};

} // namespace

// Both pools live until endThreads() or the process's end (never destroyed: work may still be
// queued on them while static objects are torn down).
ThreadPool& sharedPool() {
  static auto* pool = [] {
    auto* made = new ThreadPool("pd-shared", sharedPoolSize(std::thread::hardware_concurrency()));
    sharedMade.store(true);
    return made;
  }();
  return *pool;
}

ThreadPool& backgroundPool() {
  static auto* pool = [] {
    auto* made = new ThreadPool("pd-background", backgroundPoolSize(std::thread::hardware_concurrency()),
                                kBackgroundNiceIncrement);
    backgroundMade.store(true);
    return made;
  }();
  return *pool;
}

void endThreads() noexcept {
  if (sharedMade.load()) sharedPool().shutdown();
  if (backgroundMade.load()) backgroundPool().shutdown();
  detail::joinEndedQueueThreads();
}

} // namespace pd::runtime
