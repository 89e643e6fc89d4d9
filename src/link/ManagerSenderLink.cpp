#include "link/ManagerSenderLink.hpp"

#include "link/NetworkManagerForMac.hpp"

namespace pd::link {

bool ManagerSenderLink::sendSourceEndpoint(std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat) {
  const auto manager = manager_.lock();
  return manager && manager->sendSourceEndpoint(httpPort, sessionToken, isRepeat);
}

bool ManagerSenderLink::sendLoadVideo(const std::string& target, const std::string& url,
                                      const std::optional<std::string>& title) {
  const auto manager = manager_.lock();
  return manager && manager->sendLoadVideo(target, url, title);
}

bool ManagerSenderLink::sendVideoBPM(const std::string& target, std::int64_t bpm,
                                     const std::optional<std::string>& url) {
  const auto manager = manager_.lock();
  return manager && manager->sendVideoBPM(target, bpm, url);
}

std::optional<std::string> ManagerSenderLink::localHostForPeer() const {
  const auto manager = manager_.lock();
  return manager ? manager->localHostForPeer() : std::nullopt;
}

std::optional<std::vector<std::string>> ManagerSenderLink::peerFeatures() const {
  const auto manager = manager_.lock();
  return manager ? manager->peerFeatures.get() : std::nullopt;
}

bool ManagerSenderLink::hasConnectedPeer() const {
  const auto manager = manager_.lock();
  return manager && !manager->connectedPeers.get().empty();
}

bool ManagerSenderLink::isAvailable() const { return !manager_.expired(); }

void ManagerSenderLink::setCallbacks(Callbacks callbacks) {
  const auto manager = manager_.lock();
  if (!manager) return;
  manager->onPeerEstablished = std::move(callbacks.onPeerEstablished);
  manager->onRemoteSourcePeerReady = std::move(callbacks.onRemoteSourcePeerReady);
  manager->onLoadVideoAck = std::move(callbacks.onLoadVideoAck);
}

} // namespace pd::link
