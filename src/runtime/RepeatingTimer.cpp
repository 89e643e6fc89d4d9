#include "runtime/RepeatingTimer.hpp"

#include "runtime/Task.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace pd::runtime {

struct RepeatingTimer::Core : std::enable_shared_from_this<Core> {
  Core(boost::asio::any_io_executor e, std::chrono::nanoseconds p, std::function<void()> t)
      : executor(detail::serialize(e)), timer(executor), period(p), tick(std::move(t)) {}

  // The timer object is not thread-safe: it is touched only on executor, which is serial.
  boost::asio::any_io_executor executor;
  boost::asio::steady_timer timer;
  std::chrono::nanoseconds period;
  std::function<void()> tick;

  std::mutex mutex;
  std::condition_variable tickEnded;
  std::uint64_t generation = 0; // raised by start() and cancel(); older waits do nothing
  bool running = false;
  std::optional<std::thread::id> tickingThread;

  bool isCurrent(std::uint64_t wanted) {
    std::scoped_lock lock(mutex);
    return running && generation == wanted;
  }

  void schedule(std::uint64_t wanted, std::chrono::steady_clock::time_point deadline) {
    if (!isCurrent(wanted)) {
      return;
    }
    timer.expires_at(deadline);
    timer.async_wait([self = shared_from_this(), wanted, deadline](const boost::system::error_code& error) {
      if (!error) {
        self->fire(wanted, deadline);
      }
    });
  }

  void fire(std::uint64_t wanted, std::chrono::steady_clock::time_point deadline) {
    {
      std::scoped_lock lock(mutex);
      if (!running || generation != wanted) {
        return;
      }
      tickingThread = std::this_thread::get_id();
    }
    struct EndTick {
      Core& core;
      bool completed = false;
      ~EndTick() {
        {
          std::scoped_lock lock(core.mutex);
          core.tickingThread.reset();
          if (!completed) {
            core.running = false; // a tick that threw stops the timer rather than spinning
          }
        }
        core.tickEnded.notify_all();
      }
    } end{*this};
    tick();
    end.completed = true;
    // Fixed rate; after a stall longer than a period, resume from now instead of catching up.
    const auto now = std::chrono::steady_clock::now();
    auto next = deadline + period;
    if (next <= now) {
      next = now + period;
    }
    schedule(wanted, next);
  }
};

RepeatingTimer::RepeatingTimer(boost::asio::any_io_executor executor, std::chrono::nanoseconds period,
                               std::function<void()> tick)
    : period_(std::max(period, std::chrono::nanoseconds(1))),
      core_(std::make_shared<Core>(std::move(executor), period_, std::move(tick))) {}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::start(std::chrono::nanoseconds firstDelay) {
  std::uint64_t generation = 0;
  {
    std::scoped_lock lock(core_->mutex);
    generation = ++core_->generation;
    core_->running = true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::max(firstDelay, std::chrono::nanoseconds::zero());
  boost::asio::dispatch(core_->executor,
                        [core = core_, generation, deadline] { core->schedule(generation, deadline); });
}

void RepeatingTimer::cancel() noexcept {
  {
    std::unique_lock lock(core_->mutex);
    if (!core_->running) {
      return;
    }
    core_->running = false;
    ++core_->generation;
    const auto self = std::this_thread::get_id();
    core_->tickEnded.wait(lock, [&] { return !core_->tickingThread || *core_->tickingThread == self; });
  }
  boost::asio::dispatch(core_->executor, [core = core_] { core->timer.cancel(); });
}

bool RepeatingTimer::isRunning() const noexcept {
  std::scoped_lock lock(core_->mutex);
  return core_->running;
}

} // namespace pd::runtime
