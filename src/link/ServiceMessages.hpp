#pragma once

// What the rest of the receiver sends the tablet over the link: deck states, the HTTP source
// endpoint, load requests and video tempos; and the receiver's address as the tablet sees it.
// Every send reads the link as it is at that moment and hands the message over without waiting
// for the outcome. Main thread.

#include "platform/net/DatagramLink.hpp"
#include "platform/net/Interface.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::link {

struct DeckState;

class ServiceMessages {
public:
  // The link a send goes out on.
  struct Link {
    const std::shared_ptr<platform::net::DatagramLink>& connection;
    // The handshake has established the link with a tablet.
    bool established = false;
    // The id of the current link cycle, named by the source endpoint.
    std::string_view linkID;
  };

  ServiceMessages();
  ~ServiceMessages();
  ServiceMessages(const ServiceMessages&) = delete;
  ServiceMessages& operator=(const ServiceMessages&) = delete;

  // At most one deck state travels at a time. One that arrives meanwhile is held back, the
  // newest of each deck only, and goes out when the link is free again.
  void sendDeckState(const Link& link, const DeckState& state);
  // True when the message was handed to the connection (not: delivered). The source endpoint
  // needs an established link; the others only a ready connection.
  bool sendSourceEndpoint(const Link& link, std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat);
  bool sendLoadVideo(const Link& link, const std::string& target, const std::string& url,
                     const std::optional<std::string>& title);
  bool sendVideoBPM(const Link& link, const std::string& target, std::int64_t bpm,
                    const std::optional<std::string>& url);
  // Deck states handed to the connection and not yet completed.
  std::int64_t deckStatesInFlight() const noexcept;

  // The receiver's address as the tablet can reach it, ready for an http URL ("[...]" around
  // IPv6, offered only to a tablet whose features include "remote_source").
  static std::optional<std::string> localHostForPeer(const platform::net::DatagramLink* connection,
                                                     const std::optional<std::vector<std::string>>& peerFeatures);
  // The first IPv4 address of a wired or Wi-Fi interface among the active ones.
  static std::optional<std::string> primaryIPv4Address(const std::vector<platform::net::ActiveAddress>& addresses);

  // The deck states in flight and held back; completions may outlive this object.
  struct DeckStateFlow;

private:
  // Shared with the completions of sends under way, which hold it weakly.
  std::shared_ptr<DeckStateFlow> deckStates_;
};

} // namespace pd::link
