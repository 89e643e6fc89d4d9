#pragma once

// The link manager as the sender sees it. Holds the manager weakly, like every neighbour of the
// link: once the manager has gone, nothing is sent and nothing is known of the peer.

#include "link/SenderLink.hpp"

#include <memory>

namespace pd::link {

class NetworkManagerForMac;

class ManagerSenderLink final : public SenderLink {
public:
  explicit ManagerSenderLink(const std::shared_ptr<NetworkManagerForMac>& manager) : manager_(manager) {}

  bool sendSourceEndpoint(std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat) override;
  bool sendLoadVideo(const std::string& target, const std::string& url,
                     const std::optional<std::string>& title) override;
  bool sendVideoBPM(const std::string& target, std::int64_t bpm, const std::optional<std::string>& url) override;
  std::optional<std::string> localHostForPeer() const override;
  std::optional<std::vector<std::string>> peerFeatures() const override;
  bool hasConnectedPeer() const override;
  bool isAvailable() const override;
  void setCallbacks(Callbacks callbacks) override;

private:
  std::weak_ptr<NetworkManagerForMac> manager_;
};

} // namespace pd::link
