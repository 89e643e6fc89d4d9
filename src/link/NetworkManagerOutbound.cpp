// The manager's side of the service messages: the sends go out on its current link through
// ServiceMessages.
#include "link/NetworkManagerForMac.hpp"

#include "runtime/MainThread.hpp"

namespace pd::link {

ServiceMessages::Link NetworkManagerForMac::serviceLink() const {
  return {connection_.link(), !connectedPeers.get().empty(), control_.linkID()};
}

std::optional<std::string>
NetworkManagerForMac::primaryIPv4Address(const std::vector<platform::net::ActiveAddress>& addresses) {
  return ServiceMessages::primaryIPv4Address(addresses);
}

std::optional<std::string> NetworkManagerForMac::localHostForPeer() const {
  runtime::MainThread::assertMainThread();
  return ServiceMessages::localHostForPeer(connection_.link().get(), peerFeatures.get());
}

bool NetworkManagerForMac::sendSourceEndpoint(std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat) {
  return services_.sendSourceEndpoint(serviceLink(), httpPort, sessionToken, isRepeat);
}

bool NetworkManagerForMac::sendLoadVideo(const std::string& target, const std::string& url,
                                         const std::optional<std::string>& title) {
  return services_.sendLoadVideo(serviceLink(), target, url, title);
}

bool NetworkManagerForMac::sendVideoBPM(const std::string& target, std::int64_t bpm,
                                        const std::optional<std::string>& url) {
  return services_.sendVideoBPM(serviceLink(), target, bpm, url);
}

void NetworkManagerForMac::sendDeckState(const DeckState& state) { services_.sendDeckState(serviceLink(), state); }

} // namespace pd::link
