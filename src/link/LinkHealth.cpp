#include "link/LinkHealth.hpp"

#include "platform/json/JsonWriter.hpp"
#include "runtime/Clock.hpp"

#include <nlohmann/json.hpp>

#include <exception>

namespace pd::link {

void LinkHealth::restart(const Thresholds& thresholds, double now, std::uint64_t epoch) {
  thresholds_ = thresholds;
  lastInboundActivity_ = now;
  lastPingScheduledAt_ = -1e9;
  state_ = LinkState::connected;
  epoch_ = epoch;
}

bool LinkHealth::takePingDue(double now) noexcept {
  // Slightly under the ping period, so that every second one-second tick sends.
  if (now - lastPingScheduledAt_ < thresholds_.pingInterval.count() - 0.05) return false;
  lastPingScheduledAt_ = now;
  return true;
}

std::optional<LinkState> LinkHealth::evaluate(double now) noexcept {
  const double silence = now - lastInboundActivity_;
  const LinkState state = silence >= thresholds_.lost.count()       ? LinkState::lost
                          : silence >= thresholds_.degraded.count() ? LinkState::degraded
                                                                    : LinkState::connected;
  if (state == state_) return std::nullopt;
  state_ = state;
  return state;
}

std::optional<LinkHealth::Seconds> LinkHealth::untilNextThreshold(double now) const noexcept {
  // A one-second tick alone would judge up to a second late; the verdict is due when the
  // silence reaches the threshold.
  if (state_ == LinkState::lost) return std::nullopt;
  const double threshold = (state_ == LinkState::connected ? thresholds_.degraded : thresholds_.lost).count();
  const double wait = lastInboundActivity_ + threshold - now;
  if (wait >= thresholds_.checkInterval.count()) return std::nullopt;
  return Seconds(wait);
}

void PingClock::reset() noexcept {
  sequence_ = 0;
  lastSent_.reset();
  forceNextReport_ = true;
}

std::int64_t PingClock::notePingSent(double wallSeconds, double monotonicSeconds) noexcept {
  ++sequence_;
  lastSent_ = SentPing{sequence_, wallSeconds, monotonicSeconds};
  return sequence_;
}

std::optional<PingClock::Skew> PingClock::notePong(std::int64_t seq, std::int64_t peerTimestampUnixMs,
                                                   double wallSeconds, double monotonicSeconds) noexcept {
  if (!lastSent_ || lastSent_->seq != seq) return std::nullopt;
  // The round trip on the monotonic clock; the midpoint on the wall clock, to compare with the tablet's.
  const auto rttMs = static_cast<std::int64_t>((monotonicSeconds - lastSent_->monotonicSeconds) * 1000.0);
  const auto midMs = static_cast<std::int64_t>((lastSent_->wallSeconds + wallSeconds) * 0.5 * 1000.0);
  // The tablet's number may be anywhere in 64 bits; a difference that does not fit is no sample.
  std::int64_t skewMs = 0;
  if (__builtin_sub_overflow(peerTimestampUnixMs, midMs, &skewMs)) return std::nullopt;
  ++samples_;
  if (!forceNextReport_ && lastReportAt_ && monotonicSeconds - *lastReportAt_ < 300.0) return std::nullopt;
  forceNextReport_ = false;
  lastReportAt_ = monotonicSeconds;
  return Skew{skewMs, rttMs, samples_};
}

std::string heartbeatMessage(std::string_view type, std::int64_t seq) {
  try {
    const double wall = runtime::wallSeconds();
    const nlohmann::json message = {
        {"type", std::string(type)},
        {"seq", seq},
        {"timestamp", runtime::wallSecondsSinceReferenceDate()},
        {"timestampUnixMs", static_cast<std::int64_t>(wall * 1000.0)},
    };
    return platform::json::write(message);
  } catch (const std::exception&) {
    return {};
  }
}

} // namespace pd::link
