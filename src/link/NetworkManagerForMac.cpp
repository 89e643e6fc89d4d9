#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/MessageText.hpp"
#include "link/ManagerText.hpp"
#include "platform/bonjour/AvahiBrowser.hpp"
#include "platform/bonjour/AvahiResolver.hpp"
#include "platform/log/Utf8.hpp"
#include "platform/net/UdpLink.hpp"
#include "runtime/Clock.hpp"
#include "runtime/Executor.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/Weak.hpp"
#include "video/FrameSharing.hpp"

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
using diagnostics::logThrottled;
using platform::log::Level;
using ConnectionState = platform::net::LinkState;
using platform::net::LinkStateUpdate;

namespace {

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

namespace {

NetworkManagerForMac::Dependencies withSystemTimers(NetworkManagerForMac::Dependencies dependencies) {
  if (!dependencies.timers) dependencies.timers = runtime::MainThreadTimers::system();
  return dependencies;
}

} // namespace

NetworkManagerForMac::NetworkManagerForMac(Private, Dependencies dependencies)
    : dependencies_(withSystemTimers(std::move(dependencies))),
      networkQueue_(std::string(kNetworkQueueLabel)),
      connection_(networkQueue_.executor(), dependencies_.makeLink, dependencies_.timers),
      control_(ControlChannel::Identity{
          dependencies_.deviceName ? *dependencies_.deviceName : hostDeviceName(),
          dependencies_.appVersion,
          dependencies_.launchID,
          dependencies_.supportedFeatures,
          dependencies_.networkPeerID,
      }),
      ingest_(video::VideoIngest::Hooks{
          [this](std::uint8_t stream, double now) { clearStreamStop(stream, now); },
          [this] { resetVideoLiveness(); },
      }) {}

void NetworkManagerForMac::initialise() {
  // Needs weak_from_this(), so it cannot run in the constructor.
  frameSharing_ = makeFrameSharing();
  discovery_ = makeDiscovery();
  configurePipeline(streamMode.get());
}

NetworkManagerForMac::~NetworkManagerForMac() {
  runtime::MainThread::assertMainThread();
  connection_.invalidateTimeout();
  discovery_.reset();
  connection_.close();
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
  // Unsigned: wraps to 0 after 2^64 - 1.
  const std::uint64_t generation = ++connectionGeneration_;
  control_.beginLink();
  postToNetworkQueue([generation](NetworkManagerForMac& self) {
    // The ending cycle's datagrams are dropped from here on, so its partial frames can never
    // complete; left in place they would join the next cycle's fragments of the same numbers.
    self.ingest_.clearReassembly();
    self.ingest_.setEpoch(generation);
  });
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

bool NetworkManagerForMac::closeConnection() {
  const bool hadConnection = connection_.close();
  stopHeartbeat();
  return hadConnection;
}

void NetworkManagerForMac::invalidateConnectionTimeout() { connection_.invalidateTimeout(); }

void NetworkManagerForMac::connect(const BrowseResult& peer, const Interface& interface) {
  runtime::MainThread::assertMainThread();
  const std::string name = endpointText(peer.endpoint);
  if (isConnecting_) {
    Log::network().debug("udp_connect_skip reason=connecting name=%{private,mask.hash}s", name);
    return;
  }
  if (connection_.isReady() && !connectedPeers.get().empty()) {
    Log::network().debug("udp_connect_skip reason=already_connected name=%{private,mask.hash}s", name);
    return;
  }
  isConnecting_ = true;
  reconnect_.notePeerFree();
  Log::network().notice("udp_connect name=%{private,mask.hash}s iface=%{public}s", name, interface.name);
  lastSelectedInterface_ = interface;
  lastConnectedPeer_ = peer;
  const auto parameters = LinkConnection::parameters(interface);
  if (closeConnection()) {
    Log::network().notice("udp_disconnect reason=superseded");
    connectedPeers.set({});
    resetPeerVersionState();
    pendingModeRequest.set(std::nullopt);
    clearPendingFrames();
  }
  const std::uint64_t generation = beginLinkSession();
  std::weak_ptr<NetworkManagerForMac> weak = weak_from_this();
  connection_.open(peer.endpoint, parameters, [weak, generation, peer](const LinkStateUpdate& update) {
    if (weak.expired()) return;
    runtime::MainThread::post(runtime::weakCallback(weak, [update, generation, peer](NetworkManagerForMac& self) {
      self.handleConnectionState(update, generation, peer);
    }));
  });
  connectionStatus.set("接続中...");
  armConnectionTimeout();
}

void NetworkManagerForMac::armConnectionTimeout() {
  invalidateConnectionTimeout();
  const Timing::Seconds duration =
      reconnect_.active() ? dependencies_.timing.reconnectAttemptTimeout : dependencies_.timing.connectionTimeout;
  const std::uint64_t generation = connectionGeneration_;
  connection_.armTimeout(duration, runtime::weakCallback(weak_from_this(), [generation](NetworkManagerForMac& self) {
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
    const auto [remote, local] = connection_.readyEndpoints();
    Log::network().notice("udp_ready endpoint=%{public}s local_endpoint=%{public}s name=%{private,mask.hash}s", remote,
                          local, name);
    connection_.logPath();
    updateConnectionStatus();
    if (connection_.link()) {
      postToNetworkQueue([connection = connection_.link(), generation](NetworkManagerForMac& self) {
        // The loop lives inside the manager: its completions hold the manager, weakly.
        ReceiveLoop::start(std::shared_ptr<ReceiveLoop>(self.shared_from_this(), &self.receiveLoop_), connection,
                           generation);
      });
    }
    // The attempt stays open, with its time limit, until the tablet acknowledges.
    control_.sendRequest(connection_.link().get());
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
  case ConnectionState::waiting: break;
  }
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

std::uint64_t NetworkManagerForMac::ReceiveSink::currentGeneration() const { return manager_.ingest_.epoch(); }

void NetworkManagerForMac::ReceiveSink::staleDatagram() {
  manager_.recordStaleEpochDrop(StaleEpochSource::recv, std::nullopt);
}

void NetworkManagerForMac::ReceiveSink::inbound() { manager_.health_.noteInbound(runtime::monotonicSeconds()); }

void NetworkManagerForMac::ReceiveSink::controlDatagram(std::span<const std::uint8_t> content, std::uint64_t generation,
                                                        const LinkPointer& connection) {
  // No control message comes near this size; a larger one is refused before anything reads it.
  if (content.size() > kMaxControlDatagramBytes) {
    logThrottled(Log::network(), Level::error, "json_drop_oversize", lineRule(30),
                 "json_drop reason=oversize size_b=%ld occurrences=%ld", static_cast<std::int64_t>(content.size()));
    return;
  }
  // Read here, in arrival order, so that what is unreadable costs the main thread nothing.
  auto message = ControlChannel::read(content);
  if (!message) return;
  auto ticket = manager_.controlBacklog_.admit(content.size(), ControlBacklog::keepsLink(message->type()));
  if (!ticket) {
    logThrottled(Log::network(), Level::error, "json_drop_backlog", lineRule(100),
                 "json_drop reason=backlog type=%{public}s occurrences=%ld", clippedForMessage(message->type()));
    return;
  }
  runtime::MainThread::post(
      runtime::weakCallback(manager_.weak_from_this(), [message = std::move(*message), ticket = std::move(*ticket),
                                                        generation, connection](NetworkManagerForMac& self) {
        self.handleControlMessage(message, generation, connection);
      }));
}

void NetworkManagerForMac::ReceiveSink::videoDatagram(std::span<const std::uint8_t> content) {
  manager_.handleVideoDatagram(content);
}

} // namespace pd::link
