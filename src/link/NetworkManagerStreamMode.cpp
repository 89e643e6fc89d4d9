// The tablet asks to switch between the mixed and the raw streams; the user decides.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "link/ManagerText.hpp"
#include "platform/json/JsonWriter.hpp"
#include "runtime/MainThread.hpp"

#include <nlohmann/json.hpp>

namespace pd::link {

using diagnostics::Log;
using diagnostics::logThrottled;
using platform::log::Level;
using ConnectionState = platform::net::LinkState;
using Kind = NetworkManagerForMac::PeerVersionState::Kind;

std::string NetworkManagerForMac::sanitizedLogToken(std::string_view text) {
  constexpr std::size_t kLimit = 16;
  std::string token;
  for (const char c : text) {
    if (token.size() == kLimit) break;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (letter || digit || c == '_') token.push_back(c);
  }
  return token.empty() ? std::string("-") : token;
}

void NetworkManagerForMac::handleModeChangeRequest(const ControlMessage& message) {
  const auto text = message.string("mode");
  if (!text) {
    logThrottled(Log::session(), Level::error, "mode_change_parse_fail", lineRule(30),
                 "mode_change_parse_fail reason=missing_mode occurrences=%ld");
    return;
  }
  const auto asked = streamModeFromText(*text);
  if (!asked) {
    logThrottled(Log::session(), Level::error, "mode_change_parse_fail", lineRule(30),
                 "mode_change_parse_fail reason=invalid_mode got=%{public}s occurrences=%ld", sanitizedLogToken(*text));
    return;
  }
  const StreamMode current = streamMode.get();
  // A line per asked mode and interval: a tablet repeating its request at datagram rate must not
  // fill the launch's log ring.
  logThrottled(Log::session(), Level::notice, "mode_change_request_" + std::string(link::toString(*asked)),
               lineRule(30), "mode_change_request from=%{public}s to=%{public}s source=peer occurrences=%ld",
               link::toString(current), link::toString(*asked));
  const auto kind = peerVersionState.get().kind();
  if (kind == Kind::unknown || kind == Kind::matched) {
    if (*asked != current) {
      // The user answers; the tablet hears nothing until then.
      pendingModeRequest.set(asked);
      return;
    }
    pendingModeRequest.set(std::nullopt);
    sendModeChangeResponse(true, current);
    return;
  }
  logThrottled(Log::session(), Level::notice, "mode_change_blocked", lineRule(30),
               "mode_change_response result=rejected reason=peer_version_blocked occurrences=%ld");
  pendingModeRequest.set(std::nullopt);
  sendModeChangeResponse(false, current);
}

void NetworkManagerForMac::resolvePendingModeRequest(bool approved) {
  runtime::MainThread::assertMainThread();
  const auto asked = pendingModeRequest.get();
  if (!asked) return;
  pendingModeRequest.set(std::nullopt);
  if (approved) {
    Log::session().notice("mode_change_response result=approved from=%{public}s to=%{public}s",
                          link::toString(streamMode.get()), link::toString(*asked));
    applyStreamMode(*asked);
    sendModeChangeResponse(true, *asked);
  } else {
    Log::session().notice("mode_change_response result=rejected to=%{public}s", link::toString(streamMode.get()));
    sendModeChangeResponse(false, streamMode.get());
  }
}

void NetworkManagerForMac::applyStreamMode(StreamMode mode) {
  runtime::MainThread::assertMainThread();
  if (mode == streamMode.get()) return;
  streamMode.set(mode);
  configurePipeline(mode);
}

void NetworkManagerForMac::sendModeChangeResponse(bool accepted, StreamMode mode) {
  if (!connection_.isReady()) {
    Log::session().debug("mode_change_response_skip reason=no_connection");
    return;
  }
  std::string text;
  try {
    const nlohmann::json message = {
        {"type", "mode_change_response"}, {"accepted", accepted}, {"mode", link::toString(mode)}};
    text = platform::json::write(message);
  } catch (const std::exception&) {
    Log::session().error("json_build_fail msg=mode_change_response");
    return;
  }
  connection_.link()->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  Log::session().debug("mode_change_response_send accepted=%{bool}d mode=%{public}s", accepted, link::toString(mode));
}

} // namespace pd::link
