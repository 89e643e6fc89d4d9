#pragma once

// The user-facing end of the OSC input: mirrors the server's state for the windows, keeps one
// DeckState per DJ deck (1 to 4), routes /deck/<n>/<field> messages into them and forwards the
// deck's whole record to the tablet after every routed message. Main thread only.

#include "deckinput/DeckStateSink.hpp"
#include "deckinput/OSCAddress.hpp"
#include "deckinput/OSCServerService.hpp"
#include "deckinput/ServerState.hpp"
#include "link/records/DeckState.hpp"
#include "runtime/Published.hpp"

#include <boost/signals2/connection.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

namespace pd::deckinput {

class OSCViewModel final : public runtime::ObservableObject {
public:
  using DeckStates = std::map<std::int64_t, link::DeckState>;

  // Keeps the service, holds the link weakly, makes decks 1 to 4 and subscribes to the
  // service's messages and states (and to the link's changes, when it exists now).
  OSCViewModel(std::shared_ptr<OSCServerServiceProtocol> serverService, std::weak_ptr<DeckStateSink> networkManager);
  ~OSCViewModel();
  OSCViewModel(const OSCViewModel&) = delete;
  OSCViewModel& operator=(const OSCViewModel&) = delete;

  // The last state the service published.
  runtime::Published<ServerState> serverState;
  // Always holds decks 1, 2, 3 and 4.
  runtime::Published<DeckStates> deckStates;

  // Without a configuration: port 8000 on "127.0.0.1". A start that fails is logged, not passed on.
  void startServer(const std::optional<ServerConfiguration>& configuration);
  void stopServer();
  // Whether the link still exists and has a connected tablet.
  bool hasConnectedPeer() const;

  // Routes one message.
  void handle(const OSCMessage& message);
  // Writes one field of a deck (1 to 4), stamps the deck and forwards it.
  void applyDeckField(std::int64_t deck, std::string_view field, const OSCArgumentValue& value);
  // The change lines for the flags and the title; nothing without an old state.
  static void logDeckChanges(std::int64_t deck, const std::optional<link::DeckState>& old, const link::DeckState& now);

private:
  template <typename Write>
  void writeDeck(std::int64_t deck, Write&& write);

  std::shared_ptr<OSCServerServiceProtocol> serverService_;
  std::weak_ptr<DeckStateSink> networkManager_;
  boost::signals2::scoped_connection messageSubscription_;
  boost::signals2::scoped_connection stateSubscription_;
  boost::signals2::scoped_connection linkSubscription_;
};

} // namespace pd::deckinput
