#include "link/ReconnectPolicy.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace pd::link {

bool ReconnectPolicy::start(bool pinned) noexcept {
  if (active_) return false;
  active_ = true;
  pinnedToLastPeer_ = pinned;
  consecutiveNoPeer_ = 0;
  attempt_ = 0;
  peerOccupied_ = false;
  occupiedRejectStreak_ = 0;
  lastReportedTarget_.reset();
  return true;
}

void ReconnectPolicy::stop() noexcept {
  active_ = false;
  pinnedToLastPeer_ = false;
  consecutiveNoPeer_ = 0;
  attempt_ = 0;
  occupiedRejectStreak_ = 0;
  peerOccupied_ = false;
}

ReconnectPolicy::Wait ReconnectPolicy::nextWait(Seconds cap, Seconds occupiedCap, double jitter) noexcept {
  const std::int64_t attempt = ++attempt_;
  const double limit = (peerOccupied_ ? occupiedCap : cap).count();
  if (!peerOccupied_) occupiedRejectStreak_ = 0;
  // 2^(n-2) grows past any cap long before the exponent could overflow a double.
  const double base =
      attempt <= 1 ? 0.0 : std::min(std::ldexp(1.0, static_cast<int>(std::min<std::int64_t>(attempt - 2, 64))), limit);
  return Wait{attempt, Seconds(std::min(base * jitter, limit)), peerOccupied_};
}

void ReconnectPolicy::noteRejected(bool occupied) noexcept {
  peerOccupied_ = occupied;
  if (occupied) {
    ++occupiedRejectStreak_;
    attempt_ = occupiedRejectStreak_ + 3;
  } else {
    occupiedRejectStreak_ = 0;
  }
}

std::optional<std::string> ReconnectPolicy::reportTarget(Target target) {
  if (lastReportedTarget_ == target) return std::nullopt;
  std::string from = lastReportedTarget_ ? lastReportedTarget_->kind : std::string("unset");
  lastReportedTarget_ = std::move(target);
  return from;
}

} // namespace pd::link
