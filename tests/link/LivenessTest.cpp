#include "LinkTestSupport.hpp"

#include "runtime/Clock.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

using LinkState = NetworkManagerForMac::LinkState;

class LivenessTest : public ReadyLinkFixture {
protected:
  void SetUp() override {
    NetworkManagerForMac::Timing timing;
    timing.heartbeatCheckInterval = std::chrono::hours(1); // only the test's checks judge silence
    TA::setTiming(*manager, timing);
    ReadyLinkFixture::SetUp();
    acknowledge();
    ASSERT_EQ(manager->connectedPeers.get().size(), 1u);
    settle(); // the new heartbeat's reset of the tables, queued by the ack
  }
  // One silence check as the heartbeat's tick makes it, then its result on the main thread.
  void check(LinkState state, double now) {
    TA::onQueue(*manager, [&](NetworkManagerForMac& m) {
      TA::checkVideoSilence(m, state, now);
      return 0;
    });
    settle();
  }
  ManualTime time; // frames and checks are stamped with it: a slow machine cannot age them
};

TEST_F(LivenessTest, AStreamWithoutFramesFallsSilentAndResumes) {
  LogWindow log;
  const double start = runtime::monotonicSeconds();
  manager->noteFrameDisplayed(0);
  check(LinkState::connected, start + 2.9);
  EXPECT_FALSE(manager->isVideoSilent.get());
  check(LinkState::connected, start + 3.2);
  EXPECT_EQ(log.count("video_silence stream=0 silence_ms=3"), 1u);
  EXPECT_TRUE(manager->isVideoSilent.get());
  EXPECT_EQ(manager->connectionStatus.get(), "接続中（映像が届いていません）");
  check(LinkState::connected, start + 4.2);
  EXPECT_EQ(log.count("video_silence"), 1u); // written when it falls silent, not on every tick

  manager->noteFrameDisplayed(0);
  EXPECT_TRUE(log.has("video_resumed stream=0 after_ms="));
  EXPECT_FALSE(manager->isVideoSilent.get());
  EXPECT_EQ(manager->connectionStatus.get(), "接続中: 1台");
}

TEST_F(LivenessTest, ALinkProblemExplainsMissingVideo) {
  const double start = runtime::monotonicSeconds();
  manager->noteFrameDisplayed(0);
  check(LinkState::degraded, start + 3.5);
  EXPECT_TRUE(TA::silentStreams(*manager).empty());
  check(LinkState::connected, start + 3.6);
  EXPECT_EQ(TA::silentStreams(*manager), std::set<std::uint8_t>{0});
  // Already silent: a degraded link keeps it so.
  check(LinkState::degraded, start + 4.0);
  EXPECT_EQ(TA::silentStreams(*manager), std::set<std::uint8_t>{0});
}

TEST_F(LivenessTest, OnlyTheStalledDeckIsSilentAndUnseenStreamsNever) {
  const double start = runtime::monotonicSeconds();
  manager->noteFrameDisplayed(2);
  TA::onQueue(*manager, [&](NetworkManagerForMac& m) {
    m.clearStreamStop(1, start + 3.0); // stream 1's first datagram starts its clock
    return 0;
  });
  check(LinkState::connected, start + 3.5);
  EXPECT_EQ(TA::silentStreams(*manager), std::set<std::uint8_t>{2});
  EXPECT_TRUE(manager->isVideoSilent.get());
}

TEST_F(LivenessTest, AStoppedStreamIsNotJudgedUntilItsDatagramsComeBack) {
  LogWindow log;
  manager->noteFrameDisplayed(1);
  send(R"({"type":"stream_stop","streams":[1],"reason":"mode_change"})");
  const auto stopped = TA::stoppedStreams(*manager);
  ASSERT_EQ(stopped.size(), 1u);
  const double stopAt = stopped.at(1);
  EXPECT_TRUE(TA::lastFrameTimes(*manager).empty());
  manager->noteFrameDisplayed(1); // a late frame of the stopped stream is not recorded
  EXPECT_TRUE(TA::lastFrameTimes(*manager).empty());
  check(LinkState::connected, stopAt + 10.0);
  EXPECT_FALSE(manager->isVideoSilent.get());

  TA::onQueue(*manager, [&](NetworkManagerForMac& m) {
    m.clearStreamStop(1, stopAt + 0.5); // sent before the stop, perhaps
    return 0;
  });
  EXPECT_EQ(TA::stoppedStreams(*manager).size(), 1u);
  TA::onQueue(*manager, [&](NetworkManagerForMac& m) {
    m.clearStreamStop(1, stopAt + 1.2);
    return 0;
  });
  EXPECT_TRUE(TA::stoppedStreams(*manager).empty());
  EXPECT_TRUE(log.has("stream_stop_clear stream=1 after_ms=1200") ||
              log.has("stream_stop_clear stream=1 after_ms=1199"));
  EXPECT_EQ(TA::lastFrameTimes(*manager).at(1), stopAt + 1.2);
}

TEST_F(LivenessTest, NoSilenceIsShownWithoutAPeerOrForAnOldHeartbeat) {
  const double start = runtime::monotonicSeconds();
  manager->noteFrameDisplayed(0);
  const auto epoch = TA::linkEpoch(*manager);
  manager->stop(false);
  EXPECT_NE(TA::linkEpoch(*manager), epoch);
  manager->noteFrameDisplayed(0);
  check(LinkState::connected, start + 5.0);
  EXPECT_FALSE(manager->isVideoSilent.get());
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
}

} // namespace
} // namespace pd::link::test
