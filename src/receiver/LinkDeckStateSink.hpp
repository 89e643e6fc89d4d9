#pragma once

// Connects the OSC view model to the link manager: deck states go to the tablet through it,
// and the view model reads the link's connected peers and changes.

#include "deckinput/DeckStateSink.hpp"

#include <boost/signals2/connection.hpp>

#include <memory>

namespace pd::link {
class NetworkManagerForMac;
}

namespace pd::receiver {

class LinkDeckStateSink final : public deckinput::DeckStateSink {
public:
  explicit LinkDeckStateSink(const std::shared_ptr<link::NetworkManagerForMac>& manager);
  ~LinkDeckStateSink() override;
  LinkDeckStateSink(const LinkDeckStateSink&) = delete;
  LinkDeckStateSink& operator=(const LinkDeckStateSink&) = delete;

  void sendDeckState(const link::DeckState& state) override;
  bool hasConnectedPeers() const override;
  boost::signals2::signal<void()>& linkChanged() override { return linkChanged_; }

private:
  std::weak_ptr<link::NetworkManagerForMac> manager_;
  boost::signals2::signal<void()> linkChanged_;
  boost::signals2::scoped_connection forwarding_;
};

} // namespace pd::receiver
