// Browsing for tablets: the browser's life, its failures and rebuilds, and what the views see of
// the tablets found.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "link/ManagerText.hpp"
#include "platform/log/Utf8.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"

#include <algorithm>
#include <utility>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using platform::bonjour::BrowseChange;
using platform::bonjour::BrowserState;
using platform::bonjour::BrowserStateUpdate;

// --- Discovery ----------------------------------------------------------------------------------------

std::string NetworkManagerForMac::endpointText(const Endpoint& endpoint) {
  if (const auto* hostPort = std::get_if<platform::net::HostPort>(&endpoint)) {
    return hostPort->host + ":" + std::to_string(hostPort->port);
  }
  return std::get<platform::net::ServiceEndpoint>(endpoint).name;
}

std::optional<std::int64_t> NetworkManagerForMac::parseProtocolVersion(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::string_view digits(*text);
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  // Accumulated as a negative number, which reaches the one value whose magnitude has no
  // positive counterpart.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return std::nullopt;
  return -value;
}

NetworkManagerForMac::PeerVersionInfo NetworkManagerForMac::peerVersionInfo(const BrowseResult& result) {
  PeerVersionInfo info;
  if (!result.txtRecord) return info;
  info.protocolVersion = parseProtocolVersion(result.txtRecord->value("pv"));
  if (auto app = result.txtRecord->value("app")) {
    // Shown in labels: whatever the network sent becomes valid text.
    info.appVersion = platform::log::toValidUtf8(*app);
  }
  return info;
}

void NetworkManagerForMac::updateBrowsing(std::string_view reason) {
  runtime::MainThread::assertMainThread();
  if (browseSuspendedByUser && !reconnect_.active()) {
    if (!browser_) return;
    stopBrowsing();
    Log::network().notice("browse_stop reason=%{public}s", reason);
    return;
  }
  if (!browser_) {
    startBrowsing();
  } else {
    Log::network().debug("browse_skip reason=already_started");
  }
}

void NetworkManagerForMac::startBrowsing() {
  // The browse parameters: no peer-to-peer links, interactive video; the daemon browses every
  // interface.
  Log::network().debug("browse_params scope=all");
  auto browser = dependencies_.makeBrowser(udpServiceType_);
  const std::uint64_t serial = ++browserSerial_;
  std::weak_ptr<NetworkManagerForMac> weak = weak_from_this();
  browser->setResultsChangedHandler(
      [weak, serial](const std::vector<BrowseResult>& results, const std::vector<BrowseChange>& changes) {
        if (weak.expired()) return;
        runtime::MainThread::post(runtime::weakCallback(weak, [serial, results, changes](NetworkManagerForMac& self) {
          self.handleBrowseResults(serial, results, changes);
        }));
      });
  browser->setStateUpdateHandler([weak, serial](const BrowserStateUpdate& update) {
    if (weak.expired()) return;
    runtime::MainThread::post(runtime::weakCallback(
        weak, [serial, update](NetworkManagerForMac& self) { self.handleBrowserState(serial, update); }));
  });
  browser_ = std::move(browser);
  browser_->start(networkQueue_.executor());
  Log::network().notice("browse_start type=%{public}s", udpServiceType_);
}

void NetworkManagerForMac::stopBrowsing() {
  browserRebuildTask_.reset();
  if (browser_) {
    browser_->setResultsChangedHandler(nullptr);
    browser_->setStateUpdateHandler(nullptr);
    browser_->cancel();
    browser_.reset();
  }
  isBrowsing.set(false);
  discoveredPeers.set({});
  discoveredPeerVersions.set({});
  updateConnectionStatus();
}

void NetworkManagerForMac::rebuildBrowser(std::string_view reason) {
  runtime::MainThread::assertMainThread();
  Log::network().notice("browse_rebuild reason=%{public}s", reason);
  stopBrowsing();
  updateBrowsing("rebuild");
}

void NetworkManagerForMac::scheduleBrowserRebuild(std::string_view reason, Timing::Seconds after) {
  runtime::MainThread::assertMainThread();
  browserRebuildTask_.reset();
  browserRebuildTask_ = dependencies_.timers->schedule(
      after, runtime::weakCallback(weak_from_this(), [reason = std::string(reason)](NetworkManagerForMac& self) {
        self.browserRebuildTask_.reset();
        self.rebuildBrowser(reason);
      }));
}

void NetworkManagerForMac::handleBrowseResults(std::uint64_t browserSerial, const std::vector<BrowseResult>& results,
                                               const std::vector<BrowseChange>& changes) {
  // A cancelled or replaced browser's late events change nothing.
  if (!browser_ || browserSerial != browserSerial_) return;
  discoveredPeers.set(results);
  updateDiscoveredPeerVersions(results);
  for (const auto& change : changes) {
    switch (change.kind) {
    case BrowseChange::Kind::added:
      Log::network().notice("bonjour_found name=%{private,mask.hash}s", endpointText(change.result.endpoint));
      reconnectNow(change.result);
      break;
    case BrowseChange::Kind::removed:
      Log::network().notice("bonjour_lost name=%{private,mask.hash}s", endpointText(change.result.endpoint));
      break;
    case BrowseChange::Kind::changed: {
      const std::string oldInterfaces = change.oldResult ? interfaceNames(change.oldResult->interfaces) : std::string();
      Log::network().notice("route_change source=bonjour name=%{private,mask.hash}s old_ifaces=%{public}s",
                            endpointText(change.result.endpoint), oldInterfaces);
      reconnectNow(change.result);
      break;
    }
    case BrowseChange::Kind::identical:
      break;
    }
  }
}

void NetworkManagerForMac::updateDiscoveredPeerVersions(const std::vector<BrowseResult>& results) {
  std::map<Endpoint, PeerVersionInfo> versions;
  for (const auto& result : results) versions[result.endpoint] = peerVersionInfo(result);
  discoveredPeerVersions.set(std::move(versions));
}

void NetworkManagerForMac::handleBrowserState(std::uint64_t browserSerial, const BrowserStateUpdate& update) {
  if (!browser_ || browserSerial != browserSerial_) return;
  switch (update.state) {
  case BrowserState::ready:
    Log::network().notice("browse_ready");
    isBrowsing.set(true);
    connectionStatus.set("検索中...");
    browserRebuildDelay_ = dependencies_.timing.browserRebuildDelay;
    browserRebuildTask_.reset();
    break;
  case BrowserState::failed: {
    const auto fields = LogErrorFields::fields(errorOrUnknown(update.error), true);
    Log::network().error("browse_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                         fields.detail);
    isBrowsing.set(false);
    connectionStatus.set("エラー: " + errorTextOrUnknown(update.error));
    const Timing::Seconds delay = browserRebuildDelay_;
    const Timing::Seconds doubled = 2 * delay;
    browserRebuildDelay_ =
        doubled > dependencies_.timing.browserRebuildDelayCap ? dependencies_.timing.browserRebuildDelayCap : doubled;
    scheduleBrowserRebuild("failed", delay);
    break;
  }
  case BrowserState::waiting: {
    const auto fields = LogErrorFields::fields(errorOrUnknown(update.error), true);
    Log::network().notice("browse_waiting err_domain=%{public}s err_code=%ld", fields.domain, fields.code);
    isBrowsing.set(false);
    if (!browserRebuildTask_) scheduleBrowserRebuild("waiting", dependencies_.timing.browserWaitingRebuildDelay);
    break;
  }
  case BrowserState::cancelled:
    Log::network().notice("browse_stop reason=cancelled");
    isBrowsing.set(false);
    break;
  case BrowserState::setup:
    break;
  }
}

} // namespace pd::link
