#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "runtime/Clock.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

using Cause = NetworkManagerForMac::ReconnectNotice::Cause;
using platform::bonjour::BrowseChange;
using platform::net::LinkState;

class ReconnectTest : public ManagerFixture {
protected:
  void SetUp() override {
    manager->updateBrowsing("start");
    browser().report(platform::bonjour::BrowserState::ready);
    settle();
  }
  // The browser's whole list now; `added` are announced as new.
  void discover(const std::vector<platform::bonjour::BrowseResult>& results,
                const std::vector<platform::bonjour::BrowseResult>& added = {}) {
    std::vector<BrowseChange> changes;
    for (const auto& result : added) changes.push_back({BrowseChange::Kind::added, result, std::nullopt});
    browsers.back()->deliver(results, changes);
    settle();
  }
  void acknowledge(FakeLink& current) {
    ASSERT_TRUE(current.deliver(bytes(handshakeAck(handshakeSequence(current)))));
    settle();
  }
  void reject(FakeLink& current, std::string_view reason = "occupied") {
    const auto text = R"({"type":"handshake_reject","reason":")" + std::string(reason) + R"(","seq":)" +
                      std::to_string(handshakeSequence(current)) + "}";
    ASSERT_TRUE(current.deliver(bytes(text)));
    settle();
  }
  // The wait of the reconnect timer that was scheduled last.
  double lastWait() const { return timers->at(timers->count() - 1).seconds; }

  platform::bonjour::BrowseResult tab = tablet("Tab", {loopback(), wifi()});
};

TEST_F(ReconnectTest, WaitsGrowWithJitterAndABrowserWithoutTabletsIsRebuilt) {
  ManualTime time; // the notice's wall-clock time is compared with the wait: a stall must not age it
  LogWindow log;
  TA::startAutoReconnect(*manager, Cause::connectionLost);
  EXPECT_TRUE(log.has("reconnect_start"));
  EXPECT_TRUE(log.has("reconnect_attempt attempt=1 delay_s=0"));
  EXPECT_TRUE(log.has("reconnect_target_change from=unset to=none reason=no_peer attempt=1"));
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, Cause::peerNotFound);

  const std::vector<std::pair<double, double>> bounds = {{0.8, 1.2}, {1.6, 2.4}, {3.2, 4.8}, {6.4, 8.0},
                                                         {6.4, 8.0}, {6.4, 8.0}, {6.4, 8.0}};
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    SCOPED_TRACE(i + 2);
    EXPECT_EQ(TA::reconnectAttempt(*manager), static_cast<std::int64_t>(i + 2));
    EXPECT_GE(lastWait(), bounds[i].first);
    EXPECT_LE(lastWait(), bounds[i].second);
    // The notice tells the views when, on the wall clock.
    ASSERT_TRUE(manager->reconnectNotice.get()->nextAttemptAt);
    const auto until = *manager->reconnectNotice.get()->nextAttemptAt - runtime::Clock::current().wall();
    EXPECT_NEAR(std::chrono::duration<double>(until).count(), lastWait(), 1e-3);
    ASSERT_TRUE(timers->fireLast());
  }
  // Eight attempts found nobody: the browser was rebuilt after the fourth and the eighth, and the
  // unchanged target was reported once.
  EXPECT_EQ(log.count("browse_rebuild reason=stale_no_peer"), 2u);
  EXPECT_EQ(log.count("reconnect_target_change"), 1u);
  EXPECT_TRUE(links.empty());
}

TEST_F(ReconnectTest, LostLinkIsTornDownAndRetriedAtOnceOverTheSameRoute) {
  discover({tab}, {tab});
  auto& first = connectReady(tab);
  acknowledge(first);
  ASSERT_EQ(manager->connectedPeers.get().size(), 1u);
  int lost = 0;
  manager->onConnectionLost = [&] { ++lost; };
  manager->pendingModeRequest.set(StreamMode::raw);
  LogWindow log;

  TA::handlePeerLost(*manager);
  EXPECT_TRUE(log.has("udp_disconnect reason=peer_lost"));
  EXPECT_TRUE(first.cancelled());
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(manager->hasConnectionIssue.get());
  EXPECT_FALSE(manager->pendingModeRequest.get());
  EXPECT_EQ(manager->peerVersionState.get().kind(), NetworkManagerForMac::PeerVersionState::Kind::unknown);
  EXPECT_TRUE(manager->connectedPeers.get().empty());
  EXPECT_TRUE(log.has("reconnect_attempt attempt=1 delay_s=0"));
  EXPECT_TRUE(log.has("reconnect_target kind=last_peer"));
  EXPECT_TRUE(log.has("reconnect_target_change from=unset to=last_peer reason=route_reuse iface=lo name="));
  EXPECT_TRUE(log.has("disconnect_cleanup_done"));
  // The attempt itself: the same route, with the reconnect's shorter time limit.
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(link(1).parameters.requiredInterface->name, "lo");
  EXPECT_EQ(timers->pending(), std::vector<double>{5.0});
  EXPECT_EQ(manager->connectionStatus.get(), "接続中...");
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, Cause::connectionLost);

  link(1).report(LinkState::ready);
  settle();
  runUntil([&] { return link(1).hasPendingReceive(); });
  acknowledge(link(1));
  EXPECT_EQ(manager->connectedPeers.get().size(), 1u);
  EXPECT_FALSE(manager->reconnectNotice.get());
  EXPECT_FALSE(TA::isAutoReconnecting(*manager));
  EXPECT_FALSE(manager->hasConnectionIssue.get());
}

TEST_F(ReconnectTest, VanishedRouteFallsBackToTheTabletsFirstInterface) {
  discover({tab}, {tab});
  acknowledge(connectReady(tab));
  // The tablet is now seen over Wi-Fi only.
  discover({tablet("Tab", {wifi()})});
  LogWindow log;
  TA::handlePeerLost(*manager);
  EXPECT_TRUE(log.has("reconnect_target kind=fallback_iface iface=wlan0"));
  EXPECT_TRUE(log.has("reconnect_target_change from=unset to=fallback_iface reason=route_unavailable iface=wlan0"));
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(link(1).parameters.requiredInterface->name, "wlan0");
}

TEST_F(ReconnectTest, TheSameRouteIsTakenWithTheIndexItHasNow) {
  // A cable plugged in again: the interface keeps its name and gets a new kernel index.
  const platform::net::Interface before{"usb0", 5, platform::net::InterfaceType::wiredEthernet};
  const platform::net::Interface after{"usb0", 9, platform::net::InterfaceType::wiredEthernet};
  discover({tablet("Tab", {before})}, {tablet("Tab", {before})});
  manager->connect(tablet("Tab", {before}), before);
  link().report(LinkState::ready);
  settle();
  runUntil([&] { return link().hasPendingReceive(); });
  acknowledge(link());
  discover({tablet("Tab", {after})});
  LogWindow log;
  TA::handlePeerLost(*manager);
  EXPECT_TRUE(log.has("reconnect_target_change from=unset to=last_peer reason=route_reuse iface=usb0"));
  ASSERT_EQ(links.size(), 2u);
  ASSERT_TRUE(link(1).parameters.requiredInterface);
  EXPECT_EQ(link(1).parameters.requiredInterface->index, 9u);
  EXPECT_EQ(manager->currentRoute()->interface.index, 9u);
}

TEST_F(ReconnectTest, FailedManualConnectIsPinnedToItsTablet) {
  const auto other = tablet("Other", {wifi()});
  discover({tab, other}, {tab, other});
  manager->connect(tab, loopback());
  discover({other}); // the tablet we asked for goes away
  link().report(LinkState::failed, Error("test", 1, "unreachable"));
  settle();
  EXPECT_EQ(manager->connectionStatus.get(), "接続失敗 - 自動で再試行します");
  EXPECT_TRUE(TA::isPinned(*manager));
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, Cause::peerNotFound);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(timers->fireLast());
  EXPECT_EQ(links.size(), 1u); // never the other tablet
}

TEST_F(ReconnectTest, LostLinkMayGoToAnotherDiscoveredTablet) {
  discover({tab}, {tab});
  acknowledge(connectReady(tab));
  const auto other = tablet("Other", {wifi()});
  discover({other});
  LogWindow log;
  TA::handlePeerLost(*manager);
  EXPECT_TRUE(log.has("reconnect_target_change from=unset to=discovered reason=last_peer_missing iface=wlan0"));
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(link(1).endpoint, other.endpoint);
}

TEST_F(ReconnectTest, RediscoveryStartsTheWaitingAttemptAtOnce) {
  discover({tab}, {tab});
  acknowledge(connectReady(tab));
  discover({});
  TA::handlePeerLost(*manager); // attempt 1 finds nobody, attempt 2 waits
  ASSERT_TRUE(timers->fireLast()); // attempt 2 finds nobody, attempt 3 waits
  ASSERT_EQ(TA::reconnectAttempt(*manager), 3);
  ASSERT_TRUE(TA::hasReconnectTimer(*manager));
  LogWindow log;
  discover({tab}, {tab});
  EXPECT_TRUE(log.has("reconnect_shortcut reason=bonjour_rediscovery name="));
  EXPECT_EQ(TA::reconnectAttempt(*manager), 3);
  EXPECT_FALSE(TA::hasReconnectTimer(*manager));
  EXPECT_EQ(links.size(), 2u);
  // Another sighting while that attempt runs changes nothing.
  discover({tab}, {tab});
  EXPECT_EQ(links.size(), 2u);
}

TEST_F(ReconnectTest, OccupiedRejectionsLengthenTheWaitUpToAMinute) {
  discover({tab}, {tab});
  auto* current = &connectReady(tab);
  LogWindow log;
  const std::vector<std::pair<double, double>> bounds = {{6.4, 9.6}, {12.8, 19.2}, {25.6, 38.4}, {48.0, 60.0}};
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    SCOPED_TRACE(i + 1);
    reject(*current);
    EXPECT_EQ(TA::occupiedRejectStreak(*manager), static_cast<std::int64_t>(i + 1));
    // The streak sets the attempt to streak + 3 before scheduling counts it up by one.
    EXPECT_EQ(TA::reconnectAttempt(*manager), static_cast<std::int64_t>(i + 5));
    EXPECT_GE(lastWait(), bounds[i].first);
    EXPECT_LE(lastWait(), bounds[i].second);
    ASSERT_TRUE(manager->reconnectNotice.get());
    EXPECT_EQ(manager->reconnectNotice.get()->cause, Cause::occupied);
    EXPECT_EQ(manager->connectionStatus.get(), "接続できません - iPadは別のMacと接続中です");
    ASSERT_TRUE(timers->fireLast());
    current = &link(links.size() - 1);
    current->report(LinkState::ready);
    settle();
    runUntil([&] { return current->hasPendingReceive(); });
  }
  EXPECT_EQ(log.count("reconnect_start reason=occupied"), 1u);
  const auto lines = log.lines();
  const auto occupiedWaits = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("reconnect_attempt", 0) == 0 && line.ends_with(" reason=occupied");
  });
  EXPECT_EQ(occupiedWaits, 4);
  // Accepted at last: everything resets.
  acknowledge(*current);
  EXPECT_EQ(TA::occupiedRejectStreak(*manager), 0);
  EXPECT_FALSE(manager->reconnectNotice.get());
}

TEST_F(ReconnectTest, AnOccupiedRunAfterAnEarlierRunReportsItsTargetAfresh) {
  discover({tab}, {tab});
  acknowledge(connectReady(tab));
  TA::handlePeerLost(*manager);
  settle();
  FakeLink* current = &link(links.size() - 1);
  current->report(LinkState::ready);
  settle();
  runUntil([&] { return current->hasPendingReceive(); });
  acknowledge(*current); // the first run ends here, its last target still noted
  ASSERT_FALSE(TA::isAutoReconnecting(*manager));

  LogWindow log;
  reject(*current);
  ASSERT_TRUE(TA::isAutoReconnecting(*manager));
  ASSERT_TRUE(timers->fireLast());
  EXPECT_TRUE(log.has("reconnect_target_change from=unset to=last_peer reason=route_reuse iface=lo"));
}

TEST_F(ReconnectTest, TimeoutDuringReconnectSchedulesTheNextAttempt) {
  discover({tab}, {tab});
  acknowledge(connectReady(tab));
  TA::handlePeerLost(*manager);
  ASSERT_EQ(links.size(), 2u);
  TA::handleConnectionTimeout(*manager, TA::generation(*manager));
  EXPECT_EQ(manager->connectionStatus.get(), "接続が切断されました - 再接続中...");
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, Cause::timeout);
  EXPECT_TRUE(manager->reconnectNotice.get()->nextAttemptAt);
  EXPECT_EQ(TA::reconnectAttempt(*manager), 2);
}

TEST_F(ReconnectTest, ManualDisconnectEndsEverythingAndNoAttemptFollows) {
  discover({tab}, {tab});
  acknowledge(connectReady(tab));
  discover({});
  TA::handlePeerLost(*manager);
  ASSERT_TRUE(TA::hasReconnectTimer(*manager));
  const auto pending = timers->count() - 1;
  LogWindow log;
  manager->stop(false);
  EXPECT_TRUE(log.has("udp_disconnect reason=manual syphon_stopped=false"));
  EXPECT_FALSE(manager->reconnectNotice.get());
  EXPECT_FALSE(TA::isAutoReconnecting(*manager));
  EXPECT_FALSE(timers->fire(pending));
  EXPECT_EQ(links.size(), 1u);
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
  EXPECT_FALSE(manager->isBrowsing.get());
  EXPECT_TRUE(manager->discoveredPeers.get().empty());
  EXPECT_TRUE(manager->browseSuspendedByUser);
  // A tablet seen later starts nothing.
  EXPECT_TRUE(browser(browsers.size() - 1).cancelled());
}

TEST_F(ReconnectTest, ManualDisconnectOfALiveLink) {
  discover({tab}, {tab});
  auto& current = connectReady(tab);
  acknowledge(current);
  manager->stop(true);
  EXPECT_TRUE(current.cancelled());
  EXPECT_TRUE(manager->connectedPeers.get().empty());
  EXPECT_FALSE(manager->hasConnectionIssue.get());
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
  EXPECT_FALSE(TA::isAutoReconnecting(*manager));
  EXPECT_TRUE(timers->pending().empty());
}

TEST_F(ReconnectTest, StatusTextFollowsTheLinkAndKeepsARejectionForTenSeconds) {
  EXPECT_EQ(manager->connectionStatus.get(), "検索中...");
  discover({tab}, {tab});
  auto& current = connectReady(tab);
  acknowledge(current);
  EXPECT_EQ(manager->connectionStatus.get(), "接続中: 1台");
  manager->isVideoSilent.set(true);
  TA::updateConnectionStatus(*manager);
  EXPECT_EQ(manager->connectionStatus.get(), "接続中（映像が届いていません）");
  manager->isLinkDegraded.set(true);
  TA::updateConnectionStatus(*manager);
  EXPECT_EQ(manager->connectionStatus.get(), "接続中（不安定 - 受信が途絶しています）");
  manager->stop(false);
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");

  manager->browseSuspendedByUser = false;
  manager->updateBrowsing("start");
  browsers.back()->report(platform::bonjour::BrowserState::ready);
  settle();
  discover({tab}, {tab});
  reject(connectReady(tab), "busy");
  const std::string rejected = "接続できません - iPadは別のMacと接続中です";
  EXPECT_EQ(manager->connectionStatus.get(), rejected);
  TA::updateConnectionStatus(*manager);
  EXPECT_EQ(manager->connectionStatus.get(), rejected);
  TA::setStickyUntil(*manager, runtime::monotonicSeconds() - 0.1);
  TA::updateConnectionStatus(*manager);
  EXPECT_EQ(manager->connectionStatus.get(), "検索中...");
  // Not "occupied" and no reconnect running: no retry.
  EXPECT_FALSE(TA::isAutoReconnecting(*manager));
}

} // namespace
} // namespace pd::link::test
