#pragma once

// The heartbeat's judgement of the link: how long the tablet has been silent and what that
// silence means, and the clock-skew samples its pongs give. Each half belongs to one thread and
// has no lock: LinkHealth to the network queue, which hears the tablet, PingClock to the main
// thread, which sends the pings and reads the pongs.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pd::link {

enum class LinkState : std::uint8_t { connected, degraded, lost };

// Network queue. Times are monotonic seconds.
class LinkHealth {
public:
  using Seconds = std::chrono::duration<double>;
  struct Thresholds {
    Seconds pingInterval{2.0};
    Seconds checkInterval{1.0}; // the tick period
    Seconds degraded{2.5};
    Seconds lost{5.0};
  };

  // A new heartbeat run under `epoch`: the link counts as heard at `now` and connected, and the
  // first tick sends a ping.
  void restart(const Thresholds& thresholds, double now, std::uint64_t epoch);
  void noteInbound(double now) noexcept { lastInboundActivity_ = now; }
  // True at most once per ping interval; a ping is then due.
  bool takePingDue(double now) noexcept;
  // The verdict of the silence at `now`, only when it differs from the previous verdict.
  std::optional<LinkState> evaluate(double now) noexcept;
  // How long until the silence crosses the next threshold, when that comes before the next tick
  // would notice; none once lost.
  std::optional<Seconds> untilNextThreshold(double now) const noexcept;

  LinkState state() const noexcept { return state_; }
  // The run the verdicts belong to.
  std::uint64_t epoch() const noexcept { return epoch_; }
  double lastInboundActivity() const noexcept { return lastInboundActivity_; }

private:
  Thresholds thresholds_;
  double lastInboundActivity_ = 0;
  double lastPingScheduledAt_ = -1e9; // far back: the first tick sends
  LinkState state_ = LinkState::connected;
  std::uint64_t epoch_ = 0;
};

// Main thread. Numbers the pings of one heartbeat run and turns the pong of the latest ping into
// a clock-skew sample.
class PingClock {
public:
  struct Skew {
    std::int64_t skewMs = 0;
    std::int64_t rttMs = 0;
    std::int64_t sample = 0; // samples taken since the receiver started
  };

  // The heartbeat stopped: numbering starts again and the next sample is reported at once.
  void reset() noexcept;
  // The sequence number of a ping sent at these times.
  std::int64_t notePingSent(double wallSeconds, double monotonicSeconds) noexcept;
  // A sample to report from a pong answering `seq` with the tablet's clock; none when the pong is
  // not the latest ping's, the difference does not fit, or one was reported less than five
  // minutes ago.
  std::optional<Skew> notePong(std::int64_t seq, std::int64_t peerTimestampUnixMs, double wallSeconds,
                               double monotonicSeconds) noexcept;
  std::int64_t sequence() const noexcept { return sequence_; }

private:
  struct SentPing {
    std::int64_t seq = 0;
    double wallSeconds = 0; // since 1970, for the skew midpoint
    double monotonicSeconds = 0;
  };
  std::int64_t sequence_ = 0;
  std::optional<SentPing> lastSent_;
  std::int64_t samples_ = 0;
  std::optional<double> lastReportAt_; // monotonic seconds
  bool forceNextReport_ = false;
};

// The four keys of a ping or a pong, stamped now; empty when it cannot be written.
std::string heartbeatMessage(std::string_view type, std::int64_t seq);

} // namespace pd::link
