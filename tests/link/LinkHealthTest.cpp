#include "link/LinkHealth.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace pd::link {
namespace {

using namespace std::chrono_literals;

LinkHealth started(std::uint64_t epoch = 1) {
  LinkHealth health;
  health.restart(LinkHealth::Thresholds{2s, 1s, 2500ms, 5s}, 100.0, epoch);
  return health;
}

TEST(LinkHealthTest, SilenceGivesEachVerdictOnceAndTrafficBringsTheLinkBack) {
  auto health = started();
  EXPECT_EQ(health.evaluate(102.49), std::nullopt);
  EXPECT_EQ(health.evaluate(102.5), LinkState::degraded);
  EXPECT_EQ(health.evaluate(104.0), std::nullopt); // still degraded: nothing new to report
  health.noteInbound(104.5);
  EXPECT_EQ(health.evaluate(104.6), LinkState::connected);
  // A long gap between two looks goes straight to lost.
  EXPECT_EQ(health.evaluate(110.0), LinkState::lost);
  EXPECT_EQ(health.state(), LinkState::lost);
}

TEST(LinkHealthTest, APingIsDueOncePerIntervalAndATickALittleEarlyStillCounts) {
  auto health = started();
  EXPECT_TRUE(health.takePingDue(100.0));
  EXPECT_FALSE(health.takePingDue(101.0));
  EXPECT_TRUE(health.takePingDue(101.96)); // a tick that fired a few ms early must not skip a ping
  EXPECT_FALSE(health.takePingDue(103.0));
}

TEST(LinkHealthTest, TheDeadlineFallsOnTheNextThresholdOnlyWhenTheTickWouldMissIt) {
  auto health = started();
  EXPECT_EQ(health.untilNextThreshold(101.0), std::nullopt); // 1.5 s away: the next tick sees it in time
  ASSERT_TRUE(health.untilNextThreshold(102.0));
  EXPECT_DOUBLE_EQ(health.untilNextThreshold(102.0)->count(), 0.5);
  ASSERT_EQ(health.evaluate(102.5), LinkState::degraded);
  // Once degraded, the next threshold is the lost one.
  EXPECT_EQ(health.untilNextThreshold(102.5), std::nullopt);
  ASSERT_TRUE(health.untilNextThreshold(104.25));
  EXPECT_DOUBLE_EQ(health.untilNextThreshold(104.25)->count(), 0.75);
  ASSERT_EQ(health.evaluate(105.0), LinkState::lost);
  EXPECT_EQ(health.untilNextThreshold(105.0), std::nullopt);
}

TEST(LinkHealthTest, ARestartForgetsTheOldRunsVerdictAndPingSchedule) {
  auto health = started(1);
  ASSERT_TRUE(health.takePingDue(100.0));
  ASSERT_EQ(health.evaluate(106.0), LinkState::lost);
  health.restart(LinkHealth::Thresholds{2s, 1s, 2500ms, 5s}, 106.5, 2);
  EXPECT_EQ(health.epoch(), 2u);
  EXPECT_EQ(health.state(), LinkState::connected);
  EXPECT_EQ(health.lastInboundActivity(), 106.5);
  EXPECT_TRUE(health.takePingDue(106.5));
  EXPECT_EQ(health.evaluate(107.0), std::nullopt);
}

TEST(PingClockTest, TheLatestPingsPongGivesSkewFromTheMidpointAndRoundTrip) {
  PingClock pings;
  ASSERT_EQ(pings.notePingSent(1000.0, 10.0), 1);
  ASSERT_EQ(pings.notePingSent(1002.0, 12.0), 2);
  EXPECT_EQ(pings.notePong(1, 1'002'000, 1002.25, 12.25), std::nullopt); // an earlier ping's answer
  // Midpoint of 1002.0 and 1002.25 on the wall clock is 1002.125 s; the tablet is 500 ms ahead.
  const auto skew = pings.notePong(2, 1'002'625, 1002.25, 12.25);
  ASSERT_TRUE(skew);
  EXPECT_EQ(skew->skewMs, 500);
  EXPECT_EQ(skew->rttMs, 250);
  EXPECT_EQ(skew->sample, 1);
}

TEST(PingClockTest, SamplesAreReportedEveryFiveMinutesAndAtOnceAfterAReset) {
  PingClock pings;
  ASSERT_TRUE(pings.notePong(pings.notePingSent(1000.0, 10.0), 1'000'000, 1000.0, 10.0));
  EXPECT_FALSE(pings.notePong(pings.notePingSent(1100.0, 110.0), 1'100'000, 1100.0, 110.0));
  const auto late = pings.notePong(pings.notePingSent(1310.0, 310.0), 1'310'000, 1310.0, 310.0);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->sample, 3); // unreported samples still count
  pings.reset();
  EXPECT_EQ(pings.sequence(), 0);
  const std::int64_t seq = pings.notePingSent(1320.0, 320.0);
  EXPECT_EQ(seq, 1);
  const auto afterReset = pings.notePong(seq, 1'320'000, 1320.0, 320.0);
  ASSERT_TRUE(afterReset);
  EXPECT_EQ(afterReset->sample, 4);
}

TEST(PingClockTest, APeerTimeWhoseDifferenceOverflowsIsNoSample) {
  PingClock pings;
  const std::int64_t seq = pings.notePingSent(1000.0, 10.0);
  EXPECT_EQ(pings.notePong(seq, std::numeric_limits<std::int64_t>::min(), 1000.0, 10.0), std::nullopt);
  const auto next = pings.notePong(seq, 1'000'000, 1000.0, 10.0);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->sample, 1); // the overflow did not count
}

} // namespace
} // namespace pd::link
