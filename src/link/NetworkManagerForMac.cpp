#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/MessageText.hpp"
#include "link/ManagerText.hpp"
#include "platform/bonjour/AvahiBrowser.hpp"
#include "platform/bonjour/AvahiResolver.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/json/JsonWriter.hpp"
#include "platform/log/Utf8.hpp"
#include "platform/net/UdpLink.hpp"
#include "runtime/Clock.hpp"
#include "runtime/Executor.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/Weak.hpp"
#include "video/FrameSharing.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include <unistd.h>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using diagnostics::LogThrottle;
using platform::bonjour::BrowseChange;
using platform::bonjour::BrowserState;
using platform::bonjour::BrowserStateUpdate;
using ConnectionState = platform::net::LinkState;
using platform::net::LinkStateUpdate;

namespace {

constexpr std::uint8_t kControlMessageFirstByte = 0x7B; // '{'

std::string hostDeviceName() {
  std::array<char, 256> buffer{};
  if (::gethostname(buffer.data(), buffer.size() - 1) == 0 && buffer[0] != '\0') {
    return platform::log::toValidUtf8(buffer.data());
  }
  return "Mac";
}

} // namespace

// --- Construction ---------------------------------------------------------------------------------

NetworkManagerForMac::Dependencies NetworkManagerForMac::systemDependencies() {
  Dependencies dependencies;
  dependencies.makeBrowser = [](std::string_view serviceType) {
    return std::make_unique<platform::bonjour::AvahiBrowser>(std::string(serviceType));
  };
  auto resolver = std::make_shared<platform::bonjour::AvahiResolver>();
  dependencies.makeLink = [resolver](const Endpoint& endpoint, const platform::net::LinkParameters& parameters) {
    return std::make_shared<platform::net::UdpLink>(endpoint, parameters, resolver);
  };
  dependencies.timers = runtime::MainThreadTimers::system();
  return dependencies;
}

std::shared_ptr<NetworkManagerForMac> NetworkManagerForMac::create(Dependencies dependencies) {
  runtime::MainThread::assertMainThread();
  // Work on the network queue holds the manager for a moment while it runs; should the last
  // owner let go meanwhile, the destruction still belongs on the main thread.
  const auto destroy = [](NetworkManagerForMac* doomed) {
    if (!runtime::MainThread::isInstalled() || runtime::MainThread::isMainThread()) {
      delete doomed;
    } else {
      runtime::MainThread::post([doomed] { delete doomed; });
    }
  };
  std::shared_ptr<NetworkManagerForMac> manager(new NetworkManagerForMac(Private{}, std::move(dependencies)), destroy);
  manager->initialise();
  return manager;
}

NetworkManagerForMac::NetworkManagerForMac(Private, Dependencies dependencies)
    : dependencies_(std::move(dependencies)),
      networkQueue_(std::string(kNetworkQueueLabel)),
      udpServiceType_(kServiceType),
      currentLinkID_(platform::crypto::makeHexToken32()),
      browserRebuildDelay_(dependencies_.timing.browserRebuildDelay),
      ingest_(video::VideoIngest::Hooks{
          [this](std::uint8_t stream, double now) { clearStreamStop(stream, now); },
          [this] { resetVideoLiveness(); },
      }) {
  if (!dependencies_.timers) dependencies_.timers = runtime::MainThreadTimers::system();
  deviceName_ = dependencies_.deviceName ? *dependencies_.deviceName : hostDeviceName();
}

void NetworkManagerForMac::initialise() {
  // Needs weak_from_this(), so it cannot run in the constructor.
  frameSharing_ = makeFrameSharing();
  configurePipeline(streamMode.get());
}

NetworkManagerForMac::~NetworkManagerForMac() {
  runtime::MainThread::assertMainThread();
  connectionTimeoutTimer_.reset();
  browserRebuildTask_.reset();
  if (browser_) {
    browser_->setResultsChangedHandler(nullptr);
    browser_->setStateUpdateHandler(nullptr);
    browser_->cancel();
    browser_.reset();
  }
  if (udpConnection_) {
    udpConnection_->setStateHandler(nullptr);
    udpConnection_->cancel();
    udpConnection_.reset();
  }
  // The cancellations above run on the network queue; let them close their sockets while the
  // queue's event loop still exists.
  (void)networkQueue_.syncWithTimeout([] {}, std::chrono::seconds(2));
}

std::string_view NetworkManagerForMac::toString(StaleEpochSource source) noexcept { return video::toString(source); }

std::string_view NetworkManagerForMac::toString(ReconnectNotice::Cause cause) noexcept {
  switch (cause) {
  case ReconnectNotice::Cause::connectionLost: return "connectionLost";
  case ReconnectNotice::Cause::timeout: return "timeout";
  case ReconnectNotice::Cause::connectFailed: return "connectFailed";
  case ReconnectNotice::Cause::occupied: return "occupied";
  case ReconnectNotice::Cause::peerNotFound: return "peerNotFound";
  }
  return "connectionLost";
}

void NetworkManagerForMac::postToNetworkQueue(runtime::UniqueFunction<void(NetworkManagerForMac&)> work) {
  networkQueue_.post([weak = weak_from_this(), work = std::move(work)]() mutable {
    if (auto self = weak.lock()) work(*self);
  });
}

// --- Link cycles ------------------------------------------------------------------------------------

std::uint64_t NetworkManagerForMac::beginLinkSession() {
  runtime::MainThread::assertMainThread();
  stopHeartbeat();
  resetVideoLiveness();
  isVideoSilent.set(false);
  // An ack of any earlier request now falls outside the accepted range until a new one is sent.
  handshakeSeqFloor_ = handshakeSequence_ + 1;
  // Unsigned: wraps to 0 after 2^64 - 1.
  const std::uint64_t generation = ++connectionGeneration_;
  currentLinkID_ = platform::crypto::makeHexToken32();
  peerPermanentID_.reset();
  peerSessionID_.reset();
  postToNetworkQueue([generation](NetworkManagerForMac& self) { self.ingest_.setEpoch(generation); });
  frameSharing_->setEpoch(generation);
  return generation;
}

void NetworkManagerForMac::resetVideoLiveness() {
  std::scoped_lock lock(videoLivenessGate_);
  lastFrameTimeByStream_.clear();
  silentStreams_.clear();
  stoppedStreams_.clear();
}

// --- Connection ------------------------------------------------------------------------------------------

std::optional<NetworkManagerForMac::Route> NetworkManagerForMac::currentRoute() const {
  runtime::MainThread::assertMainThread();
  if (!lastSelectedInterface_ || !lastConnectedPeer_) return std::nullopt;
  return Route{*lastSelectedInterface_, *lastConnectedPeer_};
}

platform::net::LinkParameters NetworkManagerForMac::makeConnectionParameters(const Interface& interface) const {
  platform::net::LinkParameters parameters;
  parameters.requiredInterface = interface;
  parameters.includePeerToPeer = false;
  parameters.serviceClass = platform::net::ServiceClass::interactiveVideo;
  Log::network().debug("connect_params iface=%{public}s type=%{public}s", interface.name,
                       platform::net::toString(interface.type));
  return parameters;
}

bool NetworkManagerForMac::closeConnection() {
  const bool hadConnection = udpConnection_ != nullptr;
  if (udpConnection_) {
    udpConnection_->setStateHandler(nullptr);
    udpConnection_->cancel();
    udpConnection_.reset();
  }
  stopHeartbeat();
  return hadConnection;
}

void NetworkManagerForMac::invalidateConnectionTimeout() { connectionTimeoutTimer_.reset(); }

void NetworkManagerForMac::connect(const BrowseResult& peer, const Interface& interface) {
  runtime::MainThread::assertMainThread();
  const std::string name = endpointText(peer.endpoint);
  if (isConnecting_) {
    Log::network().debug("udp_connect_skip reason=connecting name=%{private,mask.hash}s", name);
    return;
  }
  if (udpConnection_ && udpConnection_->state() == ConnectionState::ready && !connectedPeers.get().empty()) {
    Log::network().debug("udp_connect_skip reason=already_connected name=%{private,mask.hash}s", name);
    return;
  }
  isConnecting_ = true;
  reconnect_.notePeerFree();
  Log::network().notice("udp_connect name=%{private,mask.hash}s iface=%{public}s", name, interface.name);
  lastSelectedInterface_ = interface;
  lastConnectedPeer_ = peer;
  const auto parameters = makeConnectionParameters(interface);
  if (closeConnection()) {
    Log::network().notice("udp_disconnect reason=superseded");
    connectedPeers.set({});
    resetPeerVersionState();
    pendingModeRequest.set(std::nullopt);
    clearPendingFrames();
  }
  const std::uint64_t generation = beginLinkSession();
  udpConnection_ = dependencies_.makeLink(peer.endpoint, parameters);
  std::weak_ptr<NetworkManagerForMac> weak = weak_from_this();
  udpConnection_->setStateHandler([weak, generation, peer](const LinkStateUpdate& update) {
    if (weak.expired()) return;
    runtime::MainThread::post(runtime::weakCallback(weak, [update, generation, peer](NetworkManagerForMac& self) {
      self.handleConnectionState(update, generation, peer);
    }));
  });
  udpConnection_->start(networkQueue_.executor());
  connectionStatus.set("接続中...");
  armConnectionTimeout();
}

void NetworkManagerForMac::armConnectionTimeout() {
  invalidateConnectionTimeout();
  const Timing::Seconds duration =
      reconnect_.active() ? dependencies_.timing.reconnectAttemptTimeout : dependencies_.timing.connectionTimeout;
  const std::uint64_t generation = connectionGeneration_;
  connectionTimeoutTimer_ = dependencies_.timers->schedule(
      duration, runtime::weakCallback(weak_from_this(), [generation](NetworkManagerForMac& self) {
        self.handleConnectionTimeout(generation);
      }));
  Log::network().debug("conn_timeout_arm dur_s=%f", duration.count());
}

void NetworkManagerForMac::handleConnectionTimeout(std::uint64_t generation) {
  runtime::MainThread::assertMainThread();
  // After the ack, or once a newer attempt began, the timer has nothing left to end.
  if (generation != connectionGeneration_ || !isConnecting_) return;
  Log::network().error("conn_timeout");
  isConnecting_ = false;
  closeConnection();
  beginLinkSession();
  if (!reconnect_.active()) {
    connectionStatus.set("接続がタイムアウトしました - 自動で再試行します");
    hasConnectionIssue.set(true);
    if (onConnectionTimeout) onConnectionTimeout();
    startAutoReconnect(ReconnectNotice::Cause::timeout);
  } else {
    connectionStatus.set("接続が切断されました - 再接続中...");
    updateReconnectNoticeCause(ReconnectNotice::Cause::timeout);
    scheduleReconnect();
  }
}

void NetworkManagerForMac::handleConnectionState(const LinkStateUpdate& update, std::uint64_t generation,
                                                 const BrowseResult& peer) {
  const std::string_view word = platform::net::toString(update.state);
  if (generation != connectionGeneration_) {
    Log::network().debug("udp_state state=%{public}s gen=%llu stale=1", word, generation);
    return;
  }
  Log::network().debug("udp_state state=%{public}s gen=%llu", word, generation);
  const std::string name = endpointText(peer.endpoint);
  switch (update.state) {
  case ConnectionState::ready: {
    std::string remote = "-";
    std::string local = "-";
    if (udpConnection_) {
      if (const auto path = udpConnection_->currentPath()) {
        if (path->remoteEndpoint && std::holds_alternative<platform::net::HostPort>(*path->remoteEndpoint)) {
          remote = endpointText(*path->remoteEndpoint);
        }
        if (path->localEndpoint && std::holds_alternative<platform::net::HostPort>(*path->localEndpoint)) {
          local = endpointText(*path->localEndpoint);
        }
      }
    }
    Log::network().notice("udp_ready endpoint=%{public}s local_endpoint=%{public}s name=%{private,mask.hash}s", remote,
                          local, name);
    logConnectionPath(udpConnection_);
    updateConnectionStatus();
    if (udpConnection_) {
      postToNetworkQueue([connection = udpConnection_, generation](NetworkManagerForMac& self) {
        self.startReceiveLoop(connection, generation);
      });
    }
    // The attempt stays open, with its time limit, until the tablet acknowledges.
    sendHandshakeRequest();
    break;
  }
  case ConnectionState::failed: {
    const auto fields = LogErrorFields::fields(errorOrUnknown(update.error), true);
    Log::network().error("udp_connect_fail name=%{private,mask.hash}s err_domain=%{public}s err_code=%ld error=%s",
                         name, fields.domain, fields.code, fields.detail);
    isConnecting_ = false;
    closeConnection();
    invalidateConnectionTimeout();
    beginLinkSession();
    resetPeerVersionState();
    pendingModeRequest.set(std::nullopt);
    if (!connectedPeers.get().empty()) {
      handlePeerLost();
      return;
    }
    if (reconnect_.active()) {
      connectionStatus.set("接続が切断されました - 再接続中...");
      updateReconnectNoticeCause(ReconnectNotice::Cause::connectFailed);
      scheduleReconnect();
    } else {
      connectionStatus.set("接続失敗 - 自動で再試行します");
      hasConnectionIssue.set(true);
      startAutoReconnect(ReconnectNotice::Cause::connectFailed);
    }
    break;
  }
  case ConnectionState::cancelled:
    Log::network().notice("udp_disconnect reason=cancelled name=%{private,mask.hash}s", name);
    isConnecting_ = false;
    connectedPeers.set({});
    resetPeerVersionState();
    pendingModeRequest.set(std::nullopt);
    updateConnectionStatus();
    break;
  case ConnectionState::setup:
  case ConnectionState::preparing:
  case ConnectionState::waiting:
    break;
  }
}

void NetworkManagerForMac::logConnectionPath(const LinkPointer& connection) const {
  if (!connection) return;
  const auto path = connection->currentPath();
  if (!path) return;
  const auto text = [](const std::optional<Endpoint>& endpoint) {
    return endpoint ? endpointText(*endpoint) : std::string("none");
  };
  Log::network().debug("conn_path status=%{public}s local=%{public}s remote=%{public}s ifaces=%{public}s",
                       platform::net::toString(path->status), text(path->localEndpoint), text(path->remoteEndpoint),
                       interfaceNames(path->availableInterfaces));
}

void NetworkManagerForMac::selectInterface(const BrowseResult& peer, const Interface& interface) {
  runtime::MainThread::assertMainThread();
  Log::network().notice("route_change source=manual iface=%{public}s", interface.name);
  stopAutoReconnect();
  invalidateConnectionTimeout();
  closeConnection();
  isConnecting_ = false;
  connectedPeers.set({});
  resetPeerVersionState();
  pendingModeRequest.set(std::nullopt);
  clearPendingFrames();
  beginLinkSession();
  postToNetworkQueue([](NetworkManagerForMac& self) { self.ingest_.clearReassembly(); });
  connect(peer, interface);
}

void NetworkManagerForMac::cancelConnection() {
  runtime::MainThread::assertMainThread();
  if (reconnect_.active()) {
    Log::network().notice("reconnect_stop reason=user_cancel");
    stopAutoReconnect();
  }
  if (isConnecting_ && connectedPeers.get().empty()) {
    Log::network().notice("udp_disconnect reason=manual");
    invalidateConnectionTimeout();
    isConnecting_ = false;
    closeConnection();
    beginLinkSession();
    connectionStatus.set("未接続");
  }
  browseSuspendedByUser = true;
  updateBrowsing("user_cancel");
}

// --- Receive loop (network queue) ---------------------------------------------------------------------

void NetworkManagerForMac::startReceiveLoop(const LinkPointer& connection, std::uint64_t generation) {
  receiveLoopCounter_ = 0;
  receiveNextDatagram(connection, generation);
}

void NetworkManagerForMac::receiveNextDatagram(const LinkPointer& connection, std::uint64_t generation) {
  ++receiveLoopCounter_;
  if (const auto count = LogThrottle::shared().shouldEmit("recv_loop", 1000, 0.5)) {
    Log::network().debug("recv_loop occurrences=%ld", *count);
  }
  // The loop holds its connection weakly: once the manager lets the connection go, the pending
  // receive completes and nothing re-arms it.
  connection->receiveMessage([weak = weak_from_this(), weakConnection = std::weak_ptr(connection), generation](
                                 std::span<const std::uint8_t> content, const std::optional<Error>& error) {
    if (auto self = weak.lock()) self->handleReceivedDatagram(weakConnection, generation, content, error);
  });
}

void NetworkManagerForMac::handleReceivedDatagram(const std::weak_ptr<platform::net::DatagramLink>& weakConnection,
                                                  std::uint64_t generation, std::span<const std::uint8_t> content,
                                                  const std::optional<Error>& error) {
  if (generation != ingest_.epoch()) {
    if (const auto count = LogThrottle::shared().shouldEmit("recv_drop_stale_generation", 30, 0.5)) {
      Log::network().debug("recv_drop reason=stale_generation gen=%llu occurrences=%ld", generation, *count);
    }
    recordStaleEpochDrop(StaleEpochSource::recv, std::nullopt);
    return;
  }
  const LinkPointer connection = weakConnection.lock();
  if (!connection) return;

  if (error) {
    // Our own cancel ends the read: the link was given up on purpose, nothing failed.
    if (connection->state() == ConnectionState::cancelled) return;
    receiveFailureCounted_ = true;
    if (const auto count = LogThrottle::shared().shouldEmit("udp_recv_fail", 60, 0.5)) {
      const auto fields = LogErrorFields::fields(*error, true);
      Log::network().error("udp_recv_fail err_domain=%{public}s err_code=%ld error=%s occurrences=%ld", fields.domain,
                           fields.code, fields.detail, *count);
    }
  } else if (content.empty()) {
    if (const auto count = LogThrottle::shared().shouldEmit("recv_empty", 100, 0.5)) {
      Log::network().debug("recv_empty state=%{public}s occurrences=%ld", platform::net::toString(connection->state()),
                           *count);
    }
  } else {
    health_.noteInbound(runtime::monotonicSeconds());
    // Only this loop counts the key, so the throttle needs asking only after a failure.
    if (receiveFailureCounted_) {
      receiveFailureCounted_ = false;
      if (const auto after = LogThrottle::shared().reset("udp_recv_fail"); after && *after >= 2) {
        Log::network().notice("udp_recv_recovered after=%ld", *after);
      }
    }
    if (content.front() == kControlMessageFirstByte) {
      runtime::MainThread::post(runtime::weakCallback(
          weak_from_this(), [bytes = std::vector<std::uint8_t>(content.begin(), content.end()), generation,
                             connection](NetworkManagerForMac& self) {
            self.handleControlMessage(bytes, generation, connection);
          }));
    } else {
      handleVideoDatagram(content);
    }
    if (connection->state() != ConnectionState::ready) {
      if (const auto count = LogThrottle::shared().shouldEmit("recv_rearm_skip", 10, 0.5)) {
        Log::network().debug("recv_rearm_skip state=%{public}s occurrences=%ld",
                             platform::net::toString(connection->state()), *count);
      }
      return;
    }
  }
  if (connection->state() == ConnectionState::ready) receiveNextDatagram(connection, generation);
}

} // namespace pd::link
