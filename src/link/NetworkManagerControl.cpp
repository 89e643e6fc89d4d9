// The control protocol on the main thread: the handshake and its answers, the tablet's version
// state, the status text, and the dispatch of every control message.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "link/ManagerText.hpp"
#include "link/MessageText.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace pd::link {

using diagnostics::Log;
using diagnostics::logThrottled;
using platform::log::Level;
using ConnectionState = platform::net::LinkState;

namespace {

// The lines of an ack: at most two a second each, whatever the rate of acks. The tablet answers
// each request once, but an accepted ack may be repeated by anything that sends from its address,
// and every copy is acted on again.
constexpr diagnostics::ThrottleRule kAckLineRule{1, std::chrono::milliseconds(500)};

} // namespace

// --- Handshake request, version state, status text -------------------------------------------------

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

// What each control message does to the manager.
class NetworkManagerForMac::ControlHandler final : public ControlChannel::Handler {
public:
  explicit ControlHandler(NetworkManagerForMac& manager) : manager_(manager) {}
  void handshakeAck(const ControlMessage& message) override { manager_.handleHandshakeAck(message); }
  void handshakeReject(const ControlMessage& message) override { manager_.handleHandshakeReject(message); }
  void modeChangeRequest(const ControlMessage& message) override { manager_.handleModeChangeRequest(message); }
  void ping(const ControlMessage& message) override { manager_.handlePing(message); }
  void pong(const ControlMessage& message) override { manager_.handlePong(message); }
  void loadVideoAck(const ControlMessage& message) override { manager_.handleLoadVideoAck(message); }
  void streamStop(const ControlMessage& message) override { manager_.handleStreamStop(message); }

private:
  NetworkManagerForMac& manager_;
};

void NetworkManagerForMac::handleControlMessage(const ControlMessage& message, std::uint64_t generation,
                                                const LinkPointer& connection) {
  runtime::MainThread::assertMainThread();
  ControlHandler handler(*this);
  const bool currentConnection = connection_.link() && connection == connection_.link();
  if (control_.dispatch(message, generation, connectionGeneration_, currentConnection, handler) ==
      ControlChannel::Outcome::stale) {
    recordStaleEpochDrop(StaleEpochSource::json, std::nullopt);
  }
}

void NetworkManagerForMac::handleLoadVideoAck(const ControlMessage& message) {
  const auto target = message.string("target");
  if (!target || (*target != "A" && *target != "B")) {
    logThrottled(Log::network(), Level::error, "load_video_ack_parse_fail_bad_target", lineRule(30),
                 "load_video_ack_parse_fail reason=bad_target occurrences=%ld");
    return;
  }
  const auto url = message.string("url");
  if (!url) {
    logThrottled(Log::network(), Level::error, "load_video_ack_parse_fail_missing_url", lineRule(30),
                 "load_video_ack_parse_fail reason=missing_url target=%{public}s occurrences=%ld", *target);
    return;
  }
  const auto statusText = message.string("status");
  const auto status = statusText ? loadVideoAckStatusFromText(*statusText) : std::nullopt;
  if (!status) {
    logThrottled(Log::network(), Level::error, "load_video_ack_parse_fail_bad_status", lineRule(30),
                 "load_video_ack_parse_fail reason=bad_status target=%{public}s occurrences=%ld", *target);
    return;
  }
  LoadVideoAck ack{*target, *url, *status, message.string("reason")};
  // A line per deck, answer and interval: the tablet's address may repeat a valid ack at
  // datagram rate, and each line would take room in the launch's log ring.
  logThrottled(Log::network(), Level::notice,
               "load_video_ack_recv_" + ack.target + "_" + std::string(link::toString(ack.status)), lineRule(30),
               "load_video_ack_recv target=%{public}s ack=%{public}s reason=%{public}s occurrences=%ld", ack.target,
               link::toString(ack.status), loggedLoadFailureReason(ack.reason));
  if (onLoadVideoAck) onLoadVideoAck(ack);
}

void NetworkManagerForMac::handleStreamStop(const ControlMessage& message) {
  const auto numbers = message.truncatedNumbers("streams");
  if (!numbers) {
    logThrottled(Log::network(), Level::error, "stream_stop_parse_fail_missing_streams", lineRule(30),
                 "stream_stop_parse_fail reason=missing_streams occurrences=%ld");
    return;
  }
  std::vector<std::uint8_t> streams;
  for (const double value : numbers->values) {
    if (value >= 0 && value <= 255) streams.push_back(static_cast<std::uint8_t>(value));
  }
  // One bad element spoils the whole notice: nothing changes.
  if (streams.empty() || streams.size() < numbers->elementCount) {
    logThrottled(Log::network(), Level::error, "stream_stop_parse_fail_bad_streams", lineRule(30),
                 "stream_stop_parse_fail reason=bad_streams occurrences=%ld");
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
  // A line per reason word and interval, for the same reason as the acks'.
  logThrottled(Log::video(), Level::notice, "stream_stop_recv_" + std::string(reason), lineRule(30),
               "stream_stop_recv streams=%{public}s reason=%{public}s occurrences=%ld", list, reason);
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
  logThrottled(Log::session(), Level::notice, "handshake_ack_recv", kAckLineRule,
               "handshake_ack_recv device=%{private,mask.hash}s seq=%ld occurrences=%ld", device, seq);
  if (!control_.acceptsAck(seq)) return;
  if (const auto linkID = message.string("linkID"); linkID && *linkID != control_.linkID()) {
    logThrottled(Log::session(), Level::error, "link_id_invalid", kAckLineRule,
                 "link_id_invalid reason=echo_mismatch occurrences=%ld");
  }
  control_.notePeer(message.string("peerID"), message.string("sessionID"));
  if (const auto interface = message.object("interface")) {
    peerInterfaceName.set(interface->string("name"));
    peerInterfaceType.set(interface->string("type"));
    logThrottled(Log::network(), Level::debug, "peer_iface", kAckLineRule,
                 "peer_iface name=%{public}s type=%{public}s occurrences=%ld",
                 peerInterfaceName.get().value_or("unknown"), peerInterfaceType.get().value_or("unknown"));
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
      logThrottled(Log::session(), Level::notice, "mode_mismatch_handshake", kAckLineRule,
                   "mode_mismatch source=handshake local=%{public}s peer=%{public}s occurrences=%ld",
                   link::toString(streamMode.get()), link::toString(peerMode));
      pendingModeRequest.set(peerMode);
    } else {
      pendingModeRequest.set(std::nullopt);
    }
  }

  if (!connection_.isReady() || !lastConnectedPeer_) return;
  const bool wasEmpty = connectedPeers.get().empty();
  const Endpoint remote = lastConnectedPeer_->endpoint;
  connectedPeers.set({remote});
  stickyStatusUntil_ = 0;
  updateConnectionStatus();
  logThrottled(Log::session(), Level::notice, "conn_established", kAckLineRule,
               "conn_established peer=%{private,mask.hash}s session=%{private,mask.hash}s link_id=%{public}s "
               "name=%{private,mask.hash}s device=%{private,mask.hash}s occurrences=%ld",
               control_.peerID().value_or("none"), control_.peerSessionID().value_or("none"),
               std::string_view(control_.linkID()).substr(0, 16), endpointText(remote), device);
  isConnecting_ = false;
  invalidateConnectionTimeout();
  hasConnectionIssue.set(false);
  stopAutoReconnect();
  for (const auto& discovered : discoveredPeers.get()) {
    if (discovered.endpoint == remote) {
      lastConnectedPeer_ = discovered;
      break;
    }
  }
  const bool wasDegraded = isLinkDegraded.get();
  startHeartbeat(wasEmpty);
  // The text above was written while the old heartbeat still called the link unstable; the new
  // one starts from a link just heard and reports no recovery, so the text is put right here.
  if (wasDegraded && !isLinkDegraded.get()) updateConnectionStatus();
  if (onConnectionEstablished) onConnectionEstablished();
  if (onPeerEstablished) onPeerEstablished(control_.peerID());
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
    logThrottled(Log::session(), Level::error, "legacy_peer", kAckLineRule,
                 "legacy_peer reason=missing_protocol_version occurrences=%ld");
    peerVersionState.set(PeerVersionState::legacy());
    versionMismatchAlert.set(std::nullopt);
    if (old.kind() != PeerVersionState::Kind::legacy) showLegacyPeerWarning.set(true);
  } else if (*version == protocolVersion) {
    logThrottled(Log::session(), Level::notice, "version_match", kAckLineRule, "version_match pv=%ld occurrences=%ld",
                 protocolVersion);
    peerVersionState.set(PeerVersionState::matched());
    versionMismatchAlert.set(std::nullopt);
  } else {
    logThrottled(Log::session(), Level::error, "version_mismatch", kAckLineRule,
                 "version_mismatch local=%ld peer=%ld occurrences=%ld", protocolVersion, *version);
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
  if (!control_.acceptsReject(seq)) return;
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
  if (!reconnect_.active() && occupied && lastConnectedPeer_) {
    reconnect_.start(true);
    Log::network().notice("reconnect_start reason=occupied");
    updateBrowsing("reconnect_start");
  }
  if (!reconnect_.active()) return;
  reconnectNotice.set(ReconnectNotice{ReconnectNotice::Cause::occupied, std::nullopt});
  reconnect_.noteRejected(occupied);
  scheduleReconnect();
}

std::uint64_t NetworkManagerForMac::controlDatagramCount() const noexcept { return control_.dispatchedCount(); }

} // namespace pd::link
