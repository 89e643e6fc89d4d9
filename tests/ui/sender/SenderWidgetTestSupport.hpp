#pragma once

// The sender section's widget tests: the main window's fixture (a link manager of fakes, a real
// broadcaster) with a thumbnail loader that only counts what it is asked for.

#include "MainWindowTestSupport.hpp"

#include "ui/sender/ThumbnailLoader.hpp"

#include <string>
#include <vector>

namespace pd::ui::test {

class CountingThumbnails final : public ThumbnailLoader {
public:
  std::shared_ptr<void> load(const std::string& url, QSize, std::function<void(QImage)> done) override {
    requested.push_back(url);
    pending.push_back(std::move(done));
    return std::make_shared<int>(0);
  }
  std::vector<std::string> requested;
  std::vector<std::function<void(QImage)>> pending;
};

class SenderWidgetFixture : public MainWindowFixture {
protected:
  SenderWidgetFixture() { senderServices.thumbnails = thumbnails; }

  // A tablet linked with the given feature list and version state.
  void
  link(std::optional<std::vector<std::string>> features = std::nullopt,
       link::NetworkManagerForMac::PeerVersionState version = link::NetworkManagerForMac::PeerVersionState::matched()) {
    manager->peerFeatures.set(std::move(features));
    manager->peerVersionState.set(version);
    manager->connectedPeers.set({linkedTablet()});
  }

  std::shared_ptr<CountingThumbnails> thumbnails = std::make_shared<CountingThumbnails>();
};

} // namespace pd::ui::test
