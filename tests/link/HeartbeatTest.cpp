#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "runtime/Clock.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

class HeartbeatTest : public ManagerFixture {
protected:
  void SetUp() override {
    for (const char* key : {"ping_send", "pong_send", "pong_recv"}) diagnostics::LogThrottle::shared().reset(key);
    TA::setTiming(*manager, timing());
    current = &connectReady(tablet("Tab", {loopback()}));
  }
  // Short enough that silence shows within a test.
  virtual NetworkManagerForMac::Timing timing() const {
    NetworkManagerForMac::Timing timing;
    timing.heartbeatCheckInterval = 0.02;
    timing.heartbeatInterval = 0.04;
    timing.linkDegradedThreshold = 0.15;
    timing.linkLostThreshold = 0.3;
    return timing;
  }
  void send(const std::string& text) {
    ASSERT_TRUE(current->deliver(bytes(text)));
    settle();
  }
  void establish() {
    send(R"({"type":"handshake_ack","protocolVersion":3,"mode":"mix","seq":)" +
         std::to_string(TA::handshakeSequence(*manager)) + "}");
    ASSERT_EQ(manager->connectedPeers.get().size(), 1u);
  }
  std::vector<nlohmann::json> sent(std::string_view type) { return sentMessages(*current, type); }
  FakeLink* current = nullptr;
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
  const auto before = TA::handshakeSequence(*manager);
  send(R"({"type":"ping","seq":1})");
  send(R"({"type":"ping","seq":2})");
  EXPECT_EQ(log.count("handshake_resend reason=ack_lost"), 1u);
  EXPECT_EQ(TA::handshakeSequence(*manager), before + 1);
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

TEST_F(HeartbeatTest, PingsFlowAndSilenceDegradesThenLosesTheLink) {
  LogWindow log;
  establish();
  EXPECT_TRUE(log.has("hb_start interval_s=0.0 degraded_s=0.1 lost_s=0.3"));
  runUntil([&] { return sent("ping").size() >= 2; });
  const auto pings = sent("ping");
  EXPECT_EQ(pings[0]["seq"], 1);
  EXPECT_EQ(pings[1]["seq"], 2);
  runUntil([&] { return manager->isLinkDegraded.get(); });
  EXPECT_EQ(manager->connectionStatus.get(), "接続中（不安定 - 受信が途絶しています）");
  // Traffic again: the link recovers.
  ASSERT_TRUE(current->deliver({0x01}));
  runUntil([&] { return !manager->isLinkDegraded.get(); });
}

TEST_F(HeartbeatTest, OnlyThePongOfTheLatestPingIsASkewSample) {
  establish();
  runUntil([&] { return sent("ping").size() >= 1; });
  LogWindow log;
  const auto latest = sent("ping").back()["seq"].get<std::int64_t>();
  const auto behindMs = static_cast<std::int64_t>(runtime::wallSeconds() * 1000.0) - 60000;
  send(R"({"type":"pong","seq":)" + std::to_string(latest - 1) + R"(,"timestampUnixMs":)" + std::to_string(behindMs) + "}");
  EXPECT_FALSE(log.has("clock_skew"));
  EXPECT_TRUE(log.has("pong_recv"));
  // Read quickly enough that no newer ping was sent between.
  const auto newest = sent("ping").back()["seq"].get<std::int64_t>();
  send(R"({"type":"pong","seq":)" + std::to_string(newest) + R"(,"timestampUnixMs":)" + std::to_string(behindMs) + ".7}");
  if (sent("ping").back()["seq"].get<std::int64_t>() == newest) {
    EXPECT_TRUE(log.has("clock_skew clock_skew_ms=-6"));
  }
}

TEST_F(HeartbeatTest, NewLinkCycleStopsTheHeartbeat) {
  establish();
  runUntil([&] { return sent("ping").size() >= 1; });
  manager->beginLinkSession();
  const auto count = sent("ping").size();
  // Silence would degrade a running heartbeat within 0.15 s; a stopped one says nothing.
  const auto until = std::chrono::steady_clock::now() + 400ms;
  runUntil([&] { return std::chrono::steady_clock::now() > until; }, 2s);
  EXPECT_FALSE(manager->isLinkDegraded.get());
  EXPECT_LE(sent("ping").size(), count + 1);
}

TEST_F(HeartbeatTest, SilenceLosesTheLinkAndReconnectStarts) {
  establish();
  LogWindow log;
  runUntil([&] { return manager->connectedPeers.get().empty(); });
  EXPECT_TRUE(log.has("link_degraded silence_ms=150 lag_ms="));
  EXPECT_TRUE(log.has("link_lost silence_ms=300 lag_ms="));
  EXPECT_TRUE(log.has("udp_disconnect reason=peer_lost"));
  // Nothing is discovered in this test: the first attempt finds no tablet and waits.
  EXPECT_EQ(manager->connectionStatus.get(), "接続が切断されました - 再接続中...");
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, NetworkManagerForMac::ReconnectNotice::Cause::peerNotFound);
  EXPECT_TRUE(log.has("reconnect_start"));
  EXPECT_TRUE(manager->hasConnectionIssue.get());
}

// The verdicts fall due when the silence crosses the thresholds, not at the next one-second tick.
class SilenceDeadlineTest : public HeartbeatTest {
protected:
  // The real tick, short thresholds.
  NetworkManagerForMac::Timing timing() const override {
    NetworkManagerForMac::Timing timing;
    timing.linkDegradedThreshold = 0.2;
    timing.linkLostThreshold = 0.4;
    return timing;
  }
};

TEST_F(SilenceDeadlineTest, DegradedAndLostComeAtTheirThresholds) {
  establish();
  const auto start = std::chrono::steady_clock::now();
  runUntil([&] { return manager->isLinkDegraded.get(); });
  const auto degraded = std::chrono::steady_clock::now() - start;
  runUntil([&] { return manager->connectedPeers.get().empty(); });
  const auto lost = std::chrono::steady_clock::now() - start;
  EXPECT_GE(degraded, 150ms);
  EXPECT_LT(degraded, 700ms); // the first tick would come at 1 s
  EXPECT_GE(lost, 350ms);
  EXPECT_LT(lost, 900ms);
}

TEST_F(HeartbeatTest, APongTimeFarOutOfRangeGivesNoSample) {
  establish();
  runUntil([&] { return sent("ping").size() >= 1; });
  LogWindow log;
  const auto latest = sent("ping").back()["seq"].get<std::int64_t>();
  send(R"({"type":"pong","seq":)" + std::to_string(latest) + R"(,"timestampUnixMs":-9223372036854775808})");
  if (sent("ping").back()["seq"].get<std::int64_t>() == latest) {
    EXPECT_FALSE(log.has("clock_skew"));
  }
}

} // namespace
} // namespace pd::link::test
