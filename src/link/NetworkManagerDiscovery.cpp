// The manager's side of browsing: when the browser runs, and what the views see of the tablets
// it finds. The browser itself, its failures and rebuilds are Discovery's.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"

#include <utility>

namespace pd::link {

using diagnostics::Log;

std::shared_ptr<Discovery> NetworkManagerForMac::makeDiscovery() {
  const auto& timing = dependencies_.timing;
  Discovery::Dependencies dependencies;
  dependencies.makeBrowser = dependencies_.makeBrowser;
  dependencies.timers = dependencies_.timers;
  dependencies.serviceType = std::string(kServiceType);
  dependencies.timing = {timing.browserRebuildDelay, timing.browserRebuildDelayCap, timing.browserWaitingRebuildDelay};
  // The discovery lives inside the manager and calls these only on the main thread, where the
  // manager is destroyed: it cannot outlive the manager while it calls them.
  dependencies.hooks.resultsChanged = [this](const std::vector<BrowseResult>& results) {
    discoveredPeers.set(results);
    updateDiscoveredPeerVersions(results);
  };
  dependencies.hooks.peerAppeared = [this](const BrowseResult& result) { reconnectNow(result); };
  dependencies.hooks.browsingChanged = [this](bool browsing, std::optional<std::string> status) {
    isBrowsing.set(browsing);
    if (status) connectionStatus.set(std::move(*status));
  };
  dependencies.hooks.rebuildDue = [this](std::string_view reason) { rebuildBrowser(reason); };
  return std::make_shared<Discovery>(networkQueue_.executor(), std::move(dependencies));
}

std::string NetworkManagerForMac::endpointText(const Endpoint& endpoint) { return Discovery::endpointText(endpoint); }

std::optional<std::int64_t> NetworkManagerForMac::parseProtocolVersion(const std::optional<std::string>& text) {
  return Discovery::parseProtocolVersion(text);
}

NetworkManagerForMac::PeerVersionInfo NetworkManagerForMac::peerVersionInfo(const BrowseResult& result) {
  return Discovery::peerVersionInfo(result);
}

void NetworkManagerForMac::updateBrowsing(std::string_view reason) {
  runtime::MainThread::assertMainThread();
  if (browseSuspendedByUser && !reconnect_.active()) {
    if (!discovery_->isRunning()) return;
    stopBrowsing();
    Log::network().notice("browse_stop reason=%{public}s", reason);
    return;
  }
  if (!discovery_->isRunning()) {
    discovery_->start();
  } else {
    Log::network().debug("browse_skip reason=already_started");
  }
}

void NetworkManagerForMac::stopBrowsing() {
  discovery_->stop();
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
  discovery_->scheduleRebuild(reason, after);
}

void NetworkManagerForMac::updateDiscoveredPeerVersions(const std::vector<BrowseResult>& results) {
  std::map<Endpoint, PeerVersionInfo> versions;
  for (const auto& result : results) versions[result.endpoint] = peerVersionInfo(result);
  discoveredPeerVersions.set(std::move(versions));
}

} // namespace pd::link
