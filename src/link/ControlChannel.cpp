#include "link/ControlChannel.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/ManagerText.hpp"
#include "link/MessageText.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/json/JsonWriter.hpp"

#include <nlohmann/json.hpp>

#include <utility>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogThrottle;
using diagnostics::logThrottled;
using platform::log::Level;

ControlChannel::ControlChannel(Identity identity)
    : identity_(std::move(identity)), linkID_(platform::crypto::makeHexToken32()) {}

std::optional<ControlMessage> ControlChannel::read(std::span<const std::uint8_t> bytes) {
  auto message = ControlMessage::parse(bytes);
  if (!message) {
    logThrottled(Log::network(), Level::error, "json_parse_fail", lineRule(30),
                 "json_parse_fail size_b=%ld occurrences=%ld", static_cast<std::int64_t>(bytes.size()));
    return std::nullopt;
  }
  // A good message ends the failure streak; a single failure is not worth a recovery line.
  // Throttled as well: a sender alternating good and bad datagrams would otherwise write one per pair.
  if (const auto failures = LogThrottle::shared().reset("json_parse_fail"); failures && *failures >= 2) {
    logThrottled(Log::network(), Level::notice, "json_parse_recovered", lineRule(30),
                 "json_parse_recovered after=%ld occurrences=%ld", *failures);
  }
  return message;
}

ControlChannel::Outcome ControlChannel::dispatch(std::span<const std::uint8_t> bytes, std::uint64_t generation,
                                                 std::uint64_t currentGeneration, bool currentConnection,
                                                 Handler& handler) {
  const auto message = read(bytes);
  if (!message) return Outcome::unreadable;
  return dispatch(*message, generation, currentGeneration, currentConnection, handler);
}

ControlChannel::Outcome ControlChannel::dispatch(const ControlMessage& message, std::uint64_t generation,
                                                 std::uint64_t currentGeneration, bool currentConnection,
                                                 Handler& handler) {
  if (generation != currentGeneration || !currentConnection) {
    logThrottled(Log::network(), Level::debug, "json_drop_stale_generation", lineRule(30),
                 "json_drop reason=stale_generation type=%{public}s gen=%llu current_gen=%llu occurrences=%ld",
                 clippedForMessage(message.type()), generation, currentGeneration);
    return Outcome::stale;
  }
  ++dispatched_;
  const std::string& type = message.type();
  if (type == "handshake_ack") {
    handler.handshakeAck(message);
  } else if (type == "handshake_reject") {
    handler.handshakeReject(message);
  } else if (type == "mode_change_request") {
    handler.modeChangeRequest(message);
  } else if (type == "ping") {
    handler.ping(message);
  } else if (type == "pong") {
    handler.pong(message);
  } else if (type == "load_video_ack") {
    handler.loadVideoAck(message);
  } else if (type == "stream_stop") {
    handler.streamStop(message);
  } else {
    logThrottled(Log::network(), Level::notice, "json_unknown_type", lineRule(30),
                 "json_unknown_type type=%{public}s occurrences=%ld", clippedForMessage(type));
  }
  return Outcome::dispatched;
}

void ControlChannel::beginLink() {
  // An ack of any earlier request now falls outside the accepted range until a new one is sent.
  sequenceFloor_ = sequence_ + 1;
  linkID_ = platform::crypto::makeHexToken32();
  peerPermanentID_.reset();
  peerSessionID_.reset();
}

void ControlChannel::sendRequest(platform::net::DatagramLink* connection) {
  ++sequence_;
  std::string text;
  try {
    nlohmann::json features = nlohmann::json::array();
    for (const auto& word : identity_.supportedFeatures) features.push_back(word);
    const nlohmann::json message = {
        {"type", "handshake_request"},
        {"device", identity_.deviceName},
        {"seq", sequence_},
        {"protocolVersion", protocolVersion},
        {"appVersion", identity_.appVersion},
        {"features", std::move(features)},
        {"peerID", identity_.networkPeerID ? identity_.networkPeerID() : std::string()},
        {"sessionID", identity_.launchID},
        {"linkID", linkID_},
    };
    text = platform::json::write(message);
  } catch (const std::exception&) {
    Log::session().error("json_build_fail msg=handshake_request");
    return;
  }
  if (connection != nullptr) connection->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  Log::session().notice("handshake_send seq=%ld link_id=%{public}s", sequence_,
                        std::string_view(linkID_).substr(0, 16));
}

bool ControlChannel::acceptsAck(std::int64_t seq) const {
  if (seq < sequenceFloor_ || seq > sequence_ || seq < 0) {
    Log::session().debug("handshake_ack_drop reason=stale_seq seq=%ld expected=%ld...%ld", seq, sequenceFloor_,
                         sequence_);
    return false;
  }
  return true;
}

bool ControlChannel::acceptsReject(std::int64_t seq) const {
  if (seq != sequence_) {
    Log::session().debug("handshake_reject_drop reason=stale_seq seq=%ld expected=%ld", seq, sequence_);
    return false;
  }
  return true;
}

bool ControlChannel::takeResend(double now) {
  if (now - lastResendTime_ < 2.0) return false;
  lastResendTime_ = now;
  return true;
}

void ControlChannel::notePeer(std::optional<std::string> permanentID, std::optional<std::string> sessionID) {
  peerPermanentID_ = std::move(permanentID);
  peerSessionID_ = std::move(sessionID);
}

} // namespace pd::link
