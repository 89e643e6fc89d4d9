#include "LinkTestSupport.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <limits>

namespace pd::link::test {
namespace {

using platform::net::LinkState;

class ConnectionTest : public ManagerFixture {};

TEST_F(ConnectionTest, NewLinkCyclesAdvanceTheGeneration) {
  const auto first = manager->beginLinkSession();
  const auto second = manager->beginLinkSession();
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(TA::videoEpochOnQueue(*manager), second); // the queue's copy follows

  TA::setGeneration(*manager, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(manager->beginLinkSession(), 0u);
}

TEST_F(ConnectionTest, ConnectOpensTheLinkOverTheInterfaceWithItsTimeLimit) {
  LogWindow log;
  const auto peer = tablet("Tab", {loopback()});
  const auto before = TA::generation(*manager);
  manager->connect(peer, loopback());
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(TA::generation(*manager), before + 1);
  EXPECT_EQ(link().endpoint, peer.endpoint);
  ASSERT_TRUE(link().parameters.requiredInterface);
  EXPECT_EQ(link().parameters.requiredInterface->name, "lo");
  EXPECT_EQ(link().parameters.serviceClass, platform::net::ServiceClass::interactiveVideo);
  EXPECT_EQ(manager->connectionStatus.get(), "接続中...");
  EXPECT_EQ(timers->pending(), std::vector<double>{15.0});
  EXPECT_TRUE(log.has("udp_connect name=<mask.hash:"));
  EXPECT_TRUE(log.has("connect_params iface=lo type=loopback"));
  EXPECT_TRUE(log.has("conn_timeout_arm dur_s=15.000000"));
  ASSERT_TRUE(manager->currentRoute());
  EXPECT_EQ(manager->currentRoute()->interface.name, "lo");

  // A second connect while the attempt runs changes nothing.
  manager->connect(tablet("Other", {wifi()}), wifi());
  EXPECT_EQ(links.size(), 1u);
  EXPECT_TRUE(log.has("udp_connect_skip reason=connecting"));
  EXPECT_EQ(manager->currentRoute()->interface.name, "lo");
}

TEST_F(ConnectionTest, ReadyStartsTheReceiveLoopAndSendsTheHandshakeRequest) {
  LogWindow log;
  auto& current = connectReady(tablet("Tab", {loopback()}));
  EXPECT_TRUE(log.has("udp_ready endpoint=127.0.0.1:60000 local_endpoint=127.0.0.1:50000 name="));
  EXPECT_TRUE(log.has("conn_path status=satisfied local=127.0.0.1:50000 remote=127.0.0.1:60000"));
  // Still an attempt: the time limit holds until the tablet acknowledges.
  EXPECT_TRUE(TA::isConnecting(*manager));
  EXPECT_EQ(timers->pending(), std::vector<double>{15.0});

  const auto sent = current.sent();
  ASSERT_EQ(sent.size(), 1u);
  const auto message = nlohmann::json::parse(sent[0]);
  EXPECT_EQ(message["type"], "handshake_request");
  EXPECT_EQ(message["seq"], 1);
  EXPECT_EQ(message["protocolVersion"], 3);
  EXPECT_EQ(message["device"], "Test Mac");
  const auto linkID = message["linkID"].get<std::string>();
  EXPECT_EQ(linkID.size(), 32u);
  EXPECT_EQ(message["peerID"], "00000000-0000-4000-8000-000000000001");
  EXPECT_EQ(message["features"], nlohmann::json::array({"raw_mode", "load_video"}));
  EXPECT_EQ(message["sessionID"], "5E551D00-0000-4000-8000-000000000001");
  EXPECT_EQ(message["appVersion"], "9.8.7");
  EXPECT_TRUE(log.has("handshake_send seq=1 link_id=" + linkID.substr(0, 16)));
}

TEST_F(ConnectionTest, StaleReadyOfASupersededConnectionIsIgnored) {
  const auto peer = tablet("Tab", {loopback()});
  manager->connect(peer, loopback());
  manager->selectInterface(peer, loopback());
  ASSERT_EQ(links.size(), 2u);
  EXPECT_TRUE(link(0).cancelled());
  EXPECT_FALSE(link(0).hasHandler());

  LogWindow log;
  link(0).report(LinkState::ready, std::nullopt, /*throughFirstHandler=*/true);
  settle();
  EXPECT_TRUE(log.has("udp_state state=ready gen="));
  EXPECT_EQ(log.count("udp_ready"), 0u);
  EXPECT_TRUE(link(0).sent().empty());
  EXPECT_EQ(link(0).receiveRequests(), 0);
}

TEST_F(ConnectionTest, RouteChangeTakesTwoGenerationsAndReconnectsOverTheSameInterface) {
  LogWindow log;
  const auto peer = tablet("Tab", {loopback()});
  connectReady(peer);
  const auto before = TA::generation(*manager);
  manager->selectInterface(peer, loopback());
  EXPECT_EQ(TA::generation(*manager), before + 2);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_TRUE(link(0).cancelled());
  EXPECT_EQ(link(1).parameters.requiredInterface->name, "lo");
  EXPECT_TRUE(log.has("route_change source=manual iface=lo"));
  EXPECT_EQ(manager->connectionStatus.get(), "接続中...");
  // Only the new attempt's timer is live.
  EXPECT_EQ(timers->pending(), std::vector<double>{15.0});
}

TEST_F(ConnectionTest, TimeoutEndsTheAttempt) {
  LogWindow log;
  int timeouts = 0;
  manager->onConnectionTimeout = [&] { ++timeouts; };
  manager->connect(tablet("Tab", {loopback()}), loopback());
  const auto generation = TA::generation(*manager);
  ASSERT_TRUE(timers->fireLast());
  EXPECT_TRUE(log.has("conn_timeout"));
  EXPECT_EQ(timeouts, 1);
  EXPECT_FALSE(TA::isConnecting(*manager));
  EXPECT_FALSE(TA::hasConnection(*manager));
  EXPECT_TRUE(link().cancelled());
  EXPECT_EQ(TA::generation(*manager), generation + 1);
  EXPECT_EQ(manager->connectionStatus.get(), "接続がタイムアウトしました - 自動で再試行します");
  EXPECT_TRUE(manager->hasConnectionIssue.get());
}

TEST_F(ConnectionTest, TimeoutAfterTheAckOrForAnOlderAttemptDoesNothing) {
  manager->connect(tablet("Tab", {loopback()}), loopback());
  const auto generation = TA::generation(*manager);

  TA::setConnecting(*manager, false); // what the handshake ack does
  ASSERT_TRUE(timers->fireLast());
  EXPECT_TRUE(TA::hasConnection(*manager));
  EXPECT_EQ(TA::generation(*manager), generation);
  EXPECT_EQ(manager->connectionStatus.get(), "接続中...");

  TA::setConnecting(*manager, true);
  manager->beginLinkSession();
  TA::handleConnectionTimeout(*manager, generation);
  EXPECT_TRUE(TA::hasConnection(*manager));
  EXPECT_FALSE(manager->hasConnectionIssue.get());
}

TEST_F(ConnectionTest, AttemptsDuringAutomaticReconnectHaveFiveSeconds) {
  TA::setAutoReconnecting(*manager, true);
  manager->connect(tablet("Tab", {loopback()}), loopback());
  EXPECT_EQ(timers->pending(), std::vector<double>{5.0});
  ASSERT_TRUE(timers->fireLast());
  // During reconnect a timeout waits for the next attempt instead of starting reconnect.
  EXPECT_EQ(manager->connectionStatus.get(), "接続が切断されました - 再接続中...");
  EXPECT_FALSE(manager->hasConnectionIssue.get());
}

TEST_F(ConnectionTest, FailureBeforeTheLinkEndsTheAttempt) {
  LogWindow log;
  manager->connect(tablet("Tab", {loopback()}), loopback());
  const auto generation = TA::generation(*manager);
  link().report(LinkState::failed, PosixError(ENODEV, "bind to interface"));
  settle();
  EXPECT_TRUE(hasLine(log, "udp_connect_fail name=<mask.hash:", " err_domain=POSIX err_code=19"));
  EXPECT_EQ(manager->connectionStatus.get(), "接続失敗 - 自動で再試行します");
  EXPECT_TRUE(manager->hasConnectionIssue.get());
  EXPECT_FALSE(TA::isConnecting(*manager));
  EXPECT_FALSE(TA::hasConnection(*manager));
  EXPECT_EQ(TA::generation(*manager), generation + 1);
  // The time limit is gone; automatic reconnect, pinned to that tablet, found it nowhere at
  // once and waits for its second attempt.
  const auto pending = timers->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_GE(pending[0], 0.8);
  EXPECT_LE(pending[0], 1.2);
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, NetworkManagerForMac::ReconnectNotice::Cause::peerNotFound);
}

TEST_F(ConnectionTest, CancelDuringAnAttemptResetsTheStatusAndSuspendsBrowsing) {
  LogWindow log;
  manager->updateBrowsing("start");
  manager->connect(tablet("Tab", {loopback()}), loopback());
  manager->cancelConnection();
  EXPECT_TRUE(log.has("udp_disconnect reason=manual"));
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
  EXPECT_TRUE(manager->browseSuspendedByUser);
  EXPECT_TRUE(browser().cancelled());
  EXPECT_TRUE(link().cancelled());
  EXPECT_TRUE(timers->pending().empty());
  // The route stays known after the attempt ended.
  ASSERT_TRUE(manager->currentRoute());
  EXPECT_EQ(manager->currentRoute()->interface.name, "lo");
}

TEST_F(ConnectionTest, CancelledStateFromTheLinkItselfClearsThePeer) {
  LogWindow log;
  manager->connect(tablet("Tab", {loopback()}), loopback());
  link().report(LinkState::cancelled);
  settle();
  EXPECT_TRUE(log.has("udp_disconnect reason=cancelled name=<mask.hash:"));
  EXPECT_FALSE(TA::isConnecting(*manager));
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
}

TEST_F(ConnectionTest, DestroyingTheManagerCancelsWhatItOwns) {
  manager->updateBrowsing("start");
  manager->connect(tablet("Tab", {loopback()}), loopback());
  auto keep = links.front();
  manager.reset();
  // When the network queue holds the last reference for a moment, destruction is posted to
  // the main thread: run it.
  runUntil([&] { return keep->cancelled(); });
  EXPECT_TRUE(keep->cancelled());
  EXPECT_TRUE(browser().cancelled());
  EXPECT_TRUE(timers->pending().empty());
}

// The manager's own expiry is no proof of its end: the queue that dropped the last reference
// only posts the destruction, and a loop that went then would never run it.
TEST_F(ConnectionTest, ADestructionLeftToAQueueEndsOnlyWhenTheMainLoopRunsIt) {
  const auto lifetime = manager->lifetime();
  const std::weak_ptr<NetworkManagerForMac> weak = manager;
  auto holder = std::make_shared<std::shared_ptr<NetworkManagerForMac>>(std::move(manager));
  TA::postToSyphonQueue(**holder, [holder] { holder->reset(); });
  holder.reset();
  while (!weak.expired()) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(lifetime.expired());
  runUntil([&] { return lifetime.expired(); });
}

} // namespace
} // namespace pd::link::test
