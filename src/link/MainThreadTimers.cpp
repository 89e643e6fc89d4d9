#include "link/MainThreadTimers.hpp"

#include "runtime/Executor.hpp"
#include "runtime/MainThread.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cmath>
#include <mutex>

namespace pd::link {

namespace {

class SteadyTimer final : public MainThreadTimers::Timer {
public:
  SteadyTimer(double seconds, runtime::UniqueFunction<void()> callback)
      : state_(std::make_shared<State>(boost::asio::any_io_executor(runtime::MainThread::executor()))) {
    state_->fire = std::move(callback);
    const double clamped = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
    state_->timer.expires_after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(clamped)));
    state_->timer.async_wait([state = state_](const boost::system::error_code& ec) {
      if (ec) return;
      runtime::UniqueFunction<void()> fire;
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
    runtime::UniqueFunction<void()> dropped;
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
    runtime::UniqueFunction<void()> fire;
    boost::asio::steady_timer timer;
  };
  std::shared_ptr<State> state_;
};

class SystemTimers final : public MainThreadTimers {
public:
  std::unique_ptr<Timer> schedule(double seconds, runtime::UniqueFunction<void()> fire) override {
    return std::make_unique<SteadyTimer>(seconds, std::move(fire));
  }
};

} // namespace

std::shared_ptr<MainThreadTimers> MainThreadTimers::system() {
  static const auto timers = std::make_shared<SystemTimers>();
  return timers;
}

} // namespace pd::link
