#include "tablet-emulator/TabletSession.hpp"

#include <utility>

namespace pd::tools::tablet {

std::string Endpoint::text() const {
  if (address.find(':') != std::string::npos) {
    return "[" + address + "]:" + std::to_string(port);
  }
  return address + ":" + std::to_string(port);
}

TabletSession::TabletSession(SessionSettings settings, Hooks hooks)
    : settings_(std::move(settings)), hooks_(std::move(hooks)) {}

std::optional<Endpoint> TabletSession::videoTarget() const {
  if (settings_.silenced) {
    return std::nullopt;
  }
  return linkedPeer_;
}

void TabletSession::setHandshakePolicy(HandshakePolicy policy, std::string rejectReason, std::string occupiedBy) {
  settings_.handshake = policy;
  if (policy == HandshakePolicy::reject) {
    settings_.rejectReason = std::move(rejectReason);
    settings_.occupiedBy = std::move(occupiedBy);
  }
}

void TabletSession::setLoadAck(std::optional<LoadStatus> status, std::optional<std::string> reason) {
  settings_.fetchBeforeAck = false;
  settings_.loadAck = status;
  settings_.loadAckReason = std::move(reason);
}

bool TabletSession::sendMessage(const Endpoint& to, const Json& message) {
  const bool handed = hooks_.send(to, serialize(message));
  hooks_.emit(Json{{"event", handed ? "sent" : "send_failed"},
                   {"type", message.value("type", "")},
                   {"to", to.text()},
                   {"message", message}});
  return handed;
}

void TabletSession::emitReceived(const std::string& type, const Endpoint& from, const Json& body, Json extra) {
  extra["event"] = type;
  extra["from"] = from.text();
  extra["message"] = body;
  hooks_.emit(std::move(extra));
}

void TabletSession::emitBad(const Endpoint& from, std::string_view reason, std::size_t size, const std::string& type,
                            const Json* body) {
  Json event{{"event", "bad_message"}, {"from", from.text()}, {"reason", reason}, {"size", size}};
  if (!type.empty()) {
    event["type"] = type;
  }
  if (body != nullptr) {
    event["message"] = *body;
  }
  hooks_.emit(std::move(event));
}

void TabletSession::link(const Endpoint& peer) {
  if (linkedPeer_ == peer) {
    return;
  }
  Json event{{"event", "linked"}, {"peer", peer.text()}, {"previous", nullptr}};
  if (linkedPeer_) {
    event["previous"] = linkedPeer_->text();
  }
  linkedPeer_ = peer;
  pingSequence_ = 0;
  lastPing_.reset();
  hooks_.emit(std::move(event));
}

void TabletSession::handleDatagram(const Endpoint& from, ByteSpan bytes) {
  if (bytes.empty()) {
    emitBad(from, "empty", 0);
    return;
  }
  if (bytes.front() != '{') {
    hooks_.emit(Json{{"event", "unexpected_datagram"}, {"from", from.text()}, {"size", bytes.size()}});
    return;
  }
  auto parsed = parseControlMessage(bytes);
  if (const auto* error = std::get_if<ParseError>(&parsed)) {
    emitBad(from, toText(*error), bytes.size());
    return;
  }
  auto& message = std::get<ParsedMessage>(parsed);
  const std::string& type = message.type;
  const Json& body = message.body;
  if (type == "handshake_request") {
    onHandshakeRequest(from, body, bytes.size());
  } else if (type == "ping") {
    onPing(from, body, bytes.size());
  } else if (type == "pong") {
    onPong(from, body);
  } else if (type == "mode_change_response") {
    onModeChangeResponse(from, body);
  } else if (type == "load_video") {
    onLoadVideo(from, body, bytes.size());
  } else if (type == "deck_state" || type == "source_endpoint" || type == "video_bpm") {
    emitReceived(type, from, body);
  } else {
    hooks_.emit(Json{{"event", "unknown_type"}, {"type", type}, {"from", from.text()}, {"message", body}});
  }
}

void TabletSession::onHandshakeRequest(const Endpoint& from, const Json& body, std::size_t size) {
  const auto seq = integerField(body, "seq");
  if (!seq) {
    emitBad(from, "missing_seq", size, "handshake_request", &body);
    return;
  }
  const auto linkId = stringField(body, "linkID");
  Json extra{{"seq", *seq}, {"linkId", linkId ? Json(*linkId) : Json(nullptr)}};
  emitReceived("handshake_request", from, body, std::move(extra));
  if (settings_.silenced) {
    heldRequest_ = HeldRequest{from, body, size};
    return;
  }
  switch (settings_.handshake) {
  case HandshakePolicy::reject:
    if (linkedPeer_ == from) {
      linkedPeer_.reset();
      hooks_.emit(Json{{"event", "unlinked"}, {"peer", from.text()}, {"reason", "rejected"}});
    }
    sendMessage(from, handshakeReject(*seq, settings_.rejectReason, settings_.occupiedBy));
    return;
  case HandshakePolicy::loseAck:
    // The tablet believes it answered; the answer never arrives.
    link(from);
    hooks_.emit(Json{{"event", "ack_lost"}, {"seq", *seq}, {"to", from.text()}});
    return;
  case HandshakePolicy::accept: break;
  }
  link(from);
  const TabletProfile& p = settings_.profile;
  HandshakeAckFields ack;
  ack.device = p.device;
  ack.seq = *seq;
  switch (settings_.linkIdEcho) {
  case LinkIdEcho::echo: ack.linkId = linkId; break;
  case LinkIdEcho::wrong: {
    const std::string zeros(32, '0');
    ack.linkId = linkId == zeros ? std::string(32, 'f') : zeros;
    break;
  }
  case LinkIdEcho::omit: break;
  }
  ack.peerId = p.peerId;
  ack.sessionId = p.sessionId;
  ack.interfaceName = p.interfaceName;
  ack.interfaceType = p.interfaceType;
  ack.mode = settings_.mode;
  ack.modeWord = settings_.ackModeWord;
  ack.omitMode = settings_.ackModeOmitted;
  ack.protocolVersion = p.protocolVersion;
  ack.appVersion = p.appVersion;
  ack.features = p.features;
  sendMessage(from, handshakeAck(ack));
}

void TabletSession::resume() {
  settings_.silenced = false;
  auto held = std::move(heldRequest_);
  heldRequest_.reset();
  if (held) {
    onHandshakeRequest(held->from, held->body, held->size);
  }
}

void TabletSession::onPing(const Endpoint& from, const Json& body, std::size_t size) {
  const auto seq = integerField(body, "seq");
  if (!seq) {
    emitBad(from, "missing_seq", size, "ping", &body);
    return;
  }
  emitReceived("ping", from, body, Json{{"seq", *seq}});
  if (!settings_.silenced) {
    sendMessage(from, pong(*seq, hooks_.wallNow()));
  }
}

void TabletSession::onPong(const Endpoint& from, const Json& body) {
  const auto seq = integerField(body, "seq");
  Json extra{{"seq", seq ? Json(*seq) : Json(nullptr)}};
  if (seq && lastPing_ && lastPing_->seq == *seq) {
    const auto rtt = hooks_.monotonicNow() - lastPing_->at;
    extra["rttMs"] = std::chrono::duration<double, std::milli>(rtt).count();
  }
  emitReceived("pong", from, body, std::move(extra));
}

void TabletSession::onModeChangeResponse(const Endpoint& from, const Json& body) {
  const auto accepted = boolField(body, "accepted");
  const auto modeText = stringField(body, "mode");
  const auto mode = modeText ? streamModeFromText(*modeText) : std::nullopt;
  emitReceived("mode_change_response", from, body,
               Json{{"accepted", accepted ? Json(*accepted) : Json(nullptr)},
                    {"mode", modeText ? Json(*modeText) : Json(nullptr)},
                    {"requested", requestedMode_ ? Json(std::string(toText(*requestedMode_))) : Json(nullptr)}});
  requestedMode_.reset();
  if (accepted.value_or(false) && mode && *mode != settings_.mode) {
    settings_.mode = *mode;
    hooks_.emit(Json{{"event", "mode_changed"}, {"mode", std::string(toText(*mode))}});
  }
}

void TabletSession::onLoadVideo(const Endpoint& from, const Json& body, std::size_t size) {
  const auto target = stringField(body, "target");
  const auto url = stringField(body, "url");
  if (!target || (*target != "A" && *target != "B")) {
    emitBad(from, "bad_target", size, "load_video", &body);
    return;
  }
  if (!url) {
    emitBad(from, "missing_url", size, "load_video", &body);
    return;
  }
  emitReceived("load_video", from, body, Json{{"target", *target}, {"url", *url}});
  if (!settings_.silenced && settings_.fetchBeforeAck && hooks_.fetch) {
    hooks_.fetch(from, *target, *url);
  } else if (!settings_.silenced && settings_.loadAck) {
    sendMessage(from, loadVideoAck(*target, *url, *settings_.loadAck, settings_.loadAckReason));
  }
}

void TabletSession::answerLoad(const Endpoint& to, const std::string& target, const std::string& url, bool fetched) {
  if (settings_.silenced) return;
  sendMessage(to, fetched ? loadVideoAck(target, url, LoadStatus::ready, std::nullopt)
                          : loadVideoAck(target, url, LoadStatus::failed, std::string("fetch_failed")));
}

void TabletSession::sendPing(bool force) {
  if (!linkedPeer_ || settings_.silenced || (!settings_.pingEnabled && !force)) {
    return;
  }
  ++pingSequence_;
  lastPing_ = SentPing{pingSequence_, hooks_.monotonicNow()};
  sendMessage(*linkedPeer_, ping(pingSequence_, hooks_.wallNow(), settings_.mode));
}

bool TabletSession::requestModeChange(StreamMode mode) {
  if (!linkedPeer_) {
    return false;
  }
  requestedMode_ = mode;
  return sendMessage(*linkedPeer_, modeChangeRequest(mode));
}

bool TabletSession::sendStreamStop(const std::vector<std::uint8_t>& streams, const std::optional<std::string>& reason) {
  if (!linkedPeer_) {
    return false;
  }
  return sendMessage(*linkedPeer_, streamStop(streams, reason));
}

bool TabletSession::sendRaw(const std::string& text) {
  if (!linkedPeer_) {
    return false;
  }
  const bool handed = hooks_.send(*linkedPeer_, text);
  hooks_.emit(Json{{"event", handed ? "sent_raw" : "send_failed"}, {"to", linkedPeer_->text()}, {"size", text.size()}});
  return handed;
}

} // namespace pd::tools::tablet
