#include "receiver/LinkDeckStateSink.hpp"

#include "link/NetworkManagerForMac.hpp"

namespace pd::receiver {

LinkDeckStateSink::LinkDeckStateSink(const std::shared_ptr<link::NetworkManagerForMac>& manager) : manager_(manager) {
  forwarding_ = manager->objectChanged().connect([this] { linkChanged_(); });
}

LinkDeckStateSink::~LinkDeckStateSink() = default;

void LinkDeckStateSink::sendDeckState(const link::DeckState& state) {
  if (const auto manager = manager_.lock()) manager->sendDeckState(state);
}

bool LinkDeckStateSink::hasConnectedPeers() const {
  const auto manager = manager_.lock();
  return manager && !manager->connectedPeers.get().empty();
}

} // namespace pd::receiver
