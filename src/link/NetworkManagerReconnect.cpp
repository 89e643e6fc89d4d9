// Losing the tablet, finding it again, and the user's disconnect.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "platform/crypto/Random.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/Weak.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace pd::link {

using diagnostics::Log;
using Cause = NetworkManagerForMac::ReconnectNotice::Cause;

namespace {

// Uniform in [0.8, 1.2], closed, from 53 random bits.
double reconnectJitter() {
  std::array<std::uint8_t, 8> bytes{};
  platform::crypto::fillRandom(bytes);
  std::uint64_t bits = 0;
  for (const auto byte : bytes) bits = (bits << 8U) | byte;
  bits >>= 11U;
  constexpr double kLargest = 9007199254740991.0; // 2^53 - 1
  return 0.8 + 0.4 * (static_cast<double>(bits) / kLargest);
}

} // namespace

void NetworkManagerForMac::handlePeerLost() {
  runtime::MainThread::assertMainThread();
  Log::network().notice("udp_disconnect reason=peer_lost");
  invalidateConnectionTimeout();
  closeConnection();
  beginLinkSession();
  connectedPeers.set({});
  isConnecting_ = false;
  clearPendingFrames();
  postToNetworkQueue([](NetworkManagerForMac& self) {
    self.flushStreamStats();
    self.resetVideoDecoders();
  });
  pendingModeRequest.set(std::nullopt);
  resetPeerVersionState();
  hasConnectionIssue.set(true);
  connectionStatus.set("接続が切断されました - 再接続中...");
  if (onConnectionLost) onConnectionLost();
  startAutoReconnect(Cause::connectionLost);
  Log::network().debug("disconnect_cleanup_done");
}

void NetworkManagerForMac::startAutoReconnect(Cause cause) {
  // After a failed or timed-out attempt only that tablet is tried; after a lost link any may be.
  if (!reconnect_.start(cause != Cause::connectionLost)) {
    Log::network().debug("reconnect_skip reason=already_reconnecting");
    return;
  }
  reconnectNotice.set(ReconnectNotice{cause, std::nullopt});
  updateBrowsing("reconnect_start");
  Log::network().notice("reconnect_start");
  scheduleReconnect();
}

void NetworkManagerForMac::stopAutoReconnect() {
  reconnectTimer_.reset();
  reconnect_.stop();
  reconnectNotice.set(std::nullopt);
  updateBrowsing("reconnect_stop");
}

void NetworkManagerForMac::updateReconnectNoticeCause(Cause cause) {
  const auto& notice = reconnectNotice.get();
  if (!notice || notice->cause == cause) return;
  reconnectNotice.set(ReconnectNotice{cause, notice->nextAttemptAt});
}

void NetworkManagerForMac::scheduleReconnect() {
  if (!reconnect_.active()) return;
  reconnectTimer_.reset();
  const auto& timing = dependencies_.timing;
  const auto wait =
      reconnect_.nextWait(timing.maxReconnectInterval, timing.occupiedReconnectInterval, reconnectJitter());
  const std::int64_t attempt = wait.attempt;
  const double delay = wait.delay.count();
  if (delay <= 0) {
    Log::network().notice("reconnect_attempt attempt=%ld delay_s=0", attempt);
    performReconnectAttempt();
    return;
  }
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f", delay);
  if (wait.occupied) {
    Log::network().notice("reconnect_attempt attempt=%ld delay_s=%{public}s reason=occupied", attempt, text.data());
  } else {
    Log::network().notice("reconnect_attempt attempt=%ld delay_s=%{public}s", attempt, text.data());
  }
  if (const auto& notice = reconnectNotice.get()) {
    // Shown to the user as a time of day, so on the wall clock.
    const auto at = runtime::Clock::current().wall() + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                                           runtime::durationFromSeconds(delay));
    reconnectNotice.set(ReconnectNotice{notice->cause, at});
  }
  reconnectTimer_ = dependencies_.timers->schedule(
      Timing::Seconds(delay), runtime::weakCallback(weak_from_this(), [](NetworkManagerForMac& self) {
        self.reconnectTimer_.reset();
        self.performReconnectAttempt();
      }));
}

void NetworkManagerForMac::reconnectNow(const BrowseResult& rediscovered) {
  if (!reconnect_.active() || isConnecting_ || !reconnectTimer_) return;
  if (lastConnectedPeer_ && lastConnectedPeer_->endpoint != rediscovered.endpoint) return;
  Log::network().notice("reconnect_shortcut reason=bonjour_rediscovery name=%{private,mask.hash}s",
                        endpointText(rediscovered.endpoint));
  reconnectTimer_.reset();
  performReconnectAttempt();
}

void NetworkManagerForMac::performReconnectAttempt() {
  if (!reconnect_.active()) return;
  reconnect_.notePeerFree();
  Log::network().debug("reconnect_exec attempt=%ld", reconnect_.attempt());
  if (const auto& notice = reconnectNotice.get(); notice && notice->nextAttemptAt) {
    reconnectNotice.set(ReconnectNotice{notice->cause, std::nullopt});
  }
  // Copied: connect() below may replace the published list's owner's state.
  const std::vector<BrowseResult> discovered = discoveredPeers.get();
  if (!discovered.empty()) reconnect_.notePeersSeen();

  const BrowseResult* last = nullptr;
  if (lastConnectedPeer_) {
    const auto found = std::find_if(discovered.begin(), discovered.end(), [&](const BrowseResult& result) {
      return result.endpoint == lastConnectedPeer_->endpoint;
    });
    if (found != discovered.end()) last = &*found;
  }
  if (last != nullptr) {
    const std::string name = endpointText(last->endpoint);
    if (lastSelectedInterface_) {
      const auto sameRoute = std::find_if(last->interfaces.begin(), last->interfaces.end(),
                                          [&](const Interface& i) { return i.name == lastSelectedInterface_->name; });
      if (sameRoute != last->interfaces.end()) {
        // The route as the browser sees it now: an interface that went and came back (a cable
        // plugged in again) keeps its name but has a new index, and the old one leads nowhere.
        const Interface interface = *sameRoute;
        Log::network().debug("reconnect_target kind=last_peer name=%{private,mask.hash}s iface=%{public}s", name,
                             interface.name);
        reportReconnectTarget("last_peer", "route_reuse", interface.name, name);
        connect(*last, interface);
        return;
      }
    }
    if (!last->interfaces.empty()) {
      const Interface interface = last->interfaces.front();
      Log::network().debug("reconnect_target kind=fallback_iface iface=%{public}s", interface.name);
      reportReconnectTarget("fallback_iface", "route_unavailable", interface.name, name);
      connect(*last, interface);
      return;
    }
    Log::network().debug("reconnect_retry reason=no_route");
    updateReconnectNoticeCause(Cause::peerNotFound);
    reportReconnectTarget("none", "no_route", std::nullopt, std::nullopt);
    scheduleReconnect();
    return;
  }
  if (!reconnect_.pinnedToLastPeer() && !discovered.empty() && !discovered.front().interfaces.empty()) {
    const BrowseResult& first = discovered.front();
    const Interface interface = first.interfaces.front();
    const std::string name = endpointText(first.endpoint);
    Log::network().debug("reconnect_target kind=discovered name=%{private,mask.hash}s iface=%{public}s", name,
                         interface.name);
    reportReconnectTarget("discovered", "last_peer_missing", interface.name, name);
    connect(first, interface);
    return;
  }
  Log::network().debug("reconnect_retry reason=no_peer");
  updateReconnectNoticeCause(Cause::peerNotFound);
  reportReconnectTarget("none", "no_peer", std::nullopt, std::nullopt);
  // A browser that has seen nothing for a while may be stuck: start it afresh.
  if (reconnect_.noteNoPeer()) rebuildBrowser("stale_no_peer");
  scheduleReconnect();
}

void NetworkManagerForMac::reportReconnectTarget(std::string kind, std::string reason,
                                                 std::optional<std::string> interface,
                                                 std::optional<std::string> peerName) {
  ReconnectPolicy::Target target{std::move(kind), std::move(reason), std::move(interface), std::move(peerName)};
  const auto changedFrom = reconnect_.reportTarget(target);
  if (!changedFrom) return;
  const std::string& from = *changedFrom;
  if (target.interface && target.peerName) {
    Log::network().notice("reconnect_target_change from=%{public}s to=%{public}s reason=%{public}s iface=%{public}s "
                          "name=%{private,mask.hash}s attempt=%ld",
                          from, target.kind, target.reason, *target.interface, *target.peerName, reconnect_.attempt());
  } else {
    Log::network().notice("reconnect_target_change from=%{public}s to=%{public}s reason=%{public}s attempt=%ld", from,
                          target.kind, target.reason, reconnect_.attempt());
  }
}

void NetworkManagerForMac::stop(bool stopSyphon) {
  runtime::MainThread::assertMainThread();
  Log::network().debug("noop op=advertise reason=receiver_only");
  browseSuspendedByUser = true;
  updateBrowsing("stop");
  if (stopSyphon) this->stopSyphon();
  stopAutoReconnect();
  invalidateConnectionTimeout();
  closeConnection();
  beginLinkSession();
  connectedPeers.set({});
  discoveredPeers.set({});
  isConnecting_ = false;
  connectionStatus.set("未接続");
  updateConnectionStatus();
  clearPendingFrames();
  postToNetworkQueue([](NetworkManagerForMac& self) { self.ingest_.clearReassembly(); });
  pendingModeRequest.set(std::nullopt);
  resetPeerVersionState();
  Log::network().notice("udp_disconnect reason=manual syphon_stopped=%{bool}d", stopSyphon);
}

} // namespace pd::link
