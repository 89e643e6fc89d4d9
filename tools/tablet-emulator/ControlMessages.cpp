#include "tablet-emulator/ControlMessages.hpp"

#include <cmath>
#include <limits>

namespace pd::tools::tablet {

std::string_view toText(StreamMode mode) { return mode == StreamMode::raw ? "raw" : "mix"; }

std::optional<StreamMode> streamModeFromText(std::string_view text) {
  if (text == "mix") {
    return StreamMode::mix;
  }
  if (text == "raw") {
    return StreamMode::raw;
  }
  return std::nullopt;
}

std::string_view toText(LoadStatus status) {
  switch (status) {
  case LoadStatus::ready: return "ready";
  case LoadStatus::failed: return "failed";
  case LoadStatus::replaced: return "replaced";
  }
  return "ready";
}

std::optional<LoadStatus> loadStatusFromText(std::string_view text) {
  for (const LoadStatus status : {LoadStatus::ready, LoadStatus::failed, LoadStatus::replaced}) {
    if (text == toText(status)) {
      return status;
    }
  }
  return std::nullopt;
}

const std::vector<std::string>& defaultFeatures() {
  static const std::vector<std::string> words{"raw_mode",      "load_video",     "video_bpm",  "session_takeover",
                                              "remote_source", "load_video_ack", "stream_stop"};
  return words;
}

double referenceSeconds(std::chrono::system_clock::time_point time) {
  constexpr double unixToReference = 978'307'200.0;
  const auto sinceUnix = std::chrono::duration<double>(time.time_since_epoch()).count();
  return sinceUnix - unixToReference;
}

std::int64_t unixMilliseconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::string serialize(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

bool nestingExceeds(ByteSpan bytes, std::size_t maxDepth) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const std::uint8_t byte : bytes) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (byte == '\\') {
        escaped = true;
      } else if (byte == '"') {
        inString = false;
      }
      continue;
    }
    if (byte == '"') {
      inString = true;
    } else if (byte == '{' || byte == '[') {
      if (++depth > maxDepth) {
        return true;
      }
    } else if ((byte == '}' || byte == ']') && depth > 0) {
      --depth;
    }
  }
  return false;
}

std::string_view toText(ParseError error) {
  switch (error) {
  case ParseError::notJson: return "not_json";
  case ParseError::tooDeep: return "too_deep";
  case ParseError::notObject: return "not_object";
  case ParseError::missingType: return "missing_type";
  }
  return "not_json";
}

std::variant<ParsedMessage, ParseError> parseControlMessage(ByteSpan bytes) {
  if (nestingExceeds(bytes, maxNestingDepth)) {
    return ParseError::tooDeep;
  }
  Json body = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded()) {
    return ParseError::notJson;
  }
  if (!body.is_object()) {
    return ParseError::notObject;
  }
  auto type = stringField(body, "type");
  if (!type) {
    return ParseError::missingType;
  }
  return ParsedMessage{std::move(*type), std::move(body)};
}

namespace {
const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto it = object.find(std::string(key));
  return it == object.end() ? nullptr : &*it;
}
} // namespace

std::optional<std::int64_t> integerField(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->is_number_integer() && !value->is_number_unsigned()) {
    return value->get<std::int64_t>();
  }
  if (value->is_number_unsigned()) {
    const auto u = value->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(u);
  }
  if (value->is_number_float()) {
    const double d = value->get<double>();
    // 2^63 is exact in a double; anything at or beyond it does not fit.
    constexpr double limit = 9'223'372'036'854'775'808.0;
    if (!std::isfinite(d) || std::trunc(d) != d || d < -limit || d >= limit) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

std::optional<std::string> stringField(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_string()) {
    return std::nullopt;
  }
  return value->get<std::string>();
}

std::optional<bool> boolField(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_boolean()) {
    return std::nullopt;
  }
  return value->get<bool>();
}

Json handshakeAck(const HandshakeAckFields& fields) {
  Json message{{"type", "handshake_ack"}, {"device", fields.device}, {"seq", fields.seq}};
  if (!fields.omitMode) {
    message["mode"] = fields.modeWord ? *fields.modeWord : std::string(toText(fields.mode));
  }
  if (fields.linkId) {
    message["linkID"] = *fields.linkId;
  }
  if (fields.peerId) {
    message["peerID"] = *fields.peerId;
  }
  if (fields.sessionId) {
    message["sessionID"] = *fields.sessionId;
  }
  if (fields.interfaceName || fields.interfaceType) {
    Json iface = Json::object();
    if (fields.interfaceName) {
      iface["name"] = *fields.interfaceName;
    }
    if (fields.interfaceType) {
      iface["type"] = *fields.interfaceType;
    }
    message["interface"] = std::move(iface);
  }
  if (fields.protocolVersion) {
    message["protocolVersion"] = *fields.protocolVersion;
  }
  if (fields.appVersion) {
    message["appVersion"] = *fields.appVersion;
  }
  if (fields.features) {
    message["features"] = *fields.features;
  }
  return message;
}

Json handshakeReject(std::int64_t seq, const std::string& reason, const std::string& occupiedBy) {
  Json message{{"type", "handshake_reject"}, {"seq", seq}, {"reason", reason}};
  if (!occupiedBy.empty()) {
    message["occupiedBy"] = occupiedBy;
  }
  return message;
}

Json modeChangeRequest(StreamMode mode) {
  return Json{{"type", "mode_change_request"}, {"mode", std::string(toText(mode))}};
}

namespace {
Json heartbeat(const char* type, std::int64_t seq, std::chrono::system_clock::time_point now) {
  return Json{
      {"type", type}, {"seq", seq}, {"timestamp", referenceSeconds(now)}, {"timestampUnixMs", unixMilliseconds(now)}};
}
} // namespace

Json ping(std::int64_t seq, std::chrono::system_clock::time_point now, StreamMode mode) {
  Json message = heartbeat("ping", seq, now);
  message["mode"] = std::string(toText(mode));
  return message;
}

Json pong(std::int64_t seq, std::chrono::system_clock::time_point now) { return heartbeat("pong", seq, now); }

Json loadVideoAck(const std::string& target, const std::string& url, LoadStatus status,
                  const std::optional<std::string>& reason) {
  Json message{{"type", "load_video_ack"}, {"target", target}, {"url", url}, {"status", std::string(toText(status))}};
  if (reason) {
    message["reason"] = *reason;
  }
  return message;
}

Json streamStop(const std::vector<std::uint8_t>& streams, const std::optional<std::string>& reason) {
  Json message{{"type", "stream_stop"}, {"streams", streams}};
  if (reason) {
    message["reason"] = *reason;
  }
  return message;
}

} // namespace pd::tools::tablet
