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
  const auto& id = TA::linkID(*manager);
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
}

TEST_F(BrowsingTest, SuspendedWithoutBrowserDoesNothingAtAll) {
  LogWindow log;
  manager->browseSuspendedByUser = true;
  manager->updateBrowsing("stop");
  EXPECT_TRUE(browsers.empty());
  EXPECT_TRUE(log.lines().empty());
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
  EXPECT_EQ(manager->discoveredPeers.get().size(), 1u);

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

TEST_F(BrowsingTest, FailuresBackOffDoublingToTheCapAndReadyResets) {
  manager->updateBrowsing("start");
  for (const double expected : {2.0, 4.0, 8.0}) {
    browser(browsers.size() - 1).report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
    settle();
    ASSERT_EQ(timers->pending(), std::vector<double>{expected});
    EXPECT_EQ(manager->connectionStatus.get(), "エラー: daemon failed");
    EXPECT_FALSE(manager->isBrowsing.get());
    // The rebuild makes a fresh browser.
    ASSERT_TRUE(timers->fireLast());
    EXPECT_TRUE(browser(browsers.size() - 2).cancelled());
  }
  EXPECT_DOUBLE_EQ(TA::browserRebuildDelay(*manager), 16.0);
  EXPECT_EQ(browsers.size(), 4u);

  for (int i = 0; i < 3; ++i) {
    browser(browsers.size() - 1).report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
    settle();
    ASSERT_TRUE(timers->fireLast());
  }
  EXPECT_DOUBLE_EQ(TA::browserRebuildDelay(*manager), 30.0);
  EXPECT_EQ(timers->at(timers->count() - 1).seconds, 30.0); // 16 doubled is capped

  // A failure leaves a rebuild pending; ready cancels it and starts the next series at 2 s.
  browser(browsers.size() - 1).report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
  settle();
  ASSERT_EQ(timers->pending().size(), 1u);
  browser(browsers.size() - 1).report(BrowserState::ready);
  settle();
  EXPECT_TRUE(timers->pending().empty());
  EXPECT_DOUBLE_EQ(TA::browserRebuildDelay(*manager), 2.0);
}

TEST_F(BrowsingTest, WaitingSchedulesOneRebuildAfterTenSeconds) {
  manager->updateBrowsing("start");
  browser().report(BrowserState::waiting, Error("BonjourError", -26, "Daemon not running"));
  settle();
  EXPECT_EQ(timers->pending(), std::vector<double>{10.0});
  browser().report(BrowserState::waiting, Error("BonjourError", -26, "Daemon not running"));
  settle();
  EXPECT_EQ(timers->pending(), std::vector<double>{10.0});
  EXPECT_DOUBLE_EQ(TA::browserRebuildDelay(*manager), 2.0);
}

TEST_F(BrowsingTest, LateEventsOfAReplacedBrowserChangeNothing) {
  manager->updateBrowsing("start");
  manager->rebuildBrowser("test");
  ASSERT_EQ(browsers.size(), 2u);
  browser(0).deliver({tablet("Ghost", {wifi()})}, {}, true);
  browser(0).report(BrowserState::ready);
  settle();
  EXPECT_TRUE(manager->discoveredPeers.get().empty());
  EXPECT_FALSE(manager->isBrowsing.get());
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
  EXPECT_EQ(manager->discoveredPeers.get().size(), 3u);
  EXPECT_TRUE(log.has("bonjour_found name=<mask.hash:"));
  EXPECT_TRUE(log.has("route_change source=bonjour name=<mask.hash:"));
  const auto lines = log.lines();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.find("old_ifaces=wlan0") != std::string::npos; }),
            lines.end());
}

} // namespace
} // namespace pd::link::test
