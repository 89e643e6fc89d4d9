// The control protocol on the main thread: the handshake and its answers, the tablet's version
// state, the status text, and the dispatch of every control message.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/MessageText.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"
#include "platform/json/JsonWriter.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogThrottle;
using ConnectionState = platform::net::LinkState;

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

std::uint64_t NetworkManagerForMac::controlDatagramCount() const noexcept { return controlDatagrams_; }

} // namespace pd::link
