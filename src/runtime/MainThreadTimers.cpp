#include "runtime/MainThreadTimers.hpp"

#include "runtime/Clock.hpp"
#include "runtime/Executor.hpp"
#include "runtime/MainThread.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <mutex>

namespace pd::runtime {

namespace {

class SteadyTimer final : public MainThreadTimers::Timer {
public:
  SteadyTimer(std::chrono::duration<double> delay, UniqueFunction<void()> callback)
      : state_(std::make_shared<State>(boost::asio::any_io_executor(MainThread::executor()))) {
    state_->fire = std::move(callback);
    // Range-checked: a delay too long for the clock's ticks waits as long as it can.
    state_->timer.expires_after(durationFromSeconds(delay.count()));
    state_->timer.async_wait([state = state_](const boost::system::error_code& ec) {
      if (ec) return;
      UniqueFunction<void()> fire;
      {
        std::scoped_lock lock(state->mutex);
        fire = std::move(state->fire);
        state->fire = nullptr;
      }
      if (fire) fire();
    });
  }
  ~SteadyTimer() override { invalidate(); }
  SteadyTimer(const SteadyTimer&) = delete;
  SteadyTimer& operator=(const SteadyTimer&) = delete;

  void invalidate() override {
    UniqueFunction<void()> dropped;
    {
      std::scoped_lock lock(state_->mutex);
      dropped = std::move(state_->fire);
      state_->fire = nullptr;
    }
    state_->timer.cancel();
  }

private:
  struct State {
    explicit State(boost::asio::any_io_executor executor) : timer(std::move(executor)) {}
    std::mutex mutex;
    UniqueFunction<void()> fire;
    boost::asio::steady_timer timer;
  };
  std::shared_ptr<State> state_;
};

class SystemTimers final : public MainThreadTimers {
public:
  std::unique_ptr<Timer> schedule(std::chrono::duration<double> delay, UniqueFunction<void()> fire) override {
    return std::make_unique<SteadyTimer>(delay, std::move(fire));
  }
};

} // namespace

std::shared_ptr<MainThreadTimers> MainThreadTimers::system() {
  static const auto timers = std::make_shared<SystemTimers>();
  return timers;
}

} // namespace pd::runtime
