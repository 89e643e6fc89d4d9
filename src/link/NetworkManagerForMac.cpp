#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/MessageText.hpp"
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

std::string interfaceNames(const std::vector<platform::net::Interface>& interfaces) {
  std::string joined;
  for (const auto& interface : interfaces) {
    if (!joined.empty()) joined += '/';
    joined += interface.name;
  }
  return joined;
}

std::string errorTextOrUnknown(const std::optional<Error>& error) {
  return error ? std::string(error->detail()) : std::string("unknown error");
}

Error errorOrUnknown(const std::optional<Error>& error) {
  return error ? *error : Error("unknown", 0, "unknown error");
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
  pingSequence_ = 0;
  lastPingSentAt_.reset();
  forceNextSkewLog_ = true;
  isLinkDegraded.set(false);
  ++linkEpoch_;
}

void NetworkManagerForMac::startHeartbeat(bool resetLiveness) {
  stopHeartbeat();
  const std::uint64_t epoch = ++linkEpoch_;
  const auto& timing = dependencies_.timing;
  const auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(timing.heartbeatCheckInterval);
  std::weak_ptr<NetworkManagerForMac> weak = weak_from_this();
  // Started only from the network queue; its own period is far off, so it acts as a one-shot.
  // The queue's work reaches it through weak references, never through the member, which the
  // main thread replaces.
  auto ownHandle = std::make_shared<std::weak_ptr<runtime::RepeatingTimer>>();
  silenceDeadline_ = std::make_shared<runtime::RepeatingTimer>(networkQueue_.executor(), std::chrono::hours(1), [weak, ownHandle] {
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
  postToNetworkQueue([epoch, resetLiveness, deadline](NetworkManagerForMac& manager) {
    const double now = runtime::monotonicSeconds();
    manager.lastInboundActivity_ = now;
    manager.lastPingScheduledAt_ = -1e9;
    manager.evaluatedLinkState_ = LinkState::connected;
    manager.linkEpochOnQueue_ = epoch;
    if (resetLiveness) {
      manager.ingest_.restartFrameInterval();
      manager.resetVideoLiveness();
    }
    if (const auto timer = deadline.lock()) manager.armSilenceDeadline(now, *timer);
  });
  // Queued after the reset above on the same serial queue, so the first tick sees fresh values.
  heartbeatSource_->start();
  Log::heartbeat().notice("hb_start interval_s=%.1f degraded_s=%.1f lost_s=%.1f", timing.heartbeatInterval.count(),
                          timing.linkDegradedThreshold.count(), timing.linkLostThreshold.count());
}

void NetworkManagerForMac::heartbeatTick(const std::shared_ptr<runtime::RepeatingTimer>& silenceDeadline) {
  const auto& timing = dependencies_.timing;
  const double now = runtime::monotonicSeconds();
  // Slightly under the ping period, so that every second one-second tick sends.
  if (now - lastPingScheduledAt_ >= timing.heartbeatInterval.count() - 0.05) {
    lastPingScheduledAt_ = now;
    runtime::MainThread::post(runtime::weakCallback(weak_from_this(), [](NetworkManagerForMac& self) { self.sendPing(); }));
  }
  evaluateLinkState(now);
  checkVideoSilence(evaluatedLinkState_, now);
  if (silenceDeadline) armSilenceDeadline(now, *silenceDeadline);
}

void NetworkManagerForMac::evaluateLinkState(double now) {
  const auto& timing = dependencies_.timing;
  const double silence = now - lastInboundActivity_;
  const LinkState state = silence >= timing.linkLostThreshold.count()       ? LinkState::lost
                          : silence >= timing.linkDegradedThreshold.count() ? LinkState::degraded
                                                                    : LinkState::connected;
  if (state == evaluatedLinkState_) return;
  evaluatedLinkState_ = state;
  const std::uint64_t epoch = linkEpochOnQueue_;
  const std::int64_t scheduledAt = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       runtime::Clock::current().monotonic().time_since_epoch())
                                       .count();
  runtime::MainThread::post(runtime::weakCallback(weak_from_this(), [state, epoch, scheduledAt](NetworkManagerForMac& self) {
    self.applyLinkState(state, epoch, scheduledAt);
  }));
}

void NetworkManagerForMac::armSilenceDeadline(double now, runtime::RepeatingTimer& silenceDeadline) {
  // A one-second tick alone would judge up to a second late; the verdict is due when the
  // silence reaches the threshold.
  const auto& timing = dependencies_.timing;
  if (evaluatedLinkState_ == LinkState::lost) return;
  const double threshold =
      (evaluatedLinkState_ == LinkState::connected ? timing.linkDegradedThreshold : timing.linkLostThreshold).count();
  const double wait = lastInboundActivity_ + threshold - now;
  if (wait >= timing.heartbeatCheckInterval.count()) return;
  // A hair past the threshold, so the check cannot land just short of it.
  silenceDeadline.start(runtime::durationFromSeconds(wait) + std::chrono::milliseconds(1));
}

void NetworkManagerForMac::applyLinkState(LinkState state, std::uint64_t epoch, std::int64_t scheduledAt) {
  // A verdict of a stopped or replaced heartbeat is no longer about this link.
  if (epoch != linkEpoch_) return;
  if (connectedPeers.get().empty()) return;
  const std::int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 runtime::Clock::current().monotonic().time_since_epoch())
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

std::string NetworkManagerForMac::heartbeatMessage(std::string_view type, std::int64_t seq) {
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

void NetworkManagerForMac::sendPing() {
  if (!udpConnection_ || udpConnection_->state() != ConnectionState::ready) return;
  ++pingSequence_;
  lastPingSentAt_ = SentPing{pingSequence_, runtime::wallSeconds(), runtime::monotonicSeconds()};
  const std::string text = heartbeatMessage("ping", pingSequence_);
  if (text.empty()) {
    Log::heartbeat().error("ping_send_fail reason=json_encode");
    return;
  }
  udpConnection_->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  if (const auto count = LogThrottle::shared().shouldEmit("ping_send", 30, 0.5)) {
    Log::heartbeat().debug("ping_send seq=%ld occurrences=%ld", pingSequence_, *count);
  }
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
  if (udpConnection_) udpConnection_->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  if (const auto count = LogThrottle::shared().shouldEmit("pong_send", 30, 0.5)) {
    Log::heartbeat().debug("pong_send seq=%ld occurrences=%ld", *seq, *count);
  }
}

void NetworkManagerForMac::handlePong(const ControlMessage& message) {
  const auto seq = message.integer("seq");
  if (!seq) return;
  // Any number, but only one that fits 64 bits once truncated; a wilder one gives no sample.
  if (const auto numbers = message.number("timestampUnixMs")) recordClockSkew(*seq, *numbers);
  if (const auto count = LogThrottle::shared().shouldEmit("pong_recv", 30, 0.5)) {
    Log::heartbeat().debug("pong_recv seq=%ld occurrences=%ld", *seq, *count);
  }
}

void NetworkManagerForMac::recordClockSkew(std::int64_t seq, std::int64_t peerTimestampUnixMs) {
  if (!lastPingSentAt_ || lastPingSentAt_->seq != seq) return;
  const double nowMonotonic = runtime::monotonicSeconds();
  const double nowWall = runtime::wallSeconds();
  // The round trip on the monotonic clock; the midpoint on the wall clock, to compare with the tablet's.
  const auto rttMs = static_cast<std::int64_t>((nowMonotonic - lastPingSentAt_->monotonicSeconds) * 1000.0);
  const auto midMs = static_cast<std::int64_t>((lastPingSentAt_->wallSeconds + nowWall) * 0.5 * 1000.0);
  // The tablet's number may be anywhere in 64 bits; a difference that does not fit is no sample.
  std::int64_t skewMs = 0;
  if (__builtin_sub_overflow(peerTimestampUnixMs, midMs, &skewMs)) return;
  ++skewSampleCounter_;
  if (forceNextSkewLog_ || !lastSkewLogAt_ || nowMonotonic - *lastSkewLogAt_ >= 300.0) {
    forceNextSkewLog_ = false;
    lastSkewLogAt_ = nowMonotonic;
    Log::heartbeat().notice("clock_skew clock_skew_ms=%lld rtt_ms=%ld skew_sample=%ld", static_cast<long long>(skewMs),
                            rttMs, skewSampleCounter_);
  }
}

void NetworkManagerForMac::resendHandshakeIfNeeded() {
  if (peerVersionState.get().kind() != PeerVersionState::Kind::unknown) return;
  if (!udpConnection_ || udpConnection_->state() != ConnectionState::ready) return;
  const double now = runtime::monotonicSeconds();
  if (now - lastVersionHandshakeResendTime_ < 2.0) return;
  lastVersionHandshakeResendTime_ = now;
  Log::session().notice("handshake_resend reason=ack_lost");
  sendHandshakeRequest();
}

void NetworkManagerForMac::resetVideoLiveness() {
  std::scoped_lock lock(videoLivenessGate_);
  lastFrameTimeByStream_.clear();
  silentStreams_.clear();
  stoppedStreams_.clear();
}

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
  if (browseSuspendedByUser && !isAutoReconnecting_) {
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
  isPeerOccupied_ = false;
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
      isAutoReconnecting_ ? dependencies_.timing.reconnectAttemptTimeout : dependencies_.timing.connectionTimeout;
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
  if (!isAutoReconnecting_) {
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
    if (isAutoReconnecting_) {
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
  if (isAutoReconnecting_) {
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
    lastInboundActivity_ = runtime::monotonicSeconds();
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

// --- Handshake request, version state, status text -------------------------------------------------

void NetworkManagerForMac::sendHandshakeRequest() {
  ++handshakeSequence_;
  std::string text;
  try {
    nlohmann::json features = nlohmann::json::array();
    for (const auto& word : dependencies_.supportedFeatures) features.push_back(word);
    const nlohmann::json message = {
        {"type", "handshake_request"},
        {"device", deviceName_},
        {"seq", handshakeSequence_},
        {"protocolVersion", protocolVersion},
        {"appVersion", dependencies_.appVersion},
        {"features", std::move(features)},
        {"peerID", dependencies_.networkPeerID ? dependencies_.networkPeerID() : std::string()},
        {"sessionID", dependencies_.launchID},
        {"linkID", currentLinkID_},
    };
    text = platform::json::write(message);
  } catch (const std::exception&) {
    Log::session().error("json_build_fail msg=handshake_request");
    return;
  }
  if (udpConnection_) udpConnection_->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  Log::session().notice("handshake_send seq=%ld link_id=%{public}s", handshakeSequence_,
                        std::string_view(currentLinkID_).substr(0, 16));
}

void NetworkManagerForMac::resetPeerVersionState() {
  peerVersionState.set(PeerVersionState::unknown());
  peerFeatures.set(std::nullopt);
  peerAppVersion.set(std::nullopt);
  versionMismatchAlert.set(std::nullopt);
  applyVideoVersionGate();
}

void NetworkManagerForMac::applyVideoVersionGate() {
  const auto kind = peerVersionState.get().kind();
  const bool drop = kind == PeerVersionState::Kind::mismatch || kind == PeerVersionState::Kind::legacy;
  const bool resolved = kind != PeerVersionState::Kind::unknown;
  postToNetworkQueue([drop, resolved](NetworkManagerForMac& self) {
    const bool wasDropping = self.dropVideoForVersionGate_;
    self.dropVideoForVersionGate_ = drop;
    self.versionResolvedForGate_ = resolved;
    // No frame of an incompatible tablet may be shown, not even one already half assembled.
    if (drop && !wasDropping) {
      self.resetVideoDecoders();
    }
  });
}

void NetworkManagerForMac::updateConnectionStatus() {
  if (runtime::monotonicSeconds() < stickyStatusUntil_) return;
  const auto& peers = connectedPeers.get();
  std::string text;
  if (peers.empty()) {
    text = isBrowsing.get() ? "検索中..." : "未接続";
  } else if (isLinkDegraded.get()) {
    text = "接続中（不安定 - 受信が途絶しています）";
  } else if (isVideoSilent.get()) {
    text = "接続中（映像が届いていません）";
  } else {
    text = "接続中: " + std::to_string(peers.size()) + "台";
  }
  connectionStatus.set(std::move(text));
}

// --- Seams ----------------------------------------------------------------------------------------------------

void NetworkManagerForMac::handleControlMessage(const std::vector<std::uint8_t>& bytes, std::uint64_t generation,
                                                const LinkPointer& connection) {
  runtime::MainThread::assertMainThread();
  const auto message = ControlMessage::parse(bytes);
  if (!message) {
    if (const auto count = LogThrottle::shared().shouldEmit("json_parse_fail", 30, 0.5)) {
      Log::network().error("json_parse_fail size_b=%ld occurrences=%ld", static_cast<std::int64_t>(bytes.size()),
                           *count);
    }
    return;
  }
  // A good message ends the failure streak; a single failure is not worth a recovery line.
  // Throttled as well: a sender alternating good and bad datagrams would otherwise write one per pair.
  if (const auto failures = LogThrottle::shared().reset("json_parse_fail"); failures && *failures >= 2) {
    if (const auto count = LogThrottle::shared().shouldEmit("json_parse_recovered", 30, 0.5)) {
      Log::network().notice("json_parse_recovered after=%ld occurrences=%ld", *failures, *count);
    }
  }
  if (generation != connectionGeneration_ || !udpConnection_ || connection != udpConnection_) {
    if (const auto count = LogThrottle::shared().shouldEmit("json_drop_stale_generation", 30, 0.5)) {
      Log::network().debug(
          "json_drop reason=stale_generation type=%{public}s gen=%llu current_gen=%llu occurrences=%ld",
          clippedForMessage(message->type()), generation, connectionGeneration_, *count);
    }
    recordStaleEpochDrop(StaleEpochSource::json, std::nullopt);
    return;
  }
  ++controlDatagrams_;
  const std::string& type = message->type();
  if (type == "handshake_ack") {
    handleHandshakeAck(*message);
  } else if (type == "handshake_reject") {
    handleHandshakeReject(*message);
  } else if (type == "mode_change_request") {
    handleModeChangeRequest(*message);
  } else if (type == "ping") {
    handlePing(*message);
  } else if (type == "pong") {
    handlePong(*message);
  } else if (type == "load_video_ack") {
    handleLoadVideoAck(*message);
  } else if (type == "stream_stop") {
    handleStreamStop(*message);
  } else {
    if (const auto count = LogThrottle::shared().shouldEmit("json_unknown_type", 30, 0.5)) {
      Log::network().notice("json_unknown_type type=%{public}s occurrences=%ld", clippedForMessage(type), *count);
    }
  }
}

void NetworkManagerForMac::handleLoadVideoAck(const ControlMessage& message) {
  const auto target = message.string("target");
  if (!target || (*target != "A" && *target != "B")) {
    Log::network().error("load_video_ack_parse_fail reason=bad_target");
    return;
  }
  const auto url = message.string("url");
  if (!url) {
    Log::network().error("load_video_ack_parse_fail reason=missing_url target=%{public}s", *target);
    return;
  }
  const auto statusText = message.string("status");
  const auto status = statusText ? loadVideoAckStatusFromText(*statusText) : std::nullopt;
  if (!status) {
    Log::network().error("load_video_ack_parse_fail reason=bad_status target=%{public}s", *target);
    return;
  }
  LoadVideoAck ack{*target, *url, *status, message.string("reason")};
  Log::network().notice("load_video_ack_recv target=%{public}s ack=%{public}s reason=%{public}s", ack.target,
                        link::toString(ack.status), loggedLoadFailureReason(ack.reason));
  if (onLoadVideoAck) onLoadVideoAck(ack);
}

void NetworkManagerForMac::handleStreamStop(const ControlMessage& message) {
  const auto numbers = message.truncatedNumbers("streams");
  if (!numbers) {
    Log::network().error("stream_stop_parse_fail reason=missing_streams");
    return;
  }
  std::vector<std::uint8_t> streams;
  for (const double value : numbers->values) {
    if (value >= 0 && value <= 255) streams.push_back(static_cast<std::uint8_t>(value));
  }
  // One bad element spoils the whole notice: nothing changes.
  if (streams.empty() || streams.size() < numbers->elementCount) {
    Log::network().error("stream_stop_parse_fail reason=bad_streams");
    return;
  }
  const auto reason = loggedStreamStopReason(message.string("reason"));
  const double now = runtime::monotonicSeconds();
  {
    std::scoped_lock lock(videoLivenessGate_);
    for (const auto stream : streams) {
      stoppedStreams_[stream] = now;
      lastFrameTimeByStream_.erase(stream);
      silentStreams_.erase(stream);
    }
  }
  std::string list;
  for (const auto stream : streams) {
    if (!list.empty()) list += ',';
    list += std::to_string(stream);
  }
  Log::video().notice("stream_stop_recv streams=%{public}s reason=%{public}s", list, reason);
  applyVideoSilence(linkEpoch_);
}

void NetworkManagerForMac::applyVideoSilence(std::uint64_t epoch) {
  if (epoch != linkEpoch_) return;
  bool silent = false;
  {
    std::scoped_lock lock(videoLivenessGate_);
    silent = !silentStreams_.empty();
  }
  // No silence is shown without a peer.
  if (silent && connectedPeers.get().empty()) return;
  if (isVideoSilent.get() != silent) {
    isVideoSilent.set(silent);
    updateConnectionStatus();
  }
}

// --- Handshake answers --------------------------------------------------------------------------------------

void NetworkManagerForMac::handleHandshakeAck(const ControlMessage& message) {
  const std::string device = message.string("device").value_or("Unknown");
  const std::int64_t seq = message.integer("seq").value_or(-1);
  Log::session().notice("handshake_ack_recv device=%{private,mask.hash}s seq=%ld", device, seq);
  if (seq < handshakeSeqFloor_ || seq > handshakeSequence_ || seq < 0) {
    Log::session().debug("handshake_ack_drop reason=stale_seq seq=%ld expected=%ld...%ld", seq, handshakeSeqFloor_,
                         handshakeSequence_);
    return;
  }
  if (const auto linkID = message.string("linkID"); linkID && *linkID != currentLinkID_) {
    Log::session().error("link_id_invalid reason=echo_mismatch");
  }
  peerPermanentID_ = message.string("peerID");
  peerSessionID_ = message.string("sessionID");
  if (const auto interface = message.object("interface")) {
    peerInterfaceName.set(interface->string("name"));
    peerInterfaceType.set(interface->string("type"));
    Log::network().debug("peer_iface name=%{public}s type=%{public}s", peerInterfaceName.get().value_or("unknown"),
                         peerInterfaceType.get().value_or("unknown"));
  } else {
    peerInterfaceName.set(std::nullopt);
    peerInterfaceType.set(std::nullopt);
  }
  evaluatePeerVersion(message);

  const auto versionKind = peerVersionState.get().kind();
  if (versionKind == PeerVersionState::Kind::mismatch || versionKind == PeerVersionState::Kind::legacy) {
    pendingModeRequest.set(std::nullopt);
  } else {
    // Only "raw" is raw: a tablet that leaves the word out, or uses one we do not know, mixes.
    const StreamMode peerMode = message.string("mode") == "raw" ? StreamMode::raw : StreamMode::mix;
    if (peerMode != streamMode.get()) {
      Log::session().notice("mode_mismatch source=handshake local=%{public}s peer=%{public}s",
                            link::toString(streamMode.get()), link::toString(peerMode));
      pendingModeRequest.set(peerMode);
    } else {
      pendingModeRequest.set(std::nullopt);
    }
  }

  if (!udpConnection_ || udpConnection_->state() != ConnectionState::ready || !lastConnectedPeer_) return;
  const bool wasEmpty = connectedPeers.get().empty();
  const Endpoint remote = lastConnectedPeer_->endpoint;
  connectedPeers.set({remote});
  stickyStatusUntil_ = 0;
  updateConnectionStatus();
  Log::session().notice("conn_established peer=%{private,mask.hash}s session=%{private,mask.hash}s "
                        "link_id=%{public}s name=%{private,mask.hash}s device=%{private,mask.hash}s",
                        peerPermanentID_.value_or("none"), peerSessionID_.value_or("none"),
                        std::string_view(currentLinkID_).substr(0, 16), endpointText(remote), device);
  isConnecting_ = false;
  invalidateConnectionTimeout();
  hasConnectionIssue.set(false);
  isAutoReconnecting_ = false;
  reconnectAttempt_ = 0;
  isPeerOccupied_ = false;
  occupiedRejectStreak_ = 0;
  stopAutoReconnect();
  for (const auto& discovered : discoveredPeers.get()) {
    if (discovered.endpoint == remote) {
      lastConnectedPeer_ = discovered;
      break;
    }
  }
  startHeartbeat(wasEmpty);
  if (onConnectionEstablished) onConnectionEstablished();
  if (onPeerEstablished) onPeerEstablished(peerPermanentID_);
  const auto& features = peerFeatures.get();
  if (features && std::find(features->begin(), features->end(), "remote_source") != features->end() &&
      onRemoteSourcePeerReady) {
    onRemoteSourcePeerReady();
  }
}

void NetworkManagerForMac::evaluatePeerVersion(const ControlMessage& message) {
  peerFeatures.set(message.strings("features"));
  peerAppVersion.set(message.string("appVersion"));
  const auto old = peerVersionState.get();
  const auto version = message.integer("protocolVersion");
  if (!version) {
    Log::session().error("legacy_peer reason=missing_protocol_version");
    peerVersionState.set(PeerVersionState::legacy());
    versionMismatchAlert.set(std::nullopt);
    if (old.kind() != PeerVersionState::Kind::legacy) showLegacyPeerWarning.set(true);
  } else if (*version == protocolVersion) {
    Log::session().notice("version_match pv=%ld", protocolVersion);
    peerVersionState.set(PeerVersionState::matched());
    versionMismatchAlert.set(std::nullopt);
  } else {
    Log::session().error("version_mismatch local=%ld peer=%ld", protocolVersion, *version);
    peerVersionState.set(PeerVersionState::mismatch(*version));
    if (old != PeerVersionState::mismatch(*version)) {
      versionMismatchAlert.set(
          VersionMismatchAlert{protocolVersion, *version, dependencies_.appVersion, peerAppVersion.get()});
    }
  }
  applyVideoVersionGate();
}

void NetworkManagerForMac::handleHandshakeReject(const ControlMessage& message) {
  // The words are compared whole, then clipped for the log and the status line.
  const std::string reason = message.string("reason").value_or("unknown");
  const std::string occupiedBy = clippedForMessage(message.string("occupiedBy").value_or(""));
  const std::int64_t seq = message.integer("seq").value_or(-1);
  if (seq != handshakeSequence_) {
    Log::session().debug("handshake_reject_drop reason=stale_seq seq=%ld expected=%ld", seq, handshakeSequence_);
    return;
  }
  Log::session().error("conn_rejected reason=%{public}s occupied_by=%{private,mask.hash}s", clippedForMessage(reason),
                       occupiedBy);
  invalidateConnectionTimeout();
  isConnecting_ = false;
  closeConnection();
  beginLinkSession();
  connectedPeers.set({});
  resetPeerVersionState();
  pendingModeRequest.set(std::nullopt);
  clearPendingFrames();
  connectionStatus.set(occupiedBy.empty() ? std::string("接続できません - iPadは別のMacと接続中です")
                                          : "接続できません - iPadは「" + occupiedBy + "」と接続中です");
  stickyStatusUntil_ = runtime::monotonicSeconds() + 10.0;
  hasConnectionIssue.set(true);
  const bool occupied = reason == "occupied";
  if (!isAutoReconnecting_ && occupied && lastConnectedPeer_) {
    isAutoReconnecting_ = true;
    reconnectAttempt_ = 0;
    occupiedRejectStreak_ = 0;
    lastReportedReconnectTarget_.reset();
    consecutiveNoPeer_ = 0;
    reconnectPinnedToLastPeer_ = true;
    Log::network().notice("reconnect_start reason=occupied");
    updateBrowsing("reconnect_start");
  }
  if (!isAutoReconnecting_) return;
  reconnectNotice.set(ReconnectNotice{ReconnectNotice::Cause::occupied, std::nullopt});
  isPeerOccupied_ = occupied;
  if (occupied) {
    ++occupiedRejectStreak_;
    reconnectAttempt_ = occupiedRejectStreak_ + 3;
  } else {
    occupiedRejectStreak_ = 0;
  }
  scheduleReconnect();
}

std::uint64_t NetworkManagerForMac::controlDatagramCount() const noexcept { return controlDatagrams_; }

} // namespace pd::link
