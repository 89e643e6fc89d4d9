#pragma once

// What the broadcaster builds beside its HTTP server and shares with the tasks it starts: the
// session token store, the remote-video preparer and the receiver API service. Private to the
// sender.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::relay {
class RemoteVideoPreparer;
class RemoteVideoServer;
} // namespace pd::relay
namespace pd::api {
class ReceiverAPIService;
class SessionTokenStore;
} // namespace pd::api

namespace pd::sender {

struct BroadcasterServices {
  std::shared_ptr<api::SessionTokenStore> sessionTokens;
  std::shared_ptr<relay::RemoteVideoServer> serverPort;
  std::shared_ptr<relay::RemoteVideoPreparer> preparer;
  // Null when it could not be built: the API road then answers 503.
  std::shared_ptr<api::ReceiverAPIService> receiverAPI;
};

// A request counter or load generation one higher; past the largest value the process ends, as
// a wrapped counter would let a stale result pass for a current one.
std::int64_t incrementCounter(std::int64_t& counter);

// Whether the tablet's feature list names the word; no list names none.
bool hasFeature(const std::optional<std::vector<std::string>>& features, std::string_view word);

} // namespace pd::sender
