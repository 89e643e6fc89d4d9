#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "runtime/Clock.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

class HeartbeatFixture : public ReadyLinkFixture {
protected:
  void SetUp() override {
    for (const char* key : {"ping_send", "pong_send", "pong_recv"}) diagnostics::LogThrottle::shared().reset(key);
    TA::setTiming(*manager, timing());
    ReadyLinkFixture::SetUp();
  }
  virtual NetworkManagerForMac::Timing timing() const = 0;
  void establish() {
    acknowledge();
    ASSERT_EQ(manager->connectedPeers.get().size(), 1u);
  }
};

// The real thresholds on a clock the test moves; the ticks come from the test, so a loaded
// machine cannot make them late.
class HeartbeatTest : public HeartbeatFixture {
protected:
  NetworkManagerForMac::Timing timing() const override {
    NetworkManagerForMac::Timing timing;
    timing.heartbeatCheckInterval = std::chrono::hours(1); // the timer never ticks within a test
    return timing;
  }
  // The next tick, `seconds` after the previous moment.
  void tick(double seconds = 1.0) {
    time.advance(seconds);
    TA::heartbeatTick(*manager);
    settle();
  }
  ManualTime time;
};

TEST_F(HeartbeatTest, PingIsAnsweredAndABadSeqIsIgnored) {
  establish();
  send(R"({"type":"ping","seq":"7"})");
  send(R"({"type":"ping","seq":7.5})");
  EXPECT_TRUE(sent("pong").empty());
  send(R"({"type":"ping","seq":7,"timestamp":1.0})");
  const auto pongs = sent("pong");
  ASSERT_EQ(pongs.size(), 1u);
  EXPECT_EQ(pongs[0]["seq"], 7);
  EXPECT_EQ(pongs[0].size(), 4u);
  const auto unixMs = pongs[0]["timestampUnixMs"].get<double>();
  EXPECT_NEAR(unixMs / 1000.0, runtime::wallSeconds(), 5.0);
  // Seconds since 2001 on the wire.
  EXPECT_NEAR(pongs[0]["timestamp"].get<double>(), unixMs / 1000.0 - 978307200.0, 1.0);
}

TEST_F(HeartbeatTest, PingBeforeTheAckResendsTheRequestAtMostEveryTwoSeconds) {
  LogWindow log;
  const auto before = handshakeSequence(*current);
  send(R"({"type":"ping","seq":1})");
  send(R"({"type":"ping","seq":2})");
  EXPECT_EQ(log.count("handshake_resend reason=ack_lost"), 1u);
  EXPECT_EQ(handshakeSequence(*current), before + 1);
  // The answer to the resent request still brings the link up.
  establish();
}

TEST_F(HeartbeatTest, PingModeAsksOnceWhileARequestIsPending) {
  establish();
  LogWindow log;
  send(R"({"type":"ping","seq":1,"mode":"raw"})");
  send(R"({"type":"ping","seq":2,"mode":"raw"})");
  EXPECT_EQ(log.count("hb_mode_mismatch local=mix peer=raw"), 1u);
  EXPECT_EQ(manager->pendingModeRequest.get(), StreamMode::raw);
}

TEST_F(HeartbeatTest, PingsComeEveryTwoSecondsAndSilenceDegradesThenLosesTheLink) {
  LogWindow log;
  establish();
  EXPECT_TRUE(log.has("hb_start interval_s=2.0 degraded_s=2.5 lost_s=5.0"));
  for (int second = 0; second <= 6; ++second) {
    tick(second == 0 ? 0.0 : 1.0);
    ASSERT_TRUE(current->deliver({0x01})); // the tablet's video keeps the link alive
  }
  // The one-second tick sends every second time: at 0, 2, 4 and 6 s.
  const auto pings = sent("ping");
  ASSERT_EQ(pings.size(), 4u);
  for (std::size_t i = 0; i < pings.size(); ++i) EXPECT_EQ(pings[i]["seq"], i + 1);
  EXPECT_FALSE(manager->isLinkDegraded.get());

  tick();
  tick(); // 2.0 s of silence
  EXPECT_FALSE(manager->isLinkDegraded.get());
  tick(); // 3.0 s
  EXPECT_TRUE(manager->isLinkDegraded.get());
  EXPECT_TRUE(log.has("link_degraded silence_ms=2500 lag_ms=0"));
  EXPECT_EQ(manager->connectionStatus.get(), "接続中（不安定 - 受信が途絶しています）");
  // Traffic again: the link recovers at the next tick.
  ASSERT_TRUE(current->deliver({0x01}));
  tick();
  EXPECT_FALSE(manager->isLinkDegraded.get());
  EXPECT_EQ(sent("ping").size(), 6u);
}

TEST_F(HeartbeatTest, ARepeatedAckOnADegradedLinkLeavesNoUnstableText) {
  establish();
  tick(0.0);
  tick(3.0);
  ASSERT_TRUE(manager->isLinkDegraded.get());
  // A late copy of the ack: the link is heard again, and the heartbeat starts afresh.
  acknowledge();
  EXPECT_FALSE(manager->isLinkDegraded.get());
  EXPECT_EQ(manager->connectionStatus.get(), "接続中: 1台");
  // Nothing later corrects the text: the new heartbeat's verdict is the one it starts with.
  tick();
  EXPECT_EQ(manager->connectionStatus.get(), "接続中: 1台");
}

TEST_F(HeartbeatTest, OnlyThePongOfTheLatestPingIsASkewSample) {
  establish();
  tick(0.0);
  tick(2.0);
  ASSERT_EQ(sent("ping").size(), 2u);
  LogWindow log;
  const auto behindMs = static_cast<std::int64_t>(runtime::wallSeconds() * 1000.0) - 60000;
  send(R"({"type":"pong","seq":1,"timestampUnixMs":)" + std::to_string(behindMs) + "}");
  EXPECT_FALSE(log.has("clock_skew"));
  EXPECT_TRUE(log.has("pong_recv"));
  send(R"({"type":"pong","seq":2,"timestampUnixMs":)" + std::to_string(behindMs) + ".7}");
  EXPECT_TRUE(log.has("clock_skew clock_skew_ms=-6000") || log.has("clock_skew clock_skew_ms=-5999"));
}

TEST_F(HeartbeatTest, NewLinkCycleStopsTheHeartbeat) {
  establish();
  tick(0.0);
  ASSERT_TRUE(TA::hasHeartbeat(*manager));
  LogWindow log;
  manager->beginLinkSession();
  EXPECT_FALSE(TA::hasHeartbeat(*manager));
  // A tick already under way when it stopped judges an old link: its verdict is dropped.
  tick(10.0);
  EXPECT_FALSE(manager->isLinkDegraded.get());
  EXPECT_FALSE(log.has("link_degraded"));
  EXPECT_FALSE(log.has("link_lost"));
}

TEST_F(HeartbeatTest, SilenceLosesTheLinkAndReconnectStarts) {
  establish();
  LogWindow log;
  tick(0.0);
  tick(3.0);
  EXPECT_TRUE(manager->isLinkDegraded.get());
  tick(1.9);
  EXPECT_FALSE(manager->connectedPeers.get().empty());
  tick(0.2);
  EXPECT_TRUE(manager->connectedPeers.get().empty());
  EXPECT_TRUE(log.has("link_degraded silence_ms=2500 lag_ms=0"));
  EXPECT_TRUE(log.has("link_lost silence_ms=5000 lag_ms=0"));
  EXPECT_TRUE(log.has("udp_disconnect reason=peer_lost"));
  // Nothing is discovered in this test: the first attempt finds no tablet and waits.
  EXPECT_EQ(manager->connectionStatus.get(), "接続が切断されました - 再接続中...");
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, NetworkManagerForMac::ReconnectNotice::Cause::peerNotFound);
  EXPECT_TRUE(log.has("reconnect_start"));
  EXPECT_TRUE(manager->hasConnectionIssue.get());
}

// The verdicts fall due when the silence crosses the thresholds, not at the next tick: the
// deadline timer itself, on real time. No tick comes within the test, so only the deadline can
// give them; how far ahead it is armed is LinkHealthTest's.
class SilenceDeadlineTest : public HeartbeatFixture {
protected:
  NetworkManagerForMac::Timing timing() const override {
    NetworkManagerForMac::Timing timing;
    timing.heartbeatCheckInterval = std::chrono::hours(1);
    timing.linkDegradedThreshold = std::chrono::milliseconds(200);
    timing.linkLostThreshold = std::chrono::milliseconds(400);
    return timing;
  }
};

TEST_F(SilenceDeadlineTest, DegradedAndLostComeAtTheirThresholds) {
  establish();
  const auto start = std::chrono::steady_clock::now();
  runUntil([&] { return manager->isLinkDegraded.get(); });
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  runUntil([&] { return manager->connectedPeers.get().empty(); });
  EXPECT_GE(std::chrono::steady_clock::now() - start, 350ms);
}

} // namespace
} // namespace pd::link::test
