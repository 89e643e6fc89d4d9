#include "runtime/Clock.hpp"

namespace pd::runtime {

namespace {
class SystemClock final : public Clock {
public:
  MonotonicTime monotonic() const noexcept override { return std::chrono::steady_clock::now(); }
  WallTime wall() const noexcept override { return std::chrono::system_clock::now(); }
};
const SystemClock kSystemClock;
} // namespace

std::atomic<const Clock*> Clock::current_{&kSystemClock};

const Clock& Clock::system() noexcept { return kSystemClock; }

const Clock* Clock::install(const Clock* clock) noexcept {
  return current_.exchange(clock != nullptr ? clock : &kSystemClock, std::memory_order_acq_rel);
}

ManualClock::ManualClock()
    : mono_(std::chrono::steady_clock::time_point{} + std::chrono::hours(1)), wall_(std::chrono::system_clock::now()) {}

Clock::MonotonicTime ManualClock::monotonic() const noexcept {
  std::scoped_lock lock(mutex_);
  return mono_;
}

Clock::WallTime ManualClock::wall() const noexcept {
  std::scoped_lock lock(mutex_);
  return wall_;
}

void ManualClock::advance(std::chrono::nanoseconds by) {
  std::scoped_lock lock(mutex_);
  mono_ += by;
  wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(by);
}

void ManualClock::stepWall(std::chrono::nanoseconds by) {
  std::scoped_lock lock(mutex_);
  wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(by);
}

void ManualClock::setWall(WallTime to) {
  std::scoped_lock lock(mutex_);
  wall_ = to;
}

} // namespace pd::runtime
