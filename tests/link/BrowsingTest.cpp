#include "LinkTestSupport.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

using platform::bonjour::BrowseChange;
using platform::bonjour::BrowserState;

class BrowsingTest : public ManagerFixture {};

TEST_F(BrowsingTest, FreshManagerStartsIdle) {
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
  EXPECT_EQ(manager->streamMode.get(), StreamMode::mix);
  EXPECT_EQ(manager->peerVersionState.get(), NetworkManagerForMac::PeerVersionState::unknown());
  EXPECT_FALSE(manager->isAdvertising.get());
  EXPECT_FALSE(manager->isBrowsing.get());
  EXPECT_TRUE(manager->discoveredPeers.get().empty());
  EXPECT_TRUE(manager->discoveredPeerVersions.get().empty());
  EXPECT_FALSE(manager->reconnectNotice.get());
  EXPECT_FALSE(manager->currentRoute());
}

TEST_F(BrowsingTest, SuspendedWithoutBrowserDoesNothingAtAll) {
  LogWindow log;
  manager->browseSuspendedByUser = true;
  manager->updateBrowsing("stop");
  EXPECT_TRUE(browsers.empty());
  EXPECT_TRUE(log.lines().empty()) << ::testing::PrintToString(log.lines());
}

TEST_F(BrowsingTest, StartSkipAndStop) {
  LogWindow log;
  manager->updateBrowsing("start");
  ASSERT_EQ(browsers.size(), 1u);
  EXPECT_TRUE(log.has("browse_start type=_velquatrin._udp"));

  manager->updateBrowsing("start");
  EXPECT_EQ(browsers.size(), 1u);
  EXPECT_TRUE(log.has("browse_skip reason=already_started"));

  browser().report(BrowserState::ready);
  browser().deliver({tablet("Tab", {wifi()})}, {BrowseChange{BrowseChange::Kind::added, tablet("Tab", {wifi()}), {}}});
  settle();
  EXPECT_TRUE(manager->isBrowsing.get());
  EXPECT_EQ(manager->connectionStatus.get(), "検索中...");
  EXPECT_EQ(manager->discoveredPeers.get(), std::vector{tablet("Tab", {wifi()})});

  manager->browseSuspendedByUser = true;
  manager->updateBrowsing("stop");
  EXPECT_TRUE(browser().cancelled());
  EXPECT_TRUE(log.has("browse_stop reason=stop"));
  // Stopping empties the lists at once, without waiting for the browser.
  EXPECT_FALSE(manager->isBrowsing.get());
  EXPECT_TRUE(manager->discoveredPeers.get().empty());
  EXPECT_TRUE(manager->discoveredPeerVersions.get().empty());
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
}

TEST_F(BrowsingTest, AutomaticReconnectKeepsTheBrowserWhileSuspended) {
  manager->browseSuspendedByUser = true;
  TA::setAutoReconnecting(*manager, true);
  manager->updateBrowsing("reconnect_start");
  EXPECT_EQ(browsers.size(), 1u);
}

TEST_F(BrowsingTest, DiscoveredVersionsFollowTheResults) {
  LogWindow log;
  manager->updateBrowsing("start");
  const auto a = tablet("A", {wifi()}, std::vector<std::string>{"pv=+3", "app="});
  const auto b = tablet("B", {loopback()}, std::nullopt);
  const auto aAgain = tablet("A", {loopback()}, std::vector<std::string>{"pv=4"});
  browser().deliver({a, b, aAgain}, {BrowseChange{BrowseChange::Kind::added, a, {}},
                                     BrowseChange{BrowseChange::Kind::changed, aAgain, a}});
  settle();
  const auto& versions = manager->discoveredPeerVersions.get();
  ASSERT_EQ(versions.size(), 2u); // two results with one endpoint give one entry, the later one
  EXPECT_EQ(versions.at(a.endpoint), (NetworkManagerForMac::PeerVersionInfo{4, std::nullopt}));
  EXPECT_EQ(versions.at(b.endpoint), (NetworkManagerForMac::PeerVersionInfo{}));
  EXPECT_EQ(manager->discoveredPeers.get(), (std::vector{a, b, aAgain}));
  EXPECT_TRUE(log.has("bonjour_found name=<mask.hash:"));
  EXPECT_TRUE(hasLine(log, "route_change source=bonjour name=<mask.hash:", " old_ifaces=wlan0"));
}

} // namespace
} // namespace pd::link::test
