#pragma once

// What the sender needs of the link: the three service messages it sends, the address the
// tablet reaches this receiver at, what the linked tablet announced, and the link's
// establishment and load-answer callbacks. The link implements it (ManagerSenderLink); the
// sender holds it and never sees the link manager.

#include "link/records/LoadVideoAck.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pd::link {

class SenderLink {
public:
  // Each runs on the main thread; the link calls none of them after the callbacks are replaced.
  struct Callbacks {
    std::function<void(const std::optional<std::string>& peerID)> onPeerEstablished;
    std::function<void()> onRemoteSourcePeerReady;
    std::function<void(const LoadVideoAck&)> onLoadVideoAck;
  };

  virtual ~SenderLink() = default;

  // Main thread. True when the message was handed to the connection (not: delivered).
  virtual bool sendSourceEndpoint(std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat) = 0;
  virtual bool sendLoadVideo(const std::string& target, const std::string& url,
                             const std::optional<std::string>& title) = 0;
  virtual bool sendVideoBPM(const std::string& target, std::int64_t bpm, const std::optional<std::string>& url) = 0;
  // Main thread: ready for an http URL ("[...]" around IPv6); none without a link.
  virtual std::optional<std::string> localHostForPeer() const = 0;
  // Main thread: the feature words of the linked tablet's handshake; none before one arrived.
  virtual std::optional<std::vector<std::string>> peerFeatures() const = 0;
  // Main thread: a tablet is linked (the manager's connected peers are not empty).
  virtual bool hasConnectedPeer() const = 0;
  // Main thread: the link manager still exists; without it every send fails.
  virtual bool isAvailable() const = 0;
  // Main thread: replaces the callbacks installed before.
  virtual void setCallbacks(Callbacks callbacks) = 0;
};

} // namespace pd::link
