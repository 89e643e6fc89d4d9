// The heartbeat: pings every interval, answers the tablet's pings, and turns the tablet's silence
// into the degraded and lost verdicts; the judging itself lives in LinkHealth and PingClock.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "link/LinkHealth.hpp"
#include "link/ManagerText.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/Weak.hpp"

#include <chrono>
#include <cmath>
#include <vector>

namespace pd::link {

using diagnostics::Log;
using diagnostics::logThrottled;
using platform::log::Level;
using ConnectionState = platform::net::LinkState;

void NetworkManagerForMac::stopHeartbeat() {
  // The tick first: once it has ended, nothing re-arms the deadline.
  if (heartbeatSource_) {
    heartbeatSource_->cancel();
    heartbeatSource_.reset();
  }
  if (silenceDeadline_) {
    silenceDeadline_->cancel();
    silenceDeadline_.reset();
  }
  pings_.reset();
  isLinkDegraded.set(false);
  ++linkEpoch_;
}

void NetworkManagerForMac::startHeartbeat(bool resetLiveness) {
  stopHeartbeat();
  const std::uint64_t epoch = ++linkEpoch_;
  const auto& timing = dependencies_.timing;
  const LinkHealth::Thresholds thresholds{timing.heartbeatInterval, timing.heartbeatCheckInterval,
                                          timing.linkDegradedThreshold, timing.linkLostThreshold};
  const auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(timing.heartbeatCheckInterval);
  std::weak_ptr<NetworkManagerForMac> weak = weak_from_this();
  // Started only from the network queue; its own period is far off, so it acts as a one-shot.
  // The queue's work reaches it through weak references, never through the member, which the
  // main thread replaces.
  auto ownHandle = std::make_shared<std::weak_ptr<runtime::RepeatingTimer>>();
  silenceDeadline_ =
      std::make_shared<runtime::RepeatingTimer>(networkQueue_.executor(), std::chrono::hours(1), [weak, ownHandle] {
        const auto manager = weak.lock();
        const auto deadline = ownHandle->lock();
        if (!manager || !deadline) return;
        const double now = runtime::monotonicSeconds();
        manager->evaluateLinkState(now);
        manager->armSilenceDeadline(now, *deadline);
      });
  *ownHandle = silenceDeadline_;
  std::weak_ptr<runtime::RepeatingTimer> deadline = silenceDeadline_;
  heartbeatSource_ = std::make_unique<runtime::RepeatingTimer>(networkQueue_.executor(), period, [weak, deadline] {
    if (auto manager = weak.lock()) manager->heartbeatTick(deadline.lock());
  });
  postToNetworkQueue([epoch, resetLiveness, deadline, thresholds](NetworkManagerForMac& manager) {
    const double now = runtime::monotonicSeconds();
    manager.health_.restart(thresholds, now, epoch);
    if (resetLiveness) {
      manager.ingest_.restartFrameInterval();
      manager.resetVideoLiveness();
    }
    if (const auto timer = deadline.lock()) manager.armSilenceDeadline(now, *timer);
  });
  // Queued after the reset above on the same serial queue, so the first tick sees fresh values.
  heartbeatSource_->start();
  // Every accepted ack starts it anew, copies of one included: at most two lines a second.
  logThrottled(Log::heartbeat(), Level::notice, "hb_start", {1, std::chrono::milliseconds(500)},
               "hb_start interval_s=%.1f degraded_s=%.1f lost_s=%.1f occurrences=%ld", timing.heartbeatInterval.count(),
               timing.linkDegradedThreshold.count(), timing.linkLostThreshold.count());
}

void NetworkManagerForMac::heartbeatTick(const std::shared_ptr<runtime::RepeatingTimer>& silenceDeadline) {
  const double now = runtime::monotonicSeconds();
  if (health_.takePingDue(now)) {
    runtime::MainThread::post(
        runtime::weakCallback(weak_from_this(), [](NetworkManagerForMac& self) { self.sendPing(); }));
  }
  evaluateLinkState(now);
  checkVideoSilence(health_.state(), now);
  if (silenceDeadline) armSilenceDeadline(now, *silenceDeadline);
}

void NetworkManagerForMac::evaluateLinkState(double now) {
  const auto state = health_.evaluate(now);
  if (!state) return;
  const std::uint64_t epoch = health_.epoch();
  const std::int64_t scheduledAt =
      std::chrono::duration_cast<std::chrono::nanoseconds>(runtime::Clock::current().monotonic().time_since_epoch())
          .count();
  runtime::MainThread::post(
      runtime::weakCallback(weak_from_this(), [state = *state, epoch, scheduledAt](NetworkManagerForMac& self) {
        self.applyLinkState(state, epoch, scheduledAt);
      }));
}

void NetworkManagerForMac::armSilenceDeadline(double now, runtime::RepeatingTimer& silenceDeadline) {
  const auto wait = health_.untilNextThreshold(now);
  if (!wait) return;
  // A hair past the threshold, so the check cannot land just short of it.
  silenceDeadline.start(runtime::durationFromSeconds(wait->count()) + std::chrono::milliseconds(1));
}

void NetworkManagerForMac::applyLinkState(LinkState state, std::uint64_t epoch, std::int64_t scheduledAt) {
  // A verdict of a stopped or replaced heartbeat is no longer about this link.
  if (epoch != linkEpoch_) return;
  if (connectedPeers.get().empty()) return;
  const std::int64_t nowNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(runtime::Clock::current().monotonic().time_since_epoch())
          .count();
  const std::int64_t lagMs = (nowNs - scheduledAt) / 1'000'000;
  const auto thresholdMs = [](Timing::Seconds threshold) {
    return static_cast<std::int64_t>(std::llround(threshold.count() * 1000.0));
  };
  switch (state) {
  case LinkState::connected:
    if (!isLinkDegraded.get()) return;
    Log::heartbeat().notice("link_recovered lag_ms=%ld", lagMs);
    isLinkDegraded.set(false);
    updateConnectionStatus();
    break;
  case LinkState::degraded:
    Log::heartbeat().notice("link_degraded silence_ms=%ld lag_ms=%ld",
                            thresholdMs(dependencies_.timing.linkDegradedThreshold), lagMs);
    isLinkDegraded.set(true);
    updateConnectionStatus();
    break;
  case LinkState::lost:
    Log::heartbeat().error("link_lost silence_ms=%ld lag_ms=%ld", thresholdMs(dependencies_.timing.linkLostThreshold),
                           lagMs);
    handlePeerLost();
    break;
  }
}

void NetworkManagerForMac::sendPing() {
  if (!connection_.isReady()) return;
  const std::int64_t seq = pings_.notePingSent(runtime::wallSeconds(), runtime::monotonicSeconds());
  const std::string text = heartbeatMessage("ping", seq);
  if (text.empty()) {
    Log::heartbeat().error("ping_send_fail reason=json_encode");
    return;
  }
  connection_.link()->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  logThrottled(Log::heartbeat(), Level::debug, "ping_send", lineRule(30), "ping_send seq=%ld occurrences=%ld", seq);
}

void NetworkManagerForMac::handlePing(const ControlMessage& message) {
  const auto seq = message.integer("seq");
  if (!seq) return;
  const auto kind = peerVersionState.get().kind();
  if (kind == PeerVersionState::Kind::unknown) resendHandshakeIfNeeded();
  if (kind == PeerVersionState::Kind::unknown || kind == PeerVersionState::Kind::matched) {
    const auto modeText = message.string("mode");
    const auto mode = modeText ? streamModeFromText(*modeText) : std::nullopt;
    if (mode && *mode != streamMode.get() && !pendingModeRequest.get() && !connectedPeers.get().empty()) {
      Log::heartbeat().notice("hb_mode_mismatch local=%{public}s peer=%{public}s", link::toString(streamMode.get()),
                              *modeText);
      pendingModeRequest.set(mode);
    }
  }
  const std::string text = heartbeatMessage("pong", *seq);
  if (text.empty()) {
    Log::heartbeat().error("pong_send_fail reason=json_encode");
    return;
  }
  if (connection_.link()) connection_.link()->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  logThrottled(Log::heartbeat(), Level::debug, "pong_send", lineRule(30), "pong_send seq=%ld occurrences=%ld", *seq);
}

void NetworkManagerForMac::handlePong(const ControlMessage& message) {
  const auto seq = message.integer("seq");
  if (!seq) return;
  // Any number, but only one that fits 64 bits once truncated; a wilder one gives no sample.
  if (const auto numbers = message.number("timestampUnixMs")) {
    if (const auto skew = pings_.notePong(*seq, *numbers, runtime::wallSeconds(), runtime::monotonicSeconds())) {
      Log::heartbeat().notice("clock_skew clock_skew_ms=%lld rtt_ms=%ld skew_sample=%ld",
                              static_cast<long long>(skew->skewMs), skew->rttMs, skew->sample);
    }
  }
  logThrottled(Log::heartbeat(), Level::debug, "pong_recv", lineRule(30), "pong_recv seq=%ld occurrences=%ld", *seq);
}

void NetworkManagerForMac::resendHandshakeIfNeeded() {
  if (peerVersionState.get().kind() != PeerVersionState::Kind::unknown) return;
  if (!connection_.isReady()) return;
  const double now = runtime::monotonicSeconds();
  if (!control_.takeResend(now)) return;
  Log::session().notice("handshake_resend reason=ack_lost");
  control_.sendRequest(connection_.link().get());
}

} // namespace pd::link
